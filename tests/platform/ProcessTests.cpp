#include "platform/Process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

#include "support/TestSupport.h"

using namespace std::chrono_literals;
using platform::Pipe;
using platform::Process;
using testsupport::eventually;

namespace {

std::shared_ptr<Process> shell(const std::string& script) {
    auto process = Process::make();
    process->executablePath = "/bin/sh";
    process->arguments = {"-c", script};
    return process;
}

// Reads the pipe to its end on another thread; gives up (closing the handle, which
// wakes the read) when end of file does not come in time.
std::optional<std::string> readToEnd(const std::shared_ptr<Pipe>& pipe, std::chrono::milliseconds timeout = 5s) {
    auto handle = pipe->fileHandleForReading();
    auto result = std::async(std::launch::async, [handle] { return handle->readDataToEndOfFile(); });
    if (result.wait_for(timeout) != std::future_status::ready) {
        handle->closeFile();
        result.wait();
        return std::nullopt;
    }
    return result.get();
}

std::string run(const std::shared_ptr<Process>& process) {
    auto pipe = std::make_shared<Pipe>();
    process->standardOutput = pipe;
    process->standardError = pipe;
    if (auto error = process->run()) return "launch failed: " + error->description;
    auto output = readToEnd(pipe);
    EXPECT_TRUE(process->waitUntilExit(5000ms));
    return output.value_or("<no end of file>");
}

using testsupport::threadCount;

// A named pipe a child can block on until the test lets it go on.
// Each one is for a single release: a reopened fifo could see a writer still closing.
std::string makeFifo(const testsupport::TemporaryDirectory& directory, const std::string& name = "go") {
    const std::string path = directory.path() + "/" + name;
    EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
    return path;
}

bool isAliveAndNotZombie(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto paren = text.rfind(')');
    return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] != 'Z';
}

}  // namespace

TEST(Process, ChildGetsExactlyItsEnvironmentDirectoryAndDescriptors) {
    auto env = Process::make();
    env->executablePath = "/usr/bin/env";
    env->environment = std::map<std::string, std::string>{{"A", "1"}, {"B", "two words"}, {"EMPTY", ""}};
    EXPECT_EQ(run(env), "A=1\nB=two words\nEMPTY=\n");

    {
        testsupport::ScopedEnvironment marker("TIDEMARK_PROCESS_TEST_MARK", "inherited");
        auto inherit = shell("printf %s \"$TIDEMARK_PROCESS_TEST_MARK\"");
        EXPECT_EQ(run(inherit), "inherited");
    }

    testsupport::TemporaryDirectory directory;
    auto pwd = shell("pwd -P");
    pwd->currentDirectoryPath = directory.path();
    EXPECT_EQ(run(pwd), std::filesystem::canonical(directory.path()).string() + "\n");

    // A descriptor opened without close-on-exec by someone else stays out of the child;
    // standard input is the null device.
    const int leaky = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaky, 3);
    auto fds = shell("ls /proc/$$/fd; readlink /proc/$$/fd/0");
    const std::string listing = run(fds);
    ::close(leaky);
    EXPECT_EQ(listing, "0\n1\n2\n/dev/null\n");
}

TEST(Process, OutputAndErrorShareOnePipeInArrivalOrder) {
    auto process = shell("echo one; echo two >&2; echo three; echo 'four %d %@' >&2");
    EXPECT_EQ(run(process), "one\ntwo\nthree\nfour %d %@\n");

    // Separate pipes for output and error.
    auto split = shell("echo out; echo err >&2");
    auto out = std::make_shared<Pipe>();
    auto err = std::make_shared<Pipe>();
    split->standardOutput = out;
    split->standardError = err;
    ASSERT_FALSE(split->run());
    EXPECT_EQ(readToEnd(out), "out\n");
    EXPECT_EQ(readToEnd(err), "err\n");
}

