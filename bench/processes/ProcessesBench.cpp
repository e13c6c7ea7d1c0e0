// The process reader against libproc2 and a plain open/read/close floor, one whole
// sampling cycle, and tidemark-nettop against `ss -tinpH`, all on the same machine state:
// about 300 processes (sleepers are started to make up the number) and 100 loopback TCP
// connections held by this process. The socket dump alone is timed too: most of a tool run
// is the kernel walking its tables for it.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <httplib.h>
#include <libproc2/pids.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/Bundle.h"
#include "platform/ProcessTable.h"
#include "processes/NativeProcessSampler.h"
#include "server/NodeServerManager.h"
#include "TcpSocketCounters.h"

extern char** environ;

namespace {

constexpr int targetProcesses = 300;
constexpr int connections = 100;

std::string nettopPath() { return platform::Bundle::main().executableDirectory() + "/../bin/tidemark-nettop"; }

pid_t spawn(const std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (const auto& part : command) argv.push_back(const_cast<char*>(part.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int countProcesses() {
    int count = 0;
    DIR* dir = opendir("/proc");
    while (const dirent* entry = readdir(dir)) count += entry->d_name[0] >= '1' && entry->d_name[0] <= '9';
    closedir(dir);
    return count;
}

double childrenCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int run(const std::vector<std::string>& command) {
    const pid_t pid = spawn(command);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Sleepers to make up the process count, and connections the network tool counts: from
// this process to a listener in a network namespace joined by a veth pair (198.18.0.0/15
// addresses), as root; loopback pairs otherwise, which the tool leaves out.
struct MachineState {
    std::vector<pid_t> sleepers;
    std::vector<int> sockets;
    std::string namespaceName = "tidemark-bench-" + std::to_string(getpid());
    bool privateNetwork = false;

    // A listener inside the namespace: the socket stays there after the thread returns.
    int listenInside(sockaddr_in& address) {
        int listener = -1;
        std::thread([&] {
            const int ns = open(("/run/netns/" + namespaceName).c_str(), O_RDONLY | O_CLOEXEC);
            if (ns < 0 || setns(ns, CLONE_NEWNET) != 0) return;
            close(ns);
            listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
            listen(listener, connections);
        }).join();
        return listener;
    }

    MachineState() {
        for (int n = countProcesses(); n < targetProcesses; ++n) sleepers.push_back(spawn({"sleep", "3600"}));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(40000 + getpid() % 20000));
        int listener = -1;
        if (geteuid() == 0 && run({"ip", "netns", "add", namespaceName}) == 0) {
            const std::string host = "tmb" + std::to_string(getpid() % 1000000) + "h";
            const std::string inside = "tmb" + std::to_string(getpid() % 1000000) + "i";
            privateNetwork =
                run({"ip", "link", "add", host, "type", "veth", "peer", "name", inside}) == 0 &&
                run({"ip", "link", "set", inside, "netns", namespaceName}) == 0 &&
                run({"ip", "address", "add", "198.19.255.1/30", "dev", host}) == 0 &&
                run({"ip", "link", "set", host, "up"}) == 0 &&
                run({"ip", "-n", namespaceName, "address", "add", "198.19.255.2/30", "dev", inside}) == 0 &&
                run({"ip", "-n", namespaceName, "link", "set", inside, "up"}) == 0;
            inet_pton(AF_INET, "198.19.255.2", &address.sin_addr);
            if (privateNetwork) listener = listenInside(address);
        }
        if (listener < 0) {
            privateNetwork = false;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = 0;
            listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
            listen(listener, connections);
            socklen_t length = sizeof address;
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        }
        sockets.push_back(listener);
        for (int i = 0; i < connections; ++i) {
            const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
            const int server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            char byte = 'x';
            (void)!write(client, &byte, 1);
            (void)!read(server, &byte, 1);
            sockets.push_back(client);
            sockets.push_back(server);
        }
        std::fprintf(stderr, "%d connections %s\n", connections,
                     privateNetwork ? "over a veth pair into a private namespace" : "over loopback (not counted)");
    }
    ~MachineState() {
        for (pid_t pid : sleepers) kill(pid, SIGKILL);
        for (pid_t pid : sleepers) waitpid(pid, nullptr, 0);
        for (int fd : sockets) close(fd);
        run({"ip", "netns", "delete", namespaceName});  // takes the veth pair with it
    }
};

std::shared_ptr<NativeProcessSampler> sampler() {
    static auto instance = [] {
        NativeProcessSampler::Configuration configuration;
        configuration.networkCommandPath = nettopPath();
        return std::make_shared<NativeProcessSampler>(nullptr, configuration);
    }();
    return instance;
}

void BM_ReadAllProcessUsage(benchmark::State& state) {
    size_t processes = 0;
    for (auto _ : state) {
        auto usage = sampler()->readAllProcessUsage();
        processes = usage.size();
        benchmark::DoNotOptimize(usage);
    }
    state.counters["processes"] = static_cast<double>(processes);
}

// The reader alone, the same fields as libproc2 below: with its descriptors kept between
// scans (as the sampler runs it), and opening, reading and closing every file each time.
void BM_ProcessTableScan(benchmark::State& state, platform::ProcessTable::Descriptors descriptors) {
    platform::ProcessTable table("/proc", descriptors);
    std::vector<platform::ProcessRecord> records;
    for (auto _ : state) {
        table.readAll(records);
        benchmark::DoNotOptimize(records.data());
    }
    state.counters["processes"] = static_cast<double>(records.size());
    state.counters["kept_fds"] = static_cast<double>(table.keptDescriptors());
}

// What the full names add: the command line of each process whose comm fills 15 bytes.
void BM_CommandLinesOfCutNames(benchmark::State& state) {
    const platform::ProcessTable table("/proc");
    std::vector<int32_t> cut;
    const auto pids = table.listProcesses().value_or(std::vector<int32_t>{});
    for (int32_t pid : pids) {
        char path[64];
        std::snprintf(path, sizeof path, "/proc/%d/comm", pid);
        char comm[64];
        const int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        const ssize_t n = read(fd, comm, sizeof comm);
        close(fd);
        if (n == 16) cut.push_back(pid);  // 15 bytes and the newline
    }
    char buffer[8192];
    for (auto _ : state) {
        size_t bytes = 0;
        for (int32_t pid : cut) {
            char path[64];
            std::snprintf(path, sizeof path, "/proc/%d/cmdline", pid);
            const int fd = open(path, O_RDONLY | O_CLOEXEC);
            if (fd < 0) continue;
            const ssize_t n = read(fd, buffer, sizeof buffer);
            bytes += n > 0 ? static_cast<size_t>(n) : 0;
            close(fd);
        }
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["cut_names"] = static_cast<double>(cut.size());
}

void BM_Libproc2(benchmark::State& state) {
    pids_item items[] = {PIDS_ID_PID,   PIDS_CMD,     PIDS_TICS_USER,     PIDS_TICS_SYSTEM,   PIDS_TICS_BEGAN,
                         PIDS_MEM_RES, PIDS_MEM_SHR, PIDS_IO_READ_BYTES, PIDS_IO_WRITE_BYTES};
    pids_info* info = nullptr;
    if (procps_pids_new(&info, items, sizeof items / sizeof items[0]) < 0) {
        state.SkipWithError("procps_pids_new failed");
        return;
    }
    int processes = 0;
    for (auto _ : state) {
        pids_fetch* fetched = procps_pids_reap(info, PIDS_FETCH_TASKS_ONLY);
        processes = fetched ? fetched->counts->total : 0;
        unsigned long long sum = 0;
        for (int i = 0; i < processes; ++i) sum += PIDS_VAL(2, ull_int, fetched->stacks[i], info);
        benchmark::DoNotOptimize(sum);
    }
    procps_pids_unref(&info);
    state.counters["processes"] = processes;
}

// The floor: only open, read and close the three files of every process (the reader's
// stat, status, io, or statm in place of status, the cheaper file with less in it).
void BM_FloorOpenReadClose(benchmark::State& state, const char* memoryFile) {
    char buffer[4096];
    char path[64];
    for (auto _ : state) {
        DIR* dir = opendir("/proc");
        size_t bytes = 0;
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
            for (const char* file : {"stat", memoryFile, "io"}) {
                std::snprintf(path, sizeof path, "/proc/%.16s/%s", entry->d_name, file);
                const int fd = open(path, O_RDONLY | O_CLOEXEC);
                if (fd < 0) continue;
                const ssize_t n = read(fd, buffer, sizeof buffer);
                bytes += n > 0 ? static_cast<size_t>(n) : 0;
                close(fd);
            }
        }
        closedir(dir);
        benchmark::DoNotOptimize(bytes);
    }
}

// One whole cycle as the timer runs it, the POST answered by a local server; CPU is
// this process's (sampler, HTTP client and server) plus the network tool's.
void BM_SamplingCycle(benchmark::State& state) {
    httplib::Server server;
    std::mutex mutex;
    std::condition_variable answered;
    int posts = 0;
    server.Post("/api/processes/ingest", [&](const httplib::Request&, httplib::Response& response) {
        response.status = 200;
        std::lock_guard lock(mutex);
        ++posts;
        answered.notify_all();
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread thread([&] { server.listen_after_bind(); });
    auto manager = std::make_shared<NodeServerManager>();
    manager->setPortForTesting(port);
    NativeProcessSampler::Configuration configuration;
    configuration.networkCommandPath = nettopPath();
    const auto cycleSampler = std::make_shared<NativeProcessSampler>(manager, configuration);

    const double childrenBefore = childrenCpuSeconds();
    for (auto _ : state) {
        const int before = posts;
        cycleSampler->queue()->sync([&] { cycleSampler->sampleAndSend(); });
        std::unique_lock lock(mutex);
        answered.wait(lock, [&] { return posts > before; });
        lock.unlock();
        // Let the completion clear the request before the next cycle.
        for (bool pending = true; pending;)
            cycleSampler->queue()->sync([&] { pending = cycleSampler->isRequestInFlight(); });
    }
    state.counters["nettop_cpu_ms"] = benchmark::Counter((childrenCpuSeconds() - childrenBefore) * 1000,
                                                         benchmark::Counter::kAvgIterations);
    cycleSampler->stop();
    cycleSampler->queue()->sync([] {});
    server.stop();
    thread.join();
}

void runCommand(benchmark::State& state, const std::vector<std::string>& command) {
    const double childrenBefore = childrenCpuSeconds();
    for (auto _ : state) {
        const pid_t pid = spawn(command);
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("command failed");
    }
    state.counters["child_cpu_ms"] =
        benchmark::Counter((childrenCpuSeconds() - childrenBefore) * 1000, benchmark::Counter::kAvgIterations);
}

// With its state file (in a runtime directory of its own on tmpfs, as /run/user/<uid>
// is), and without one.
void BM_TidemarkNettop(benchmark::State& state, bool withState) {
    char directory[] = "/dev/shm/tidemark-bench-XXXXXX";
    const char* previous = getenv("XDG_RUNTIME_DIR");
    const std::string saved = previous ? previous : "";
    if (withState) {
        setenv("XDG_RUNTIME_DIR", mkdtemp(directory), 1);
    } else {
        unsetenv("XDG_RUNTIME_DIR");
    }
    runCommand(state, {nettopPath(), "-P", "-L", "1", "-x", "-J", "bytes_in,bytes_out"});
    if (previous) setenv("XDG_RUNTIME_DIR", saved.c_str(), 1); else unsetenv("XDG_RUNTIME_DIR");
    if (withState) std::system(("rm -rf " + std::string(directory)).c_str());
}

void BM_SsTinpH(benchmark::State& state) { runCommand(state, {"ss", "-tinpH"}); }

void BM_SocketDump(benchmark::State& state) {
    size_t sockets = 0;
    for (auto _ : state) {
        const auto dump = readTcpSocketCounters();
        if (!dump) state.SkipWithError("no socket diagnostics");
        sockets = dump ? dump->size() : 0;
    }
    state.counters["sockets"] = static_cast<double>(sockets);
}

}  // namespace

BENCHMARK(BM_ReadAllProcessUsage)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ProcessTableScan, kept, platform::ProcessTable::Descriptors::keep)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ProcessTableScan, reopened, platform::ProcessTable::Descriptors::reopen)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CommandLinesOfCutNames)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Libproc2)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_FloorOpenReadClose, status, "status")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_FloorOpenReadClose, statm, "statm")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SamplingCycle)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK_CAPTURE(BM_TidemarkNettop, state_file, true)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_TidemarkNettop, no_state_file, false)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SsTinpH)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SocketDump)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    platform::raiseDescriptorLimit();  // as the application does
    MachineState machine;
    // Another build of the tool (an earlier version, say) timed on the same machine state.
    if (const char* baseline = getenv("TIDEMARK_BASELINE_NETTOP")) {
        const std::string path = baseline;
        benchmark::RegisterBenchmark("BM_BaselineNettop", [path](benchmark::State& state) {
            runCommand(state, {path, "-P", "-L", "1", "-x", "-J", "bytes_in,bytes_out"});
        })->Unit(benchmark::kMillisecond)->UseRealTime();
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
