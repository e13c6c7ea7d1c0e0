#include "platform/Application.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <thread>

#include "platform/Dispatch.h"
#include "platform/RunLoop.h"

namespace platform {
namespace {

// Written by the signal handler, read by the thread that turns signals into terminate().
int signalPipe[2] = {-1, -1};

// Set once the main thread has entered terminate(), so a nested call (for example from
// the delegate's will-terminate) neither re-runs nor cuts the first one short.
bool terminating = false;

void onTerminationSignal(int signalNumber) {
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

// A handler rather than a blocked mask: threads started before run() would otherwise
// take the default action, and a blocked mask would be inherited by child processes.
void installTerminationSignals() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    if (::pipe2(signalPipe, O_CLOEXEC) != 0) {
        std::perror("Tidemark: signal pipe");
        return;
    }
    std::thread([] {
        for (;;) {
            unsigned char byte = 0;
            const ssize_t count = ::read(signalPipe[0], &byte, 1);
            if (count == 1) {
                Application::shared().terminate();
            } else if (count < 0 && errno == EINTR) {
                continue;
            } else {
                return;
            }
        }
    }).detach();
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

Application& Application::shared() {
    // Never destroyed: terminate() ends the process without static destructors.
    static Application* application = new Application();
    return *application;
}

void Application::setDelegate(std::weak_ptr<ApplicationDelegate> delegate) { delegate_ = std::move(delegate); }

bool Application::setActivationPolicy(ActivationPolicy policy) {
    policy_ = policy;
    if (dock_) dock_->setIconShown(policy == ActivationPolicy::regular);
    return true;
}

void Application::setDock(std::shared_ptr<Dock> dock) {
    dock_ = std::move(dock);
    if (!dock_) {
        dockTile_.setDisplayHandler(nullptr);
        return;
    }
    dock_->setIconShown(policy_ == ActivationPolicy::regular);
    dockTile_.setDisplayHandler([this] {
        if (dock_) dock_->display(iconImage_);
    });
}

int Application::run() {
    RunLoop& loop = RunLoop::main();
    installTerminationSignals();
    loop.perform([this] {
        if (auto delegate = this->delegate()) delegate->applicationDidFinishLaunching();
    });
    loop.run();
    return 0;
}

void Application::terminate() {
    if (!RunLoop::main().isMainThread()) {
        DispatchQueue::main()->async([this] { terminate(); });
        return;
    }
    if (terminating) return;
    terminating = true;
    runWillTerminate();
    std::fflush(stdout);
    std::fflush(stderr);
    // Worker threads are still running; static destructors would race with them.
    ::_exit(0);
}

void Application::runWillTerminate() {
    if (didTerminate_) return;
    didTerminate_ = true;
    if (auto delegate = this->delegate()) delegate->applicationWillTerminate();
}

}  // namespace platform