TEST(Process, ReadabilityHandlerRunsPerChunkAndOnceAtEnd) {
    // The child waits for us between chunks, so they cannot merge however slow we are.
    testsupport::TemporaryDirectory directory;
    const std::string first = makeFifo(directory, "first");
    const std::string second = makeFifo(directory, "second");
    auto process = shell("printf a; read x < " + first + "; printf b; read x < " + second + "; printf c");
    auto pipe = std::make_shared<Pipe>();
    process->standardOutput = pipe;
    std::mutex mutex;
    std::vector<std::string> chunks;
    std::atomic<int> calls{0};
    std::atomic<bool> onCallerThread{false};
    const auto caller = std::this_thread::get_id();
    pipe->fileHandleForReading()->setReadabilityHandler([&](platform::FileHandle& handle) {
        ++calls;
        onCallerThread = onCallerThread || std::this_thread::get_id() == caller;
        std::string data = handle.availableData();
        std::lock_guard lock(mutex);
        chunks.push_back(data);
        if (data.empty()) handle.setReadabilityHandler({});
    });
    ASSERT_FALSE(process->run());
    const auto chunkCount = [&] {
        std::lock_guard lock(mutex);
        return chunks.size();
    };
    ASSERT_TRUE(eventually([&] { return chunkCount() == 1; }, 5s));
    std::ofstream(first) << "\n";
    ASSERT_TRUE(eventually([&] { return chunkCount() == 2; }, 5s));
    std::ofstream(second) << "\n";
    ASSERT_TRUE(eventually([&] { return chunkCount() == 4; }, 5s));
    std::this_thread::sleep_for(100ms);
    std::lock_guard lock(mutex);
    EXPECT_EQ(chunks, (std::vector<std::string>{"a", "b", "c", ""}));
    EXPECT_EQ(calls, 4);
    EXPECT_FALSE(onCallerThread);
}

TEST(Process, RemovingOrDestroyingTheHandlerStopsItsThread) {
    const size_t baseline = threadCount();
    auto pipe = std::make_shared<Pipe>();
    std::atomic<int> calls{0};
    std::atomic<bool> release{false};
    std::atomic<bool> inside{false};
    pipe->fileHandleForReading()->setReadabilityHandler([&](platform::FileHandle& handle) {
        inside = true;
        ++calls;
        handle.availableData();
        while (!release) std::this_thread::sleep_for(1ms);
        inside = false;
    });
    pipe->fileHandleForWriting()->write("x");
    ASSERT_TRUE(eventually([&] { return calls == 1; }, 2s));
    // The handler is busy: removal waits for it, so the caller may then free what it uses.
    auto removal = std::async(std::launch::async, [&] {
        pipe->fileHandleForReading()->setReadabilityHandler({});
        return inside.load();
    });
    EXPECT_EQ(removal.wait_for(200ms), std::future_status::timeout);
    release = true;
    ASSERT_EQ(removal.wait_for(2s), std::future_status::ready);
    EXPECT_FALSE(removal.get()) << "removal returned while the handler still ran";
    pipe->fileHandleForWriting()->write("y");
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(eventually([&] { return threadCount() == baseline; }, 2s));

    // A handle dropped with its handler installed takes the thread with it.
    {
        Pipe other;
        other.fileHandleForReading()->setReadabilityHandler([](platform::FileHandle& handle) { handle.availableData(); });
        EXPECT_TRUE(eventually([&] { return threadCount() == baseline + 1; }, 2s));
    }
    EXPECT_TRUE(eventually([&] { return threadCount() == baseline; }, 2s));

    // Closing a handle wakes a read blocked on it.
    Pipe blocked;
    auto reading = blocked.fileHandleForReading();
    auto read = std::async(std::launch::async, [reading] { return reading->availableData(); });
    EXPECT_EQ(read.wait_for(100ms), std::future_status::timeout);
    reading->closeFile();
    ASSERT_EQ(read.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(read.get(), "");
}

TEST(Process, ExitCodeAndSignalStatus) {
    auto exits = shell("exit 3");
    ASSERT_FALSE(exits->run());
    EXPECT_GT(exits->processIdentifier(), 0);
    ASSERT_TRUE(exits->waitUntilExit(5000ms));
    EXPECT_FALSE(exits->isRunning());
    EXPECT_EQ(exits->terminationStatus(), 3);
    EXPECT_EQ(exits->terminationReason(), Process::TerminationReason::exit);

    auto killed = shell("kill -KILL $$");
    ASSERT_FALSE(killed->run());
    ASSERT_TRUE(killed->waitUntilExit(5000ms));
    EXPECT_EQ(killed->terminationStatus(), SIGKILL);
    EXPECT_EQ(killed->terminationReason(), Process::TerminationReason::uncaughtSignal);

    // A second launch of the same object is refused.
    EXPECT_TRUE(exits->run().has_value());
}

TEST(Process, LaunchFailuresAreErrorsAndStartNothing) {
    testsupport::TemporaryDirectory directory;
    auto missing = Process::make();
    missing->executablePath = directory.path() + "/no-such-tool";
    auto pipe = std::make_shared<Pipe>();
    missing->standardOutput = pipe;
    auto error = missing->run();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->description, "The file “no-such-tool” doesn’t exist.");
    EXPECT_FALSE(missing->isRunning());
    EXPECT_EQ(missing->processIdentifier(), 0);

    const std::string plain = directory.path() + "/plain";
    std::ofstream(plain) << "#!/bin/sh\necho hi\n";
    ::chmod(plain.c_str(), 0644);
    auto notExecutable = Process::make();
    notExecutable->executablePath = plain;
    error = notExecutable->run();
    ASSERT_TRUE(error);
    EXPECT_NE(error->description.find("Permission denied"), std::string::npos) << error->description;
    EXPECT_FALSE(notExecutable->isRunning());

    const std::string garbage = directory.path() + "/garbage";
    std::ofstream(garbage) << std::string_view("\x7f\x01\x02\x03 not a program");
    ::chmod(garbage.c_str(), 0755);
    auto badFormat = Process::make();
    badFormat->executablePath = garbage;
    error = badFormat->run();
    ASSERT_TRUE(error);
    EXPECT_NE(error->description.find("Exec format error"), std::string::npos) << error->description;

    auto badDirectory = shell("true");
    badDirectory->currentDirectoryPath = directory.path() + "/absent";
    error = badDirectory->run();
    ASSERT_TRUE(error);
    EXPECT_NE(error->description.find("No such file or directory"), std::string::npos) << error->description;
    EXPECT_FALSE(badDirectory->isRunning());
}

