// A child that puts a known load on the machine for the live-system tests:
//   burn                          spins on one processor until killed
//   write <path> <bytes>          creates <path>.ready, then on SIGUSR1 writes and syncs the
//                                 bytes and creates <path>.done
//   tcp <port> <up> <down>        connects to 127.0.0.1:<port>, waits for one byte, sends <up>
//                                 bytes, reads <down> bytes, then keeps the connection open
//   touch <MiB>                   allocates and writes <MiB> MiB, prints "ready", then waits
//   serve <address> <port> <bytes> <count> <ms per 64 KiB>
//                                 accepts <count> connections one after another on an IPv4
//                                 address, sends <bytes> to each at the pace given and
//                                 closes it, then exits
//   download <address> <port> <count> <pause ms>
//                                 makes <count> connections one after another, reads each to
//                                 its end, pauses between them, prints the total, then waits
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int burn() {
    volatile unsigned long counter = 0;
    for (;;) counter = counter + 1;
}

int write(const char* path, size_t bytes) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    const std::string ready = std::string(path) + ".ready";
    ::close(::open(ready.c_str(), O_WRONLY | O_CREAT, 0600));
    int signal = 0;
    sigwait(&set, &signal);
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return 2;
    std::vector<char> block(64 * 1024, 'w');
    for (size_t written = 0; written < bytes;) {
        const size_t n = std::min(block.size(), bytes - written);
        if (::write(fd, block.data(), n) != static_cast<ssize_t>(n)) return 3;
        written += n;
    }
    if (::fsync(fd) != 0) return 4;
    ::close(fd);
    const std::string done = std::string(path) + ".done";
    ::close(::open(done.c_str(), O_WRONLY | O_CREAT, 0600));
    for (;;) ::pause();
}

int tcp(int port, size_t up, size_t down) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 2;
    char go = 0;
    if (::read(fd, &go, 1) != 1) return 3;
    std::vector<char> buffer(64 * 1024, 'u');
    for (size_t sent = 0; sent < up;) {
        const ssize_t n = ::write(fd, buffer.data(), std::min(buffer.size(), up - sent));
        if (n <= 0) return 4;
        sent += static_cast<size_t>(n);
    }
    for (size_t got = 0; got < down;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n <= 0) return 5;
        got += static_cast<size_t>(n);
    }
    for (;;) ::pause();
}

int touch(size_t mebibytes) {
    const size_t bytes = mebibytes << 20;
    auto* memory = static_cast<volatile char*>(std::malloc(bytes));
    if (!memory) return 2;
    for (size_t i = 0; i < bytes; i += 4096) memory[i] = static_cast<char>(i >> 12);
    std::puts("ready");
    std::fflush(stdout);
    for (;;) ::pause();
}

sockaddr_in ipv4(const char* address, int port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, address, &result.sin_addr);
    return result;
}

int serve(const char* address, int port, size_t bytes, int count, int paceMs) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in local = ipv4(address, port);
    if (::bind(listener, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return 2;
    if (::listen(listener, 4) != 0) return 3;
    std::puts("listening");
    std::fflush(stdout);
    std::vector<char> block(64 * 1024, 's');
    for (int i = 0; i < count; ++i) {
        const int connection = ::accept(listener, nullptr, nullptr);
        if (connection < 0) return 4;
        for (size_t sent = 0; sent < bytes;) {
            const ssize_t n = ::write(connection, block.data(), std::min(block.size(), bytes - sent));
            if (n <= 0) return 5;
            sent += static_cast<size_t>(n);
            ::usleep(static_cast<useconds_t>(paceMs) * 1000);
        }
        ::close(connection);
    }
    return 0;
}

int download(const char* address, int port, int count, int pauseMs) {
    std::vector<char> buffer(64 * 1024);
    size_t total = 0;
    for (int i = 0; i < count; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in remote = ipv4(address, port);
        bool connected = false;
        for (int attempt = 0; attempt < 100 && !connected; ++attempt) {
            connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0;
            if (!connected) ::usleep(50'000);
        }
        if (!connected) return 2;
        for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;) total += static_cast<size_t>(n);
        ::close(fd);
        ::usleep(static_cast<useconds_t>(pauseMs) * 1000);
    }
    std::printf("%zu\n", total);
    std::fflush(stdout);
    for (;;) ::pause();
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "burn") return burn();
    if (mode == "write" && argc == 4) return write(argv[2], std::strtoull(argv[3], nullptr, 10));
    if (mode == "tcp" && argc == 5)
        return tcp(std::atoi(argv[2]), std::strtoull(argv[3], nullptr, 10), std::strtoull(argv[4], nullptr, 10));
    if (mode == "touch" && argc == 3) return touch(std::strtoull(argv[2], nullptr, 10));
    if (mode == "serve" && argc == 7)
        return serve(argv[2], std::atoi(argv[3]), std::strtoull(argv[4], nullptr, 10), std::atoi(argv[5]),
                     std::atoi(argv[6]));
    if (mode == "download" && argc == 6) return download(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]));
    return 64;
}
