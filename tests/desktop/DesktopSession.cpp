#include "DesktopSession.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace desktoptest {

namespace {

using namespace std::chrono_literals;

// Starts a program with stdout to `outFd` (or /dev/null) and, if given, one more
// descriptor kept open as the same number in the child.
int spawn(const std::vector<std::string>& arguments, int outFd, int keepFd = -1,
          const std::map<std::string, std::string>& extraEnvironment = {}) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (outFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (keepFd >= 0) posix_spawn_file_actions_adddup2(&actions, keepFd, keepFd);  // clears close-on-exec
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        if (extraEnvironment.count(entry.substr(0, entry.find('=')))) continue;
        environment.push_back(entry);
    }
    for (const auto& [name, value] : extraEnvironment) environment.push_back(name + "=" + value);
    std::vector<char*> argv, envp;
    for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const auto& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed) throw std::runtime_error("could not start " + arguments[0]);
    return pid;
}

void stopProcess(int& pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = -1;
            return;
        }
        std::this_thread::sleep_for(10ms);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    pid = -1;
}

// Reads one line from a pipe (blocking, with a deadline).
std::string readLine(int fd, std::chrono::milliseconds timeout) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        char c;
        const ssize_t n = ::read(fd, &c, 1);
        if (n == 1) {
            if (c == '\n') return line;
            line += c;
        } else if (n == 0) {
            return line;
        } else {
            std::this_thread::sleep_for(5ms);
        }
    }
    return line;
}

}  // namespace

std::string artifactDirectory() {
    const std::string directory = testsupport::testBinDirectory() + "/desktop-screenshots";
    std::filesystem::create_directories(directory);
    return directory;
}

bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

std::string printed(GVariant* value) {
    gchar* text = g_variant_print(value, FALSE);
    std::string result = text;
    g_free(text);
    return result;
}

std::pair<std::string, std::string> splitRegistration(const std::string& line) {
    std::istringstream in(line);
    std::string name, path;
    in >> name >> path;
    return {name, path};
}