TEST(Process, TerminateAndKill) {
    // Our own ignored or blocked SIGTERM must not reach the child.
    struct sigaction ignore {}, previous {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGTERM, &ignore, &previous);
    auto polite = Process::make();
    polite->executablePath = "/bin/sleep";
    polite->arguments = {"30"};
    ASSERT_FALSE(polite->run());
    ::sigaction(SIGTERM, &previous, nullptr);
    EXPECT_TRUE(polite->isRunning());
    const auto start = std::chrono::steady_clock::now();
    polite->terminate();
    ASSERT_TRUE(polite->waitUntilExit(2000ms));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
    EXPECT_EQ(polite->terminationReason(), Process::TerminationReason::uncaughtSignal);
    EXPECT_EQ(polite->terminationStatus(), SIGTERM);
    polite->terminate();  // already gone: nothing happens

    auto stubborn = shell("trap '' TERM; echo ready; exec /bin/sleep 30");
    auto pipe = std::make_shared<Pipe>();
    stubborn->standardOutput = pipe;
    ASSERT_FALSE(stubborn->run());
    EXPECT_EQ(pipe->fileHandleForReading()->availableData(), "ready\n");
    stubborn->terminate();
    EXPECT_FALSE(stubborn->waitUntilExit(300ms));
    EXPECT_TRUE(stubborn->isRunning());
    ::kill(stubborn->processIdentifier(), SIGKILL);
    ASSERT_TRUE(stubborn->waitUntilExit(2000ms));
    EXPECT_EQ(stubborn->terminationStatus(), SIGKILL);
}

