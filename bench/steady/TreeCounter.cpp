// Runs a command under two inherited kernel counters (context switches and CPU time), so
// the figures include every descendant, also the short-lived ones reaped long ago.
//   tree_counter READINGS_FILE COMMAND [ARGS...]
// Each SIGUSR1 appends "context-switches cpu-ns" for the whole tree to READINGS_FILE;
// SIGTERM is passed on to the command, whose exit ends the counter.
#include <linux/perf_event.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

int openCounter(pid_t pid, uint64_t config) {
    perf_event_attr attr{};
    attr.size = sizeof attr;
    attr.type = PERF_TYPE_SOFTWARE;
    attr.config = config;
    attr.inherit = 1;  // children, also those that have exited, are counted
    attr.read_format = 0;
    return static_cast<int>(syscall(SYS_perf_event_open, &attr, pid, -1, -1, 0));
}

uint64_t readCounter(int fd) {
    uint64_t value = 0;
    if (read(fd, &value, sizeof value) != static_cast<ssize_t>(sizeof value)) return 0;
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s READINGS_FILE COMMAND [ARGS...]\n", argv[0]);
        return 2;
    }
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGUSR1);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGCHLD);
    sigprocmask(SIG_BLOCK, &signals, nullptr);

    int go[2];
    if (pipe(go) != 0) return 1;
    const pid_t child = fork();
    if (child == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        close(go[1]);
        char byte;
        if (read(go[0], &byte, 1) != 1) _exit(127);
        close(go[0]);
        execvp(argv[2], argv + 2);
        _exit(127);
    }
    close(go[0]);
    const int switches = openCounter(child, PERF_COUNT_SW_CONTEXT_SWITCHES);
    const int clock = openCounter(child, PERF_COUNT_SW_TASK_CLOCK);
    if (switches < 0 || clock < 0) {
        std::perror("perf_event_open");
        kill(child, SIGKILL);
        return 1;
    }
    if (write(go[1], "g", 1) != 1) return 1;
    close(go[1]);

    for (;;) {
        int received = 0;
        sigwait(&signals, &received);
        if (received == SIGUSR1) {
            if (FILE* out = std::fopen(argv[1], "a")) {
                std::fprintf(out, "%llu %llu\n", static_cast<unsigned long long>(readCounter(switches)),
                             static_cast<unsigned long long>(readCounter(clock)));
                std::fclose(out);
            }
        } else if (received == SIGTERM) {
            kill(child, SIGTERM);
        } else if (received == SIGCHLD) {
            int status = 0;
            if (waitpid(child, &status, WNOHANG) == child) return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
        }
    }
}
