#include "platform/updater/UpdateInstaller.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/SingleInstance.h"

extern char** environ;

namespace platform {

std::optional<Error> UpdateInstaller::exchangeFolders(const std::string& first, const std::string& second) {
    if (::renameat2(AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), RENAME_EXCHANGE) == 0) return std::nullopt;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return posixError(errno, "Could not exchange “" + first + "” and “" + second + "”");

    const std::string aside = first + ".exchange-" + std::to_string(::getpid());
    if (::rename(first.c_str(), aside.c_str()) != 0)
        return posixError(errno, "Could not move “" + first + "” aside");
    if (::rename(second.c_str(), first.c_str()) != 0) {
        const int saved = errno;
        ::rename(aside.c_str(), first.c_str());
        return posixError(saved, "Could not move “" + second + "” into place");
    }
    if (::rename(aside.c_str(), second.c_str()) != 0) {
        // The new folder is in place; the old one stays under the aside name.
        return posixError(errno, "Could not move the old folder to “" + second + "”");
    }
    return std::nullopt;
}

namespace {
std::map<std::string, std::string>& relaunchValueStore() {
    static std::map<std::string, std::string> values;
    return values;
}
}  // namespace

void UpdateInstaller::setRelaunchValue(const std::string& name, const std::string& value) {
    relaunchValueStore()[name] = value;
}

const std::map<std::string, std::string>& UpdateInstaller::relaunchValues() { return relaunchValueStore(); }

std::optional<Error> UpdateInstaller::launchDetached(const std::string& executablePath) {
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t noSignals, defaultSignals;
    sigemptyset(&noSignals);
    sigfillset(&defaultSignals);
    posix_spawnattr_setsigmask(&attributes, &noSignals);
    posix_spawnattr_setsigdefault(&attributes, &defaultSignals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    // Our sockets, pipes and log files are not the new program's business.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    std::string program = executablePath;
    char* arguments[] = {program.data(), nullptr};
    // We still hold the one-instance lock while we quit: the new program waits for it
    // instead of handing over to us.
    std::map<std::string, std::string> overrides = relaunchValues();
    overrides[SingleInstance::relaunchVariable] = "1";
    std::vector<std::string> added;
    for (const auto& [name, value] : overrides) added.push_back(name + "=" + value);
    std::vector<char*> environment;
    for (char** entry = environ; *entry; ++entry) {
        const std::string_view text(*entry);
        const bool replaced = overrides.contains(std::string(text.substr(0, text.find('='))));
        if (!replaced) environment.push_back(*entry);
    }
    for (auto& entry : added) environment.push_back(entry.data());
    environment.push_back(nullptr);
    pid_t pid = 0;
    const int status =
        ::posix_spawn(&pid, executablePath.c_str(), &actions, &attributes, arguments, environment.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (status != 0) return posixError(status, "Could not start “" + executablePath + "”");

    // Reap it should it end while we still run; after we exit, init adopts it.
    std::thread([pid] {
        int ignored = 0;
        while (::waitpid(pid, &ignored, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return std::nullopt;
}

}  // namespace platform