TEST(Process, ChildrenRunInTheirOwnSessionAndSignalsGoThroughTheObject) {
    // A terminal's Ctrl-C goes to its foreground process group: never to our children.
    auto child = Process::make();
    child->executablePath = "/bin/sleep";
    child->arguments = {"30"};
    ASSERT_FALSE(child->run());
    const pid_t pid = child->processIdentifier();
    EXPECT_EQ(::getsid(pid), pid);
    EXPECT_EQ(::getpgid(pid), pid);
    EXPECT_NE(::getpgid(pid), ::getpgrp());
    EXPECT_TRUE(child->sendSignal(SIGKILL));
    ASSERT_TRUE(child->waitUntilExit(2000ms));
    EXPECT_EQ(child->terminationStatus(), SIGKILL);
    // Reaped: the pid may belong to someone else now, so nothing is sent.
    EXPECT_FALSE(child->sendSignal(SIGKILL));
}

TEST(Process, ReadabilityHandlerRemovalRacingTheReaderIsSafe) {
    // Removal followed at once by dropping the handle, while the handler reads: the
    // handle must not be freed under the reader (run under TSan and ASan too).
    for (int round = 0; round < 200; ++round) {
        auto pipe = std::make_shared<Pipe>();
        auto reading = pipe->fileHandleForReading();
        std::atomic<bool> started{false};
        reading->setReadabilityHandler([&started](platform::FileHandle& handle) {
            started = true;
            handle.availableData();
        });
        pipe->fileHandleForWriting()->write(std::string(4096, 'x'));
        if (round % 2) eventually([&] { return started.load(); }, 1s, 0ms);
        reading->setReadabilityHandler({});
        reading.reset();
        pipe.reset();
    }
}

TEST(Process, TerminationHandler) {
    const auto caller = std::this_thread::get_id();
    std::promise<std::tuple<std::thread::id, int, bool>> seen;
    std::atomic<int> calls{0};
    {
        auto process = shell("exit 3");
        process->setTerminationHandler([&](Process& exited) {
            if (++calls == 1) seen.set_value({std::this_thread::get_id(), exited.terminationStatus(), exited.isRunning()});
        });
        ASSERT_FALSE(process->run());
        // Dropping our reference does not lose the handler.
    }
    auto future = seen.get_future();
    ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
    auto [thread, status, running] = future.get();
    EXPECT_NE(thread, caller);
    EXPECT_EQ(status, 3);
    EXPECT_FALSE(running);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(calls, 1);

    // Removed before the exit: never runs.
    std::atomic<bool> removedRan{false};
    testsupport::TemporaryDirectory directory;
    const std::string fifo = makeFifo(directory);
    auto removed = shell("read x < " + fifo);
    removed->setTerminationHandler([&](Process&) { removedRan = true; });
    ASSERT_FALSE(removed->run());
    removed->setTerminationHandler({});
    std::ofstream(fifo) << "\n";
    ASSERT_TRUE(removed->waitUntilExit(5000ms));
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(removedRan);

    // Removal while the handler runs returns only once it has finished.
    std::atomic<bool> started{false}, finished{false};
    auto racing = shell("exit 0");
    racing->setTerminationHandler([&](Process&) {
        started = true;
        std::this_thread::sleep_for(200ms);
        finished = true;
    });
    ASSERT_FALSE(racing->run());
    ASSERT_TRUE(eventually([&] { return started.load(); }, 5s));
    racing->setTerminationHandler({});
    EXPECT_TRUE(finished);

    // A handler may remove itself.
    std::promise<void> selfRemoved;
    auto self = shell("exit 0");
    self->setTerminationHandler([&](Process& exited) {
        exited.setTerminationHandler({});
        selfRemoved.set_value();
    });
    ASSERT_FALSE(self->run());
    EXPECT_EQ(selfRemoved.get_future().wait_for(5s), std::future_status::ready);
}

namespace {

using Collected = Process::CollectedOutput;
using Ending = Process::CollectedOutput::Ending;

Process::CollectionLimits collectionLimits(std::chrono::milliseconds exitTimeout, std::chrono::milliseconds outputTimeout,
                                           std::chrono::milliseconds grace = 200ms) {
    Process::CollectionLimits limits;
    limits.exitTimeout = exitTimeout;
    limits.outputTimeout = outputTimeout;
    limits.terminationGrace = grace;
    limits.killGrace = grace;
    limits.drainGrace = grace;
    return limits;
}

struct TimedRun {
    std::variant<Collected, platform::Error> result;
    std::chrono::milliseconds took;

