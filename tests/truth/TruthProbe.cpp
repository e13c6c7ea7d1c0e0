// Reads the processes as Tidemark does, under whatever uid it is started with:
//   usage <interval ms> <pid>...   two readings <interval> apart; prints one JSON object
//                                  with the number of processes read and the entries of
//                                  the pids asked for (absent when not read)
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "platform/Environment.h"
#include "processes/NativeProcessSampler.h"

int main(int argc, char** argv) {
    if (argc < 3 || std::string(argv[1]) != "usage") return 64;
    const auto interval = std::chrono::milliseconds(std::atoi(argv[2]));
    const auto sampler = std::make_shared<NativeProcessSampler>(nullptr, NativeProcessSampler::Configuration{});
    const auto startedAt = std::chrono::steady_clock::now();
    const auto before = sampler->readAllProcessUsage();
    std::this_thread::sleep_until(startedAt + interval);
    const auto endedAt = std::chrono::steady_clock::now();
    const auto after = sampler->readAllProcessUsage();
    const double elapsed = std::chrono::duration<double>(endedAt - startedAt).count();
    const auto entries =
        NativeProcessSampler::makeEntries(after, before, {}, {}, elapsed, platform::physicalMemory());
    nlohmann::json out;
    out["uid"] = ::getuid();
    out["processes"] = after.size();
    out["entries"] = nlohmann::json::object();
    for (int i = 3; i < argc; ++i) {
        const int pid = std::atoi(argv[i]);
        for (const auto& entry : entries) {
            if (entry.pid != pid) continue;
            out["entries"][std::to_string(pid)] = {{"name", entry.name},
                                                    {"cpuPercent", entry.cpuPercent},
                                                    {"memoryBytes", entry.memoryBytes},
                                                    {"diskReadBps", entry.diskReadBps},
                                                    {"diskWriteBps", entry.diskWriteBps}};
        }
    }
    std::puts(out.dump().c_str());
    return 0;
}
