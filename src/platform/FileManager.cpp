#include "platform/FileManager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/Environment.h"

namespace platform {
namespace {

std::string xdgDirectory(const char* variable, const char* fallbackUnderHome) {
    // Relative values are invalid by the XDG rules and are ignored.
    if (auto value = environmentValue(variable); value && !value->empty() && (*value)[0] == '/') return *value;
    return homeDirectory() + "/" + fallbackUnderHome;
}

}  // namespace

FileManager& FileManager::defaultManager() {
    static FileManager manager;
    return manager;
}

std::variant<std::string, Error> FileManager::applicationSupportDirectory(bool create) {
    std::string path = xdgDirectory("XDG_DATA_HOME", ".local/share");
    if (create) {
        if (auto error = createDirectory(path)) return *error;
    }
    return path;
}

bool FileManager::isExecutableFile(const std::string& path) const {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

bool FileManager::fileExists(const std::string& path) const {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

std::optional<Error> FileManager::createDirectory(const std::string& path, bool withIntermediateDirectories) {
    std::error_code error;
    if (withIntermediateDirectories)
        std::filesystem::create_directories(path, error);
    else
        std::filesystem::create_directory(path, error);
    if (error) return posixError(error.value(), "Could not create the folder “" + path + "”");
    if (!std::filesystem::is_directory(path, error))
        return posixError(ENOTDIR, "Could not create the folder “" + path + "”");
    return std::nullopt;
}

std::optional<Error> FileManager::writeAtomically(const std::string& path, const std::string& contents) {
    // Unique per write, so two threads writing the same file never share a temporary.
    static std::atomic<unsigned long> writes{0};
    const std::string temporary = path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(++writes);
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return posixError(errno, "Could not write “" + path + "”");
    size_t written = 0;
    while (written < contents.size()) {
        const ssize_t n = ::write(fd, contents.data() + written, contents.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int saved = errno;
            ::close(fd);
            ::unlink(temporary.c_str());
            return posixError(saved, "Could not write “" + path + "”");
        }
        written += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        const int saved = errno;
        ::unlink(temporary.c_str());
        return posixError(saved, "Could not write “" + path + "”");
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        ::unlink(temporary.c_str());
        return posixError(saved, "Could not write “" + path + "”");
    }
    // Make the rename itself durable.
    const std::string directory = std::filesystem::path(path).parent_path().string();
    if (const int dirFd = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return std::nullopt;
}

std::optional<std::string> FileManager::readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    std::ostringstream contents;
    contents << file.rdbuf();
    if (file.bad()) return std::nullopt;
    return contents.str();
}

std::string configHomeDirectory() { return xdgDirectory("XDG_CONFIG_HOME", ".config"); }

std::string cacheHomeDirectory() { return xdgDirectory("XDG_CACHE_HOME", ".cache"); }

}  // namespace platform