    const Collected& collected() const { return std::get<Collected>(result); }
    bool failed() const { return std::holds_alternative<platform::Error>(result); }
};

TimedRun collect(const std::shared_ptr<Process>& process, const Process::CollectionLimits& limits) {
    const auto start = std::chrono::steady_clock::now();
    auto result = process->runCollectingOutput(limits);
    return {std::move(result),
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)};
}

size_t descriptorCount() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

// True when the pid is no child of ours any more, neither running nor a zombie.
bool reaped(pid_t pid) {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) < 0 && errno == ECHILD;
}

int readPid(const std::string& path) {
    int pid = 0;
    std::ifstream(path) >> pid;
    return pid;
}

}  // namespace

TEST(Process, ChildDiesWithItsParentHoweverTheParentDies) {
    // Orphans come back to us, so we can see how the grandchild ended.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    // Plain: started from a thread that has ended, which the child must outlive.
    // Collected: started from the helper's main thread, which waits for it.
    for (const bool collected : {false, true}) {
        SCOPED_TRACE(collected ? "collected run" : "plain run");
        auto helper = Process::make();
        helper->executablePath = testsupport::testBinDirectory() + "/ProcessHelper";
        if (collected) helper->arguments = {"collected"};
        auto pipe = std::make_shared<Pipe>();
        helper->standardOutput = pipe;
        helper->standardError = pipe;
        ASSERT_FALSE(helper->run());
        std::string line;
        ASSERT_TRUE(eventually(
            [&] {
                line += pipe->fileHandleForReading()->availableData();
                return line.find('\n') != std::string::npos;
            },
            5s));
        const pid_t sleeper = std::stoi(line);
        ASSERT_GT(sleeper, 0);
        std::this_thread::sleep_for(300ms);
        EXPECT_TRUE(isAliveAndNotZombie(sleeper));

        ::kill(helper->processIdentifier(), SIGKILL);
        ASSERT_TRUE(helper->waitUntilExit(5000ms));
        int status = 0;
        const bool gone = eventually([&] { return ::waitpid(sleeper, &status, WNOHANG) == sleeper; }, 5s);
        if (!gone) ::kill(sleeper, SIGKILL);
        ASSERT_TRUE(gone);
        EXPECT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), SIGTERM);
    }
}

TEST(Process, ChildStartsWithDefaultSignalsAndTheCallersMaskIsKept) {
    // What this process does with signals must not reach the child: a handler, an
    // ignored signal and a blocked one.
    struct sigaction handled {}, ignored{}, oldUsr1{}, oldUsr2{};
    handled.sa_handler = [](int) {};
    ignored.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGUSR1, &handled, &oldUsr1), 0);
    ASSERT_EQ(::sigaction(SIGUSR2, &ignored, &oldUsr2), 0);
    sigset_t blocked, before;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGWINCH);
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &before), 0);
    sigset_t callerMask;
    ::pthread_sigmask(SIG_SETMASK, nullptr, &callerMask);

    // cat sets up no handler of its own (grep, for one, catches SIGSEGV).
    const auto signalLines = [](const std::string& status) {
        std::istringstream lines(status);
        std::string line, result;
        while (std::getline(lines, line))
            if (line.rfind("SigBlk:", 0) == 0 || line.rfind("SigIgn:", 0) == 0 || line.rfind("SigCgt:", 0) == 0)
                result += line + "\n";
        return result;
    };
    const std::string expected = "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\nSigCgt:\t0000000000000000\n";
    const auto catStatus = [] {
        auto process = Process::make();
        process->executablePath = "/bin/cat";
        process->arguments = {"/proc/self/status"};
        return process;
    };
    EXPECT_EQ(signalLines(run(catStatus())), expected);
    auto collected = catStatus()->runCollectingOutput(collectionLimits(5s, 1s));
    ASSERT_TRUE(std::holds_alternative<Collected>(collected));
    EXPECT_EQ(signalLines(std::get<Collected>(collected).data), expected);

    sigset_t after;
    ::pthread_sigmask(SIG_SETMASK, nullptr, &after);
    for (int sig = 1; sig < NSIG; ++sig) EXPECT_EQ(sigismember(&after, sig), sigismember(&callerMask, sig)) << sig;
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    ::sigaction(SIGUSR1, &oldUsr1, nullptr);
    ::sigaction(SIGUSR2, &oldUsr2, nullptr);
}

