// A tiny application for the termination tests. argv[1] picks the behaviour:
//   signal            waits for SIGINT or SIGTERM
//   signal-twice      like signal; will-terminate sends itself another SIGTERM and calls terminate() again
//   worker-terminate  a worker thread calls terminate() after launch
// Output goes to standard output, block-buffered (a pipe), so it survives only if
// terminate() flushes it.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "platform/Application.h"
#include "platform/RunLoop.h"

namespace {

class HelperDelegate : public platform::ApplicationDelegate {
public:
    explicit HelperDelegate(std::string mode) : mode_(std::move(mode)) {}

    void applicationDidFinishLaunching() override {
        std::printf("launched main=%d\n", platform::RunLoop::main().isMainThread() ? 1 : 0);
        std::fflush(stdout);
        if (mode_ == "worker-terminate") {
            std::thread([] {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                platform::Application::shared().terminate();
            }).detach();
        }
    }

    void applicationWillTerminate() override {
        std::printf("will-terminate main=%d\n", platform::RunLoop::main().isMainThread() ? 1 : 0);
        if (mode_ == "signal-twice") {
            ::raise(SIGTERM);
            platform::Application::shared().terminate();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        std::printf("will-terminate done\n");  // left in the buffer on purpose
    }

private:
    std::string mode_;
};

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "signal";
    auto delegate = std::make_shared<HelperDelegate>(mode);
    auto& application = platform::Application::shared();
    application.setDelegate(delegate);
    application.setActivationPolicy(platform::ActivationPolicy::accessory);
    const int status = application.run();
    std::printf("run returned\n");
    return status == 0 ? 3 : 4;  // reaching here is a failure: terminate() ends the process
}
