#pragma once
// What the truth tests share: reference tools' output, children under other uids, and
// a directory every uid can read.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Process.h"
#include "support/PrivateNetwork.h"
#include "support/TestSupport.h"

namespace truth {

// The whitespace-separated words of text.
inline std::vector<std::string> words(const std::string& text) {
    std::istringstream stream(text);
    std::vector<std::string> out;
    for (std::string word; stream >> word;) out.push_back(word);
    return out;
}

// The lines of text.
inline std::vector<std::string> lines(const std::string& text) {
    std::istringstream stream(text);
    std::vector<std::string> out;
    for (std::string line; std::getline(stream, line);) out.push_back(line);
    return out;
}

// A command's output, empty when it failed.
inline std::string output(const std::vector<std::string>& command) {
    std::string text;
    return testsupport::runCommand(command, &text) == 0 ? text : std::string();
}

// Copies of the helper programs in a directory any uid may enter, so that children run
// under other uids whatever the build tree's permissions.
class SharedBin {
public:
    SharedBin() {
        ::chmod(directory_.path().c_str(), 0755);
        for (const char* program : {"tidemark-process-load-helper", "tidemark-truth-probe"}) {
            std::filesystem::copy_file(testsupport::testBinDirectory() + "/" + program, path(program));
            ::chmod(path(program).c_str(), 0755);
        }
    }
    std::string path(const std::string& program) const { return directory_.path() + "/" + program; }
    const std::string& directory() const { return directory_.path(); }

private:
    testsupport::TemporaryDirectory directory_;
};

// Another user, for the checks of what an ordinary user sees.
inline constexpr int probeUid = 40123;
inline constexpr int nobodyUid = 65534;

// The command run as uid (with its own group and no supplementary groups).
inline std::vector<std::string> asUser(int uid, std::vector<std::string> command) {
    std::vector<std::string> full = {"setpriv", "--reuid=" + std::to_string(uid), "--regid=" + std::to_string(uid),
                                     "--clear-groups"};
    full.insert(full.end(), command.begin(), command.end());
    return full;
}

// A child process killed and reaped at the end of the scope; its output is readable.
class Child {
public:
    explicit Child(const std::vector<std::string>& command) : process_(platform::Process::make()) {
        process_->executablePath = command.front().find('/') == std::string::npos ? "/usr/bin/" + command.front()
                                                                                    : command.front();
        process_->arguments.assign(command.begin() + 1, command.end());
        process_->standardOutput = pipe_;
        error_ = process_->run().has_value();
    }
    ~Child() {
        if (process_->isRunning()) ::kill(process_->processIdentifier(), SIGKILL);
        process_->waitUntilExit(std::chrono::milliseconds(3000));
    }
    bool failed() const { return error_; }
    int pid() const { return process_->processIdentifier(); }
    // The first line it prints (waits for it).
    std::string firstLine() {
        std::string line;
        char c;
        const int fd = pipe_->fileHandleForReading()->fileDescriptor();
        while (::read(fd, &c, 1) == 1 && c != '\n') line += c;
        return line;
    }

private:
    std::shared_ptr<platform::Process> process_;
    std::shared_ptr<platform::Pipe> pipe_ = std::make_shared<platform::Pipe>();
    bool error_ = false;
};

}  // namespace truth