TEST(Process, CollectedRunReadsTheOutputToItsEnd) {
    // More than a pipe holds, even an enlarged one: the child blocks until we read, and
    // exits after writing.
    auto big = Process::make();
    big->executablePath = "/usr/bin/head";
    big->arguments = {"-c", "3000000", "/dev/zero"};
    auto run = collect(big, collectionLimits(5s, 1s));
    ASSERT_FALSE(run.failed()) << std::get<platform::Error>(run.result).description;
    EXPECT_EQ(run.collected().ending, Ending::complete);
    EXPECT_EQ(run.collected().data, std::string(3000000, '\0'));
    EXPECT_FALSE(big->isRunning());
    EXPECT_EQ(big->terminationStatus(), 0);
    EXPECT_TRUE(reaped(big->processIdentifier()));

    // The child exits before its output ends: a descendant writes the rest and closes it.
    auto late = shell("(sleep 0.3; echo late) & echo early");
    run = collect(late, collectionLimits(5s, 3s));
    ASSERT_FALSE(run.failed());
    EXPECT_EQ(run.collected().ending, Ending::complete);
    EXPECT_EQ(run.collected().data, "early\nlate\n");
    EXPECT_GE(run.took, 250ms);
    EXPECT_EQ(late->terminationStatus(), 0);

    // How it ended is recorded like a run()'s; standard error stays apart.
    auto failing = shell("echo out; echo err >&2; exit 3");
    failing->standardError = std::make_shared<Pipe>();
    run = collect(failing, collectionLimits(5s, 1s));
    ASSERT_FALSE(run.failed());
    EXPECT_EQ(run.collected().data, "out\n");
    EXPECT_EQ(failing->terminationReason(), Process::TerminationReason::exit);
    EXPECT_EQ(failing->terminationStatus(), 3);
    EXPECT_EQ(readToEnd(failing->standardError), "err\n");
    auto killed = shell("echo x; kill -KILL $$");
    run = collect(killed, collectionLimits(5s, 1s));
    ASSERT_FALSE(run.failed());
    EXPECT_EQ(run.collected().ending, Ending::complete);
    EXPECT_EQ(run.collected().data, "x\n");
    EXPECT_EQ(killed->terminationReason(), Process::TerminationReason::uncaughtSignal);
    EXPECT_EQ(killed->terminationStatus(), SIGKILL);

    // Up to the limit is fine; one byte more is an error, and a runaway writer is stopped
    // at once rather than at the exit timeout.
    auto limits = collectionLimits(5s, 1s);
    limits.maximumOutput = 1000;
    auto exact = Process::make();
    exact->executablePath = "/usr/bin/head";
    exact->arguments = {"-c", "1000", "/dev/zero"};
    run = collect(exact, limits);
    ASSERT_FALSE(run.failed());
    EXPECT_EQ(run.collected().data.size(), 1000u);
    auto over = Process::make();
    over->executablePath = "/usr/bin/head";
    over->arguments = {"-c", "1001", "/dev/zero"};
    run = collect(over, limits);
    ASSERT_TRUE(run.failed());
    EXPECT_EQ(std::get<platform::Error>(run.result).description,
              "The output of “/usr/bin/head” passed 1000 bytes: File too large");
    auto runaway = Process::make();
    runaway->executablePath = "/usr/bin/yes";
    run = collect(runaway, limits);
    ASSERT_TRUE(run.failed());
    EXPECT_LT(run.took, 2s);
    EXPECT_FALSE(runaway->isRunning());
    EXPECT_TRUE(reaped(runaway->processIdentifier()));

    // Once only, and the output pipe is its own.
    EXPECT_TRUE(collect(exact, limits).failed());
    auto piped = shell("true");
    piped->standardOutput = std::make_shared<Pipe>();
    EXPECT_TRUE(collect(piped, limits).failed());
    EXPECT_EQ(piped->processIdentifier(), 0);
}

