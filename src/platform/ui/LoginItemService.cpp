#include "platform/ui/LoginItemService.h"

#include <cctype>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/Bundle.h"
#include "platform/Environment.h"
#include "platform/FileManager.h"

namespace platform {

namespace {

std::vector<std::string> desktopEntryLines(const std::string& contents) {
    std::vector<std::string> lines;
    bool inMainGroup = false;
    size_t start = 0;
    while (start < contents.size()) {
        size_t end = contents.find('\n', start);
        if (end == std::string::npos) end = contents.size();
        std::string line = contents.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        start = end + 1;
        if (!line.empty() && line[0] == '[') {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        if (inMainGroup) lines.push_back(std::move(line));
    }
    return lines;
}

std::optional<std::string> entryValue(const std::string& contents, const std::string& key) {
    for (const auto& line : desktopEntryLines(contents)) {
        const auto equals = line.find('=');
        if (equals == std::string::npos) continue;
        std::string name = line.substr(0, equals);
        while (!name.empty() && name.back() == ' ') name.pop_back();
        if (name != key) continue;
        size_t valueStart = equals + 1;
        while (valueStart < line.size() && line[valueStart] == ' ') ++valueStart;
        return line.substr(valueStart);
    }
    return std::nullopt;
}

// The string-level escapes of desktop entry values.
std::string unescapeString(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char next = text[++i];
        switch (next) {
            case 's': out += ' '; break;
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            default: out += next; break;
        }
    }
    return out;
}

std::optional<std::string> findInPath(const std::string& name) {
    const std::string path = environmentValue("PATH").value_or("/usr/local/bin:/usr/bin:/bin");
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        std::string candidate = path.substr(start, end - start);
        candidate.append("/").append(name);
        if (end > start && FileManager::defaultManager().isExecutableFile(candidate)) return candidate;
        start = end + 1;
    }
    return std::nullopt;
}

// Exec is given already escaped for a desktop entry.
std::string entryText(const std::string& exec) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Tidemark\n"
           "Comment=Live system view in the tray\n"
           "Exec=" + exec + "\n"
           "Icon=tidemark\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

bool sameFile(const std::string& a, const std::string& b) {
    std::error_code error;
    return std::filesystem::equivalent(a, b, error) && !error;
}

bool isPlainProgramName(const std::string& command) {
    if (command.empty()) return false;
    for (char c : command)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') return false;
    return true;
}

}  // namespace

std::shared_ptr<LoginItemService> LoginItemService::mainApp() {
    return std::make_shared<AutostartLoginItemService>(
        AutostartLoginItemService::defaultEntryPath(),
        AutostartLoginItemService::launchCommand(Bundle::main().executablePath()));
}

AutostartLoginItemService::AutostartLoginItemService(std::string entryPath, std::string command)
    : entryPath_(std::move(entryPath)), command_(std::move(command)) {}

std::string AutostartLoginItemService::launchCommand(const std::string& executablePath) {
    const std::filesystem::path executable(executablePath);
    const auto directory = executable.parent_path();
    if (directory.filename() != "tidemark" || directory.parent_path().filename() != "lib") return executablePath;
    const std::string launcher = (directory.parent_path().parent_path() / "bin" / "tidemark").string();
    if (!sameFile(launcher, executablePath)) return executablePath;
    if (auto found = findInPath("tidemark"); found && sameFile(*found, executablePath)) return "tidemark";
    return launcher;
}

std::string AutostartLoginItemService::defaultEntryPath() { return configHomeDirectory() + "/autostart/tidemark.desktop"; }

std::optional<std::string> AutostartLoginItemService::desktopEntry(const std::string& command) {
    if (isPlainProgramName(command)) return entryText(command);
    if (command.empty() || command[0] != '/') return std::nullopt;
    std::string quoted = "\"";
    for (char c : command) {
        if (c == '\n' || c == '\r' || c == '\0') return std::nullopt;
        // Inside the quotes these four are escaped; the backslash of that escape is then
        // escaped again at the string level, and % is doubled so it is no field code.
        if (c == '"' || c == '`' || c == '$') {
            quoted += "\\\\";
            quoted += c;
        } else if (c == '\\') {
            quoted += "\\\\\\\\";
        } else if (c == '%') {
            quoted += "%%";
        } else {
            quoted += c;
        }
    }
    quoted += '"';
    return entryText(quoted);
}

std::optional<std::string> AutostartLoginItemService::executableFromEntry(const std::string& contents) {
    auto exec = entryValue(contents, "Exec");
    if (!exec) return std::nullopt;
    const std::string command = unescapeString(*exec);
    std::string program;
    size_t i = 0;
    while (i < command.size() && command[i] == ' ') ++i;
    if (i < command.size() && command[i] == '"') {
        for (++i; i < command.size() && command[i] != '"'; ++i) {
            if (command[i] == '\\' && i + 1 < command.size()) ++i;
            program += command[i];
        }
        if (i == command.size()) return std::nullopt;  // no closing quote
    } else {
        for (; i < command.size() && command[i] != ' '; ++i) program += command[i];
    }
    std::string unescaped;
    for (size_t j = 0; j < program.size(); ++j) {
        unescaped += program[j];
        if (program[j] == '%' && j + 1 < program.size() && program[j + 1] == '%') ++j;
    }
    if (unescaped.empty()) return std::nullopt;
    return unescaped;
}

bool AutostartLoginItemService::isHidden(const std::string& contents) {
    auto hidden = entryValue(contents, "Hidden");
    return hidden && *hidden == "true";
}

LoginItemStatus AutostartLoginItemService::status() const {
    auto contents = FileManager::readFile(entryPath_);
    if (!contents || isHidden(*contents)) return LoginItemStatus::notRegistered;
    auto program = executableFromEntry(*contents);
    if (!program) return LoginItemStatus::notFound;
    const auto& files = FileManager::defaultManager();
    const bool exists = program->find('/') != std::string::npos ? files.isExecutableFile(*program)
                                                               : findInPath(*program).has_value();
    return exists ? LoginItemStatus::enabled : LoginItemStatus::notFound;
}

std::optional<Error> AutostartLoginItemService::registerItem() {
    auto entry = desktopEntry(command_);
    if (!entry)
        return Error{"Tidemark.LoginItemService", 1,
                     "The command “" + command_ + "” cannot be written into an autostart entry"};
    const auto directory = std::filesystem::path(entryPath_).parent_path().string();
    if (auto error = FileManager::defaultManager().createDirectory(directory)) return error;
    return FileManager::writeAtomically(entryPath_, *entry);
}

std::optional<Error> AutostartLoginItemService::unregisterItem() {
    std::error_code code;
    if (!std::filesystem::remove(entryPath_, code) && code && code != std::errc::no_such_file_or_directory)
        return posixError(code.value(), "Could not remove the autostart entry “" + entryPath_ + "”");
    return std::nullopt;
}

}  // namespace platform
