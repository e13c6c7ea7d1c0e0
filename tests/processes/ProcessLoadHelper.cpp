// A child that puts a known load on the machine for the live-system tests:
//   burn                          spins on one processor until killed
//   write <path> <bytes>          creates <path>.ready, then on SIGUSR1 writes and syncs the
//                                 bytes and creates <path>.done
//   tcp <port> <up> <down>        connects to 127.0.0.1:<port>, waits for one byte, sends <up>
//                                 bytes, reads <down> bytes, then keeps the connection open
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

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

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "burn") return burn();
    if (mode == "write" && argc == 4) return write(argv[2], std::strtoull(argv[3], nullptr, 10));
    if (mode == "tcp" && argc == 5)
        return tcp(std::atoi(argv[2]), std::strtoull(argv[3], nullptr, 10), std::strtoull(argv[4], nullptr, 10));
    return 64;
}
