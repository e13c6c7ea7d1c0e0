// The built tidemark-nettop, run as the sampler runs it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <sstream>

#include "support/TestSupport.h"

namespace {

testsupport::ProgramRun runTool(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{testsupport::binDirectory() + "/tidemark-nettop"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return testsupport::runProgram(argv);
}

const std::vector<std::string> arguments = {"-P", "-L", "1", "-x", "-J", "bytes_in,bytes_out"};

// A connected pair of loopback TCP sockets in this process.
struct Connection {
    int listener = -1, client = -1, server = -1;
    explicit Connection(int family) {
        listener = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_storage storage{};
        socklen_t length;
        if (family == AF_INET) {
            auto* address = reinterpret_cast<sockaddr_in*>(&storage);
            address->sin_family = AF_INET;
            address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            length = sizeof *address;
        } else {
            auto* address = reinterpret_cast<sockaddr_in6*>(&storage);
            address->sin6_family = AF_INET6;
            address->sin6_addr = in6addr_loopback;
            length = sizeof *address;
        }
        if (::bind(listener, reinterpret_cast<sockaddr*>(&storage), length) != 0) return;
        ::listen(listener, 1);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&storage), &length);
        client = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(client, reinterpret_cast<sockaddr*>(&storage), length) != 0) return;
        server = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    }
    ~Connection() {
        for (int fd : {listener, client, server})
            if (fd >= 0) ::close(fd);
    }
    bool ok() const { return server >= 0; }
};

void transfer(int from, int to, size_t bytes) {
    std::vector<char> buffer(bytes, 'x');
    ASSERT_EQ(::write(from, buffer.data(), bytes), static_cast<ssize_t>(bytes));
    for (size_t got = 0; got < bytes;) {
        const ssize_t n = ::read(to, buffer.data(), buffer.size());
        ASSERT_GT(n, 0);
        got += static_cast<size_t>(n);
    }
}

// This process's line, split into received and sent.
std::optional<std::pair<uint64_t, uint64_t>> ownCounts(const std::string& out) {
    const std::regex line("^[^,\\n]*\\." + std::to_string(::getpid()) + ",([0-9]+),([0-9]+),$");
    std::istringstream lines(out);
    for (std::string text; std::getline(lines, text);) {
        std::smatch match;
        if (std::regex_match(text, match, line)) return std::make_pair(std::stoull(match[1]), std::stoull(match[2]));
    }
    return std::nullopt;
}

}  // namespace

TEST(NettopTool, AnythingButTheExactArgumentsIsAUsageError) {
    const std::vector<std::vector<std::string>> wrong = {
        {}, {"-P"}, {"-P", "-L", "1", "-x", "-J", "bytes_in"}, {"-L", "-P", "1", "-x", "-J", "bytes_in,bytes_out"},
        {"-P", "-L", "1", "-x", "-J", "bytes_in,bytes_out", "extra"}, {"-P", "-L", "2", "-x", "-J", "bytes_in,bytes_out"}};
    for (const auto& argumentList : wrong) {
        const auto run = runTool(argumentList);
        EXPECT_EQ(run.status, 64);
        EXPECT_TRUE(run.out.empty());
        EXPECT_EQ(run.err, "usage: tidemark-nettop -P -L 1 -x -J bytes_in,bytes_out\n");
    }
}

TEST(NettopTool, PrintsTheHeaderThenOneLinePerProcessWithTcpSockets) {
    const auto idle = runTool(arguments);
    ASSERT_EQ(idle.status, 0) << idle.err;
    EXPECT_EQ(idle.out.substr(0, 21), ",bytes_in,bytes_out,\n");
    EXPECT_FALSE(ownCounts(idle.out)) << "no TCP socket yet";

    Connection v4(AF_INET), v6(AF_INET6);
    ASSERT_TRUE(v4.ok());
    transfer(v4.client, v4.server, 70'000);  // both ends are ours: received and sent
    transfer(v4.server, v4.client, 5'000);
    const int duplicate = ::dup(v4.client);  // counted once however many descriptors
    if (v6.ok()) transfer(v6.client, v6.server, 1'000);
    const uint64_t expected = 75'000 + (v6.ok() ? 1'000 : 0);

    const auto busy = runTool(arguments);
    ASSERT_EQ(busy.status, 0);
    const std::regex format("^[^,\\n]*\\.[0-9]+,[0-9]+,[0-9]+,$");
    std::istringstream lines(busy.out);
    std::string text;
    std::getline(lines, text);
    EXPECT_EQ(text, ",bytes_in,bytes_out,");
    std::vector<int> pids;
    while (std::getline(lines, text)) {
        EXPECT_TRUE(std::regex_match(text, format)) << text;
        pids.push_back(std::stoi(text.substr(text.rfind('.', text.find(',')) + 1)));
    }
    EXPECT_TRUE(std::is_sorted(pids.begin(), pids.end()));
    const auto counts = ownCounts(busy.out);
    ASSERT_TRUE(counts) << busy.out;
    EXPECT_EQ(counts->first, expected);
    // Acknowledged bytes, plus one for each connection's SYN on the connecting side.
    EXPECT_GE(counts->second, expected);
    EXPECT_LE(counts->second, expected + 2);
    ::close(duplicate);
}