TEST(Process, CollectedRunGivesUpOnOutputADescendantKeepsOpen) {
    testsupport::TemporaryDirectory directory;
    const std::string pidFile = directory.path() + "/sleep.pid";
    auto process = shell("echo a; sleep 5 & echo $! > " + pidFile);
    const auto run = collect(process, collectionLimits(3s, 300ms));
    ::kill(readPid(pidFile), SIGKILL);
    ASSERT_FALSE(run.failed());
    EXPECT_EQ(run.collected().ending, Ending::outputTimedOut);
    EXPECT_EQ(run.collected().data, "a\n");
    EXPECT_GE(run.took, 300ms);
    EXPECT_LT(run.took, 1500ms);
    EXPECT_FALSE(process->isRunning());
    EXPECT_EQ(process->terminationStatus(), 0);
    EXPECT_TRUE(reaped(process->processIdentifier()));
}

TEST(Process, CollectedRunStopsAChildThatDoesNotExit) {
    // 300 ms for the exit, then 200 ms for each step.
    const auto limits = collectionLimits(300ms, 5s, 200ms);
    auto hanging = shell("echo ready; exec sleep 30");
    auto run = collect(hanging, limits);
    ASSERT_FALSE(run.failed());
    EXPECT_EQ(run.collected().ending, Ending::exitTimedOut);
    EXPECT_EQ(run.collected().data, "ready\n");
    EXPECT_GE(run.took, 300ms);
    EXPECT_LT(run.took, 300ms + 200ms + 400ms);  // SIGTERM ends it within the first grace
    EXPECT_EQ(hanging->terminationReason(), Process::TerminationReason::uncaughtSignal);
    EXPECT_EQ(hanging->terminationStatus(), SIGTERM);
    EXPECT_TRUE(reaped(hanging->processIdentifier()));

    // SIGTERM ignored (through exec too): SIGKILL after the termination grace.
    auto stubborn = shell("trap '' TERM; echo ready; exec sleep 30");
    run = collect(stubborn, limits);
    ASSERT_FALSE(run.failed());
    EXPECT_EQ(run.collected().ending, Ending::exitTimedOut);
    EXPECT_EQ(run.collected().data, "ready\n");
    EXPECT_GE(run.took, 300ms + 200ms);
    EXPECT_LT(run.took, 300ms + 200ms + 200ms + 400ms);
    EXPECT_EQ(stubborn->terminationStatus(), SIGKILL);
    EXPECT_TRUE(reaped(stubborn->processIdentifier()));

    // A descendant that ignores SIGTERM as well keeps the output open after the kill:
    // the drain grace bounds that wait.
    testsupport::TemporaryDirectory directory;
    const std::string pidFile = directory.path() + "/sleep.pid";
    auto holding = shell("trap '' TERM; sleep 5 & echo $! > " + pidFile + "; wait");
    run = collect(holding, limits);
    ::kill(readPid(pidFile), SIGKILL);
    ASSERT_FALSE(run.failed());
    EXPECT_EQ(run.collected().ending, Ending::exitTimedOut);
    EXPECT_GE(run.took, 300ms + 200ms + 200ms);  // the kill wait ends at the exit
    EXPECT_LT(run.took, 300ms + 200ms + 200ms + 200ms + 400ms);
    EXPECT_EQ(holding->terminationStatus(), SIGKILL);
    EXPECT_TRUE(reaped(holding->processIdentifier()));
}

namespace {

// Summed over every thread of this process.
long voluntarySwitches() {
    long total = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream status(task.path() / "status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) total += std::stol(line.substr(line.find(':') + 1));
    }
    return total;
}

}  // namespace