DesktopSession::DesktopSession(bool withWatcher) {
    int displayPipe[2];
    if (::pipe2(displayPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    xvfb_ = spawn({"Xvfb", "-displayfd", std::to_string(displayPipe[1]), "-screen", "0",
                   std::to_string(screenWidth) + "x" + std::to_string(screenHeight) + "x24", "-nolisten", "tcp"},
                  -1, displayPipe[1]);
    ::close(displayPipe[1]);
    ::fcntl(displayPipe[0], F_SETFL, O_NONBLOCK);
    const std::string number = readLine(displayPipe[0], 20s);
    ::close(displayPipe[0]);
    if (number.empty()) throw std::runtime_error("Xvfb did not start");
    display_ = ":" + number;

    int busPipe[2];
    if (::pipe2(busPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    // A session bus without service activation: nothing (the accessibility bus) starts
    // behind the test's back and outlives it.
    const std::string config = directory_.path() + "/bus.conf";
    std::ofstream(config) << "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen><auth>EXTERNAL</auth>"
                             "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                             "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
    dbus_ = spawn({"dbus-daemon", "--config-file=" + config, "--nofork", "--print-address=1"}, busPipe[1]);
    ::close(busPipe[1]);
    ::fcntl(busPipe[0], F_SETFL, O_NONBLOCK);
    busAddress_ = readLine(busPipe[0], 20s);
    ::close(busPipe[0]);
    if (busAddress_.empty()) throw std::runtime_error("dbus-daemon did not start");

    GError* error = nullptr;
    bus_ = g_dbus_connection_new_for_address_sync(
        busAddress_.c_str(),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (!bus_) throw std::runtime_error(std::string("bus: ") + error->message);
    g_dbus_connection_set_exit_on_close(bus_, FALSE);
    watcherLog_ = directory_.path() + "/watcher.log";
    if (withWatcher) startWatcher();
}

DesktopSession::~DesktopSession() {
    stopWatcher();
    if (bus_) {
        g_dbus_connection_close_sync(bus_, nullptr, nullptr);
        g_object_unref(bus_);
    }
    stopProcess(dbus_);
    stopProcess(xvfb_);
}

void DesktopSession::exportToThisProcess() const {
    ::setenv("DISPLAY", display_.c_str(), 1);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", busAddress_.c_str(), 1);
    ::setenv("GDK_BACKEND", "x11", 1);
    ::setenv("NO_AT_BRIDGE", "1", 1);
}

std::map<std::string, std::string> DesktopSession::environment() const {
    return {{"DISPLAY", display_}, {"DBUS_SESSION_BUS_ADDRESS", busAddress_}, {"TIDEMARK_UI", "desktop"},
            {"GDK_BACKEND", "x11"}};
}

void DesktopSession::startWatcher() {
    if (watcher_ > 0) return;
    const int out = ::open(watcherLog_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    watcher_ = spawn({testsupport::testBinDirectory() + "/TestStatusNotifierWatcher", busAddress_}, out);
    ::close(out);
    const size_t before = watcherOutput().size();
    testsupport::eventually([&] { return watcherOutput().find("watching", before) != std::string::npos; }, 10s);
}

void DesktopSession::stopWatcher() { stopProcess(watcher_); }

std::string DesktopSession::watcherOutput() const {
    std::ifstream in(watcherLog_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::optional<std::string> DesktopSession::waitForRegistration(size_t count, std::chrono::milliseconds timeout) {
    std::optional<std::string> found;
    testsupport::eventually(
        [&] {
            std::istringstream lines(watcherOutput());
            std::string line;
            size_t seen = 0;
            while (std::getline(lines, line)) {
                if (line.rfind("registered ", 0) != 0) continue;
                if (++seen == count) {
                    found = line.substr(11);
                    return true;
                }
            }
            return false;
        },
        timeout);
    return found;
}

GVariant* DesktopSession::call(const std::string& busName, const std::string& path, const std::string& interface,
                               const std::string& method, GVariant* parameters, std::string* errorText) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(bus_, busName.c_str(), path.c_str(), interface.c_str(),
                                                  method.c_str(), parameters, nullptr, G_DBUS_CALL_FLAGS_NONE, 10000,
                                                  nullptr, &error);
    if (!reply && errorText) *errorText = error->message;
    if (error) g_error_free(error);
    return reply;
}

GVariant* DesktopSession::property(const std::string& busName, const std::string& path, const std::string& interface,
                                   const std::string& name) {
    GVariant* reply = call(busName, path, "org.freedesktop.DBus.Properties", "Get",
                           g_variant_new("(ss)", interface.c_str(), name.c_str()));
    if (!reply) return nullptr;
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    g_variant_unref(reply);
    return value;
}

std::string DesktopSession::run(const std::vector<std::string>& arguments, int* status) const {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return {};
    const int pid = spawn(arguments, out[1], -1, {{"DISPLAY", display_}});
    ::close(out[1]);
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(out[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    ::close(out[0]);
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    if (status) *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return text;
}

std::optional<WindowGeometry> DesktopSession::panelWindow() const {
    int status = 0;
    std::istringstream ids(run({"xdotool", "search", "--onlyvisible", "--name", "^Tidemark$"}, &status));
    std::string id;
    while (ids >> id) {
        // The panel is the one window of ours with a real size (menus are other titles).
        const std::string shell = run({"xdotool", "getwindowgeometry", "--shell", id});
        WindowGeometry g;
        std::istringstream lines(shell);
        std::string line;
        while (std::getline(lines, line)) {
            const auto eq = line.find('=');
            if (eq == std::string::npos) continue;
            const std::string key = line.substr(0, eq);
            const int value = std::atoi(line.c_str() + eq + 1);
            if (key == "X") g.x = value;
            if (key == "Y") g.y = value;
            if (key == "WIDTH") g.width = value;
            if (key == "HEIGHT") g.height = value;
        }
        if (g.width > 100) return g;
    }
    return std::nullopt;
}

bool DesktopSession::screenshot(const std::string& path) const {
    int status = -1;
    run({"import", "-window", "root", path}, &status);
    return status == 0;
}

}  // namespace desktoptest
