// Looks at libcurl's loading from a fresh process, where no session was made yet.
// "mapping": prints whether libcurl is mapped before the first session, after a request
// to this machine and after one that needs TLS.
// "tasks": runs tasks on a session with a thread and on one with a delegate queue and
// prints one line per task: its completions, the error, and where it completed. Meant to
// be run where libcurl does not load (LD_LIBRARY_PATH pointing at a broken one).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Dispatch.h"
#include "platform/URLSession.h"

using namespace std::chrono_literals;
using platform::URLSession;

namespace {

bool curlMapped() {
    std::ifstream file("/proc/self/maps");
    const std::string maps((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return maps.find("libcurl") != std::string::npos;
}

struct Record {
    std::string label;
    std::atomic<int> calls{0};
    std::string error;
    std::thread::id thread;
    bool onQueue = false;
};

class Tasks {
public:
    enum class Start { resume, cancelThenResume, resumeWhileCancelling };

    void run(const std::string& label, URLSession& session, const std::shared_ptr<platform::DispatchQueue>& queue,
             Start start = Start::resume) {
        auto& record = records_.emplace_back(std::make_unique<Record>());
        record->label = label;
        Record* target = record.get();
        platform::URLRequest request;
        request.url = "https://127.0.0.1:9/";  // off the loopback client's ground: curl's
        auto task = session.dataTask(std::move(request), [this, target, queue](auto data, auto response, auto error) {
            std::lock_guard lock(mutex_);
            if (++target->calls > 1) return;
            target->error = error ? error->domain + " " + std::to_string(error->code) + " " + error->description
                                  : std::string("no error") + (data || response ? " but a response" : "");
            target->thread = std::this_thread::get_id();
            target->onQueue = queue && queue->isCurrent();
            done_.signal();
        });
        switch (start) {
        case Start::resume:
            task->resume();
            task->resume();  // a second resume must not complete it again
            break;
        case Start::cancelThenResume:
            task->cancel();
            task->resume();
            break;
        case Start::resumeWhileCancelling: {
            std::thread cancelling([task] { task->cancel(); });
            task->resume();
            cancelling.join();
            break;
        }
        }
        tasks_.push_back(std::move(task));
    }

    // Waits for every first completion, then a little for any second one.
    void report(const std::string& session) {
        for (size_t i = 0; i < records_.size(); ++i)
            if (!done_.waitFor(10s)) break;
        std::this_thread::sleep_for(200ms);
        std::lock_guard lock(mutex_);
        std::thread::id first;
        for (const auto& record : records_) {
            if (first == std::thread::id()) first = record->thread;
            const char* where = record->onQueue                              ? "queue"
                                : record->thread == std::thread::id()        ? "nowhere"
                                : record->thread == std::this_thread::get_id() ? "caller"
                                : record->thread == first                    ? "session-thread"
                                                                             : "another-thread";
            std::printf("%s %s calls=%d where=%s error=%s\n", session.c_str(), record->label.c_str(),
                        record->calls.load(), where, record->error.c_str());
        }
        std::fflush(stdout);
    }

private:
    std::mutex mutex_;
    platform::Semaphore done_;
    std::vector<std::unique_ptr<Record>> records_;
    std::vector<std::shared_ptr<platform::URLSessionDataTask>> tasks_;
};

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "mapping") {
        std::printf("before: %s\n", curlMapped() ? "mapped" : "unmapped");
        auto session = URLSession::make(platform::URLSessionConfiguration::ephemeral());
        for (const std::string url : {"http://127.0.0.1:9/", "https://127.0.0.1:9/"}) {
            platform::Semaphore done;
            platform::URLRequest request;
            request.url = url;
            session->dataTask(request, [&done](auto, auto, auto) { done.signal(); })->resume();
            if (!done.waitFor(10s)) return 3;
            std::printf("after %s: %s\n", url.c_str(), curlMapped() ? "mapped" : "unmapped");
        }
        return 0;
    }
    if (mode != "tasks") return 2;

    auto threaded = URLSession::make(platform::URLSessionConfiguration::ephemeral());
    Tasks threadTasks;
    threadTasks.run("first", *threaded, nullptr);
    threadTasks.run("second", *threaded, nullptr);
    threadTasks.run("cancelled", *threaded, nullptr, Tasks::Start::cancelThenResume);
    threadTasks.report("thread");
    threaded->invalidateAndCancel();
    Tasks afterInvalidation;
    afterInvalidation.run("invalidated", *threaded, nullptr);
    afterInvalidation.report("thread");

    auto queue = platform::DispatchQueue::serial("curl-load-helper");
    auto queued = URLSession::make(platform::URLSessionConfiguration::ephemeral(), queue);
    Tasks queueTasks;
    queueTasks.run("first", *queued, queue);
    // Either way round, one completion.
    for (int i = 0; i < 8; ++i) queueTasks.run("raced" + std::to_string(i), *queued, queue, Tasks::Start::resumeWhileCancelling);
    queueTasks.report("queue");
    std::printf("mapped: %s\n", curlMapped() ? "yes" : "no");
    return 0;
}
