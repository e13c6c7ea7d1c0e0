#include "platform/Log.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace platform {
namespace {

std::mutex& sinkMutex() {
    static std::mutex mutex;
    return mutex;
}

LogSink& sink() {
    static LogSink value;
    return value;
}

}  // namespace

std::string logLinePrefix() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    const std::time_t seconds = system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    char line[96];
    std::snprintf(line, sizeof line, "%s.%03lld Tidemark[%d:%ld] ", stamp, static_cast<long long>(millis),
                  static_cast<int>(getpid()), static_cast<long>(syscall(SYS_gettid)));
    return line;
}

void log(std::string_view text) {
    {
        std::lock_guard lock(sinkMutex());
        if (sink()) {
            sink()(text);
            return;
        }
    }
    std::string line = logLinePrefix();
    line.append(text);
    line.push_back('\n');
    // One write per line so lines from several threads never interleave.
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

void setLogSink(LogSink newSink) {
    std::lock_guard lock(sinkMutex());
    sink() = std::move(newSink);
}

}  // namespace platform
