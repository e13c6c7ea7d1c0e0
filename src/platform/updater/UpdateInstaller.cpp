#include "platform/updater/UpdateInstaller.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/ProcessSpawner.h"
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
    // We still hold the one-instance lock while we quit: the new program waits for it
    // instead of handing over to us.
    std::map<std::string, std::string> overrides = relaunchValues();
    // Not = "1": GCC 12 at -O3 takes a one-character literal's assignment for an
    // overlapping copy (bogus -Wrestrict, GCC bug 105329).
    overrides[SingleInstance::relaunchVariable] = std::string(1, '1');
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        const std::string_view text(*entry);
        if (!overrides.contains(std::string(text.substr(0, text.find('='))))) environment.emplace_back(text);
    }
    for (const auto& [name, value] : overrides) environment.push_back(name + "=" + value);

    // The spawner gives it a session of its own, default signals, no descriptors of ours
    // and the descriptor limit we were started with; detached, it outlives our quit.
    SpawnRequest request;
    request.path = executablePath;
    request.arguments = {executablePath};
    request.environment = std::move(environment);
    request.detached = true;
    const SpawnResult spawned = spawnProcess(request);
    if (spawned.pid < 0) return posixError(spawned.error, "Could not start “" + executablePath + "”");
    const pid_t pid = spawned.pid;

    // Reap it should it end while we still run; after we exit, init adopts it.
    std::thread([pid] {
        int ignored = 0;
        while (::waitpid(pid, &ignored, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return std::nullopt;
}

}  // namespace platform
