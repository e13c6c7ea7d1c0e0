#include "platform/ui/Workspace.h"

#include <optional>
#include <string>

#include "platform/Environment.h"
#include "platform/FileManager.h"
#include "platform/NullDevice.h"
#include "platform/Process.h"

namespace platform {

namespace {

std::optional<std::string> findInPath(const std::string& name) {
    const std::string path = environmentValue("PATH").value_or("/usr/local/bin:/usr/bin:/bin");
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        // Appended piece by piece: GCC 12 warns falsely about operator+ chains here.
        std::string candidate = end > start ? path.substr(start, end - start) : std::string(".");
        candidate.append("/").append(name);
        if (FileManager::defaultManager().isExecutableFile(candidate)) return candidate;
        start = end + 1;
    }
    return std::nullopt;
}

}  // namespace

Workspace& Workspace::shared() {
    static Workspace workspace;
    return workspace;
}

bool Workspace::open(const URL& url) {
    if (opener_) return opener_(url);
    const auto opener = findInPath("xdg-open");
    if (!opener) return false;
    auto process = Process::make();
    process->executablePath = *opener;
    process->arguments = {url.absoluteString()};
    // Nobody reads what the browser launcher prints.
    process->standardOutput = nullDevice();
    process->standardError = process->standardOutput;
    // The browser it starts must survive our quit.
    process->detached = true;
    // The platform keeps the child's object until it exits; nothing waits for it here.
    return !process->run().has_value();
}

}  // namespace platform
