#pragma once
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/Error.h"

namespace platform {

class FileHandle {
public:
    explicit FileHandle(int fd, bool closeOnDestruction = true);
    ~FileHandle();
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    int fileDescriptor() const;
    // Waits until some data can be read and returns it; empty at end of file.
    std::string availableData();
    std::string readDataToEndOfFile();
    void write(std::string_view data);
    void closeFile();
    // Called on a thread of its own each time data can be read (and once at end of
    // file, when availableData() returns empty). An empty function removes the handler
    // and waits for a call in progress, unless made from within the handler.
    void setReadabilityHandler(std::function<void(FileHandle&)> handler);

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

class Pipe {
public:
    Pipe();
    // Ends given by the caller, for example the null device (see nullDevice()).
    Pipe(std::shared_ptr<FileHandle> reading, std::shared_ptr<FileHandle> writing)
        : reading_(std::move(reading)), writing_(std::move(writing)) {}
    std::shared_ptr<FileHandle> fileHandleForReading() const { return reading_; }
    std::shared_ptr<FileHandle> fileHandleForWriting() const { return writing_; }

private:
    std::shared_ptr<FileHandle> reading_;
    std::shared_ptr<FileHandle> writing_;
};

// A child process, started from one long-lived spawner thread (by runCollectingOutput,
// from the calling thread, which waits for it anyway). The child runs in a
// session of its own, so a terminal's Ctrl-C reaches only this process, which stops its
// children itself; unless detached, the child receives SIGTERM when this process dies,
// however it dies. Its standard input is /dev/null and it inherits no other descriptor
// than its standard output and error.
class Process : public std::enable_shared_from_this<Process> {
public:
    enum class TerminationReason { exit, uncaughtSignal };

    static std::shared_ptr<Process> make();
    ~Process();

    std::string executablePath;
    std::vector<std::string> arguments;
    // Absent: the child inherits this process's environment.
    std::optional<std::map<std::string, std::string>> environment;
    std::optional<std::string> currentDirectoryPath;
    // Absent: inherited from this process. The same pipe may serve both.
    std::shared_ptr<Pipe> standardOutput;
    std::shared_ptr<Pipe> standardError;
    // A detached child (a browser launcher) outlives this process: no parent-death
    // signal. It is still reaped while this process runs.
    bool detached = false;

    // Runs on a thread of the platform's (never the main thread) after the child exits.
    void setTerminationHandler(std::function<void(Process&)> handler);

    std::optional<Error> run();

    struct CollectionLimits {
        std::chrono::milliseconds exitTimeout{3000};
        // After an exit in time: how long a descendant may keep the output open.
        std::chrono::milliseconds outputTimeout{1000};
        // A child still running at exitTimeout gets SIGTERM, then SIGKILL once the
        // termination grace has passed; then the output gets the drain grace to end.
        std::chrono::milliseconds terminationGrace{250};
        std::chrono::milliseconds killGrace{250};
        std::chrono::milliseconds drainGrace{250};
        size_t maximumOutput = 16 * 1024 * 1024;
    };
    struct CollectedOutput {
        enum class Ending {
            complete,        // exited in time and its output ended in time
            outputTimedOut,  // exited in time, but something kept its output open
            exitTimedOut,    // stopped with signals
        } ending = Ending::complete;
        std::string data;  // what was read, also when the run timed out
    };
    // Runs a short-lived child to its end on the calling thread and hands nothing to
    // another thread: it starts the child, and one poll waits for its output and exit.
    // standardOutput must be absent.
    // The termination status is set once the child is reaped; no termination handler
    // runs. An error when the launch fails (as from run()) or the output passes
    // maximumOutput (the child is then stopped like one that did not exit).
    std::variant<CollectedOutput, Error> runCollectingOutput(const CollectionLimits& limits);
    void terminate();  // SIGTERM
    // Sends a signal only while the child is not yet reaped, so a reused pid is never
    // hit. False when the child is gone or the signal could not be sent.
    bool sendSignal(int signalNumber);
    bool isRunning() const;
    int processIdentifier() const;
    // The exit code, or the signal number after an uncaught signal.
    int terminationStatus() const;
    TerminationReason terminationReason() const;
    void waitUntilExit();
    // True when the child exited within the timeout.
    bool waitUntilExit(std::chrono::milliseconds timeout);

    struct Impl;

private:
    Process();
    // Spawns the child; its standard output goes to `output` when that is not -1. From
    // the calling thread only when that thread outlives the child.
    std::optional<Error> launch(int output, bool fromCallingThread);
    // Reaps the child on a thread of its own, which keeps the object alive until then.
    void reapOnItsOwnThread(bool callHandler);
    std::shared_ptr<Impl> impl_;
};

}  // namespace platform