TEST(Process, AShortCollectedRunSleepsTwice) {
    // In the whole process: once while the child starts (it shares our memory until
    // exec) and once for its exit, with the output waiting in the pipe. No hand-over to
    // another thread, no wake-up for the output alone. Counted over many runs, so that a rare extra sleep
    // (a page fault waiting for I/O, a contended lock) does not decide.
    constexpr int runs = 40;
    for (int warmUp = 0; warmUp < 3; ++warmUp) ASSERT_FALSE(collect(shell("echo x"), collectionLimits(5s, 1s)).failed());
    const long before = voluntarySwitches();
    ASSERT_GE(before, 0);
    for (int i = 0; i < runs; ++i) {
        auto process = Process::make();
        process->executablePath = "/bin/echo";
        process->arguments = {"some output"};
        auto result = collect(process, collectionLimits(5s, 1s));
        ASSERT_FALSE(result.failed());
        ASSERT_EQ(result.collected().data, "some output\n");
    }
    const double perRun = static_cast<double>(voluntarySwitches() - before) / runs;
    EXPECT_LE(perRun, 2.5) << perRun << " sleeps a run";
}

TEST(Process, CollectedRunLaunchFailuresAreRunsErrors) {
    testsupport::TemporaryDirectory directory;
    const auto launchError = [](const std::string& path, std::optional<std::string> workingDirectory) {
        auto plain = Process::make();
        plain->executablePath = path;
        plain->currentDirectoryPath = workingDirectory;
        auto collected = Process::make();
        collected->executablePath = path;
        collected->currentDirectoryPath = workingDirectory;
        const auto expected = plain->run();
        auto result = collected->runCollectingOutput(collectionLimits(1s, 1s));
        EXPECT_FALSE(collected->isRunning());
        EXPECT_EQ(collected->processIdentifier(), 0);
        EXPECT_TRUE(expected.has_value());
        const auto* error = std::get_if<platform::Error>(&result);
        return std::make_pair(expected, error ? std::optional(*error) : std::nullopt);
    };
    auto [runError, collectedError] = launchError(directory.path() + "/no-such-tool", std::nullopt);
    ASSERT_TRUE(collectedError);
    EXPECT_EQ(collectedError->description, "The file “no-such-tool” doesn’t exist.");
    EXPECT_EQ(collectedError, runError);
    std::tie(runError, collectedError) = launchError("/bin/true", directory.path() + "/absent");
    ASSERT_TRUE(collectedError);
    EXPECT_EQ(collectedError, runError);
}

TEST(Process, CollectedRunsStartNoThreadAndLeaveNoZombieOrDescriptor) {
    // No warm-up run: a collected run needs no thread, not even a spawner's.
    testsupport::TemporaryDirectory directory;
    const std::string fifo = makeFifo(directory);

    // Counted while the child runs, from another thread: the run's own is busy in it.
    std::promise<void> go;
    std::optional<TimedRun> blocked;
    std::thread runner([&] {
        go.get_future().wait();
        blocked = collect(shell("read x < " + fifo + "; echo done"), collectionLimits(10s, 1s));
    });
    const size_t threads = threadCount();
    const size_t descriptors = descriptorCount();
    go.set_value();
    const int writer = ::open(fifo.c_str(), O_WRONLY);  // returns once the child has opened it
    ASSERT_GE(writer, 0);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(threadCount(), threads);
    EXPECT_EQ(::write(writer, "\n", 1), 1);
    ::close(writer);
    runner.join();
    ASSERT_TRUE(blocked && !blocked->failed());
    EXPECT_EQ(blocked->collected().data, "done\n");
    const size_t threadsAfter = threadCount();

    // Every way of ending, again and again.
    std::vector<pid_t> pids;
    for (int round = 0; round < 8; ++round) {
        for (const char* script : {"echo x", "exit 4", "echo x; sleep 1 &", "exec sleep 5", "trap '' TERM; exec sleep 5"}) {
            auto process = shell(script);
            ASSERT_FALSE(collect(process, collectionLimits(100ms, 30ms, 30ms)).failed()) << script;
            pids.push_back(process->processIdentifier());
        }
    }
    for (pid_t pid : pids) EXPECT_TRUE(reaped(pid)) << pid;
    EXPECT_TRUE(eventually([&] { return descriptorCount() == descriptors; }, 2s))
        << descriptorCount() << " descriptors, " << descriptors << " before";
    // A child that SIGKILL did not end within its grace gets a reaper thread, which ends
    // with it (under load that happens).
    EXPECT_TRUE(eventually([&] { return threadCount() == threadsAfter; }, 5s)) << threadCount();
}
