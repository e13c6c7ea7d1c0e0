#include "platform/FileManager.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
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

namespace {
// "<file>.tmp-<pid>-<n>": unique per write, so two writers never share a temporary, and
// the pid tells whether its writer still lives.
constexpr std::string_view temporaryInfix = ".tmp-";
}  // namespace

std::optional<Error> FileManager::writeAtomically(const std::string& path, const std::string& contents) {
    static std::atomic<unsigned long> writes{0};
    const std::string temporary =
        path + std::string(temporaryInfix) + std::to_string(::getpid()) + "-" + std::to_string(++writes);
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

void FileManager::removeStaleTemporaries(const std::string& path) {
    const std::filesystem::path file(path);
    const std::string prefix = file.filename().string() + std::string(temporaryInfix);
    const std::string directory = file.parent_path().empty() ? "." : file.parent_path().string();
    for (const auto& entry : directoryEntries(directory)) {
        const std::string name = std::filesystem::path(entry).filename().string();
        if (!name.starts_with(prefix)) continue;
        const std::string rest = name.substr(prefix.size());
        const auto dash = rest.find('-');
        long pid = 0;
        const auto [end, error] = std::from_chars(rest.data(), rest.data() + std::min(dash, rest.size()), pid);
        if (error != std::errc() || end != rest.data() + std::min(dash, rest.size()) || pid <= 0) continue;
        const bool writerAlive = pid == ::getpid() || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
        if (!writerAlive) ::unlink(entry.c_str());
    }
}

std::vector<std::string> FileManager::directoryEntries(const std::string& path) {
    std::vector<std::string> entries;
    DIR* directory = ::opendir(path.c_str());
    if (!directory) return entries;
    const std::string prefix = path.ends_with('/') ? path : path + "/";
    while (const dirent* entry = ::readdir(directory)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        entries.push_back(prefix + std::string(name));
    }
    ::closedir(directory);
    return entries;
}

std::optional<Error> FileManager::createPrivateDirectory(const std::string& path) {
    const std::string parent = std::filesystem::path(path).parent_path().string();
    if (!parent.empty() && parent != path) {
        if (auto error = defaultManager().createDirectory(parent)) return error;
    }
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return posixError(errno, "Could not create the folder “" + path + "”");
    // Whatever was there (made by us now, earlier, or planted by someone else) is checked
    // through a descriptor, so it cannot be swapped between the check and the chmod.
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return posixError(errno == ELOOP ? ENOTDIR : errno, "Could not open the folder “" + path + "”");
    struct stat info {};
    std::optional<Error> result;
    if (::fstat(fd, &info) != 0)
        result = posixError(errno, "Could not inspect the folder “" + path + "”");
    else if (info.st_uid != ::geteuid())
        result = posixError(EPERM, "The folder “" + path + "” belongs to another user");
    else if ((info.st_mode & 07777) != 0700 && ::fchmod(fd, 0700) != 0)
        result = posixError(errno, "Could not make the folder “" + path + "” private");
    ::close(fd);
    return result;
}

std::string configHomeDirectory() { return xdgDirectory("XDG_CONFIG_HOME", ".config"); }

std::string cacheHomeDirectory() { return xdgDirectory("XDG_CACHE_HOME", ".cache"); }

std::string runtimeDirectory() {
    if (auto runtime = environmentValue("XDG_RUNTIME_DIR"); runtime && !runtime->empty() && (*runtime)[0] == '/')
        return *runtime + "/Tidemark";
    std::error_code error;
    std::string temp = std::filesystem::temp_directory_path(error).string();
    if (error || temp.empty()) temp = "/tmp";
    return temp + "/Tidemark-" + std::to_string(::geteuid());
}

}  // namespace platform
