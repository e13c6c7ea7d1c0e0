// The built tidemark-nettop, run as the sampler runs it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <thread>
#include <sstream>

#include "TcpSocketCounters.h"
#include "support/PrivateNetwork.h"
#include "support/TestSupport.h"

extern char** environ;
namespace fs = std::filesystem;

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

// How the kernel names one of this process's sockets.
SocketKey keyOf(int fd) {
    SocketKey key;
    struct stat status{};
    EXPECT_EQ(::fstat(fd, &status), 0);
    key.inode = status.st_ino;
    uint64_t cookie = 0;
    socklen_t length = sizeof cookie;
    EXPECT_EQ(::getsockopt(fd, SOL_SOCKET, SO_COOKIE, &cookie, &length), 0);
    key.cookie[0] = static_cast<uint32_t>(cookie);
    key.cookie[1] = static_cast<uint32_t>(cookie >> 32);
    const auto address = [&](auto name, uint16_t& port, uint32_t (&words)[4]) {
        sockaddr_storage storage{};
        socklen_t size = sizeof storage;
        if (name(fd, reinterpret_cast<sockaddr*>(&storage), &size) != 0) return;  // a listener has no peer
        key.family = static_cast<uint8_t>(storage.ss_family);
        if (storage.ss_family == AF_INET) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(&storage);
            port = in->sin_port;
            words[0] = in->sin_addr.s_addr;
        } else {
            const auto* in = reinterpret_cast<const sockaddr_in6*>(&storage);
            port = in->sin6_port;
            std::memcpy(words, &in->sin6_addr, sizeof words);
        }
    };
    address(::getpeername, key.destinationPort, key.destination);
    address(::getsockname, key.sourcePort, key.source);
    return key;
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

TEST(NettopTool, LoopbackConnectionsAreNotNetworkTraffic) {
    testsupport::TemporaryDirectory runtime;
    testsupport::ScopedEnvironment runtimeDirectory("XDG_RUNTIME_DIR", runtime.path().c_str());
    Connection v4(AF_INET), v6(AF_INET6);
    ASSERT_TRUE(v4.ok());
    transfer(v4.client, v4.server, 70'000);
    if (v6.ok()) transfer(v6.client, v6.server, 1'000);
    const auto run = runTool(arguments);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.substr(0, 21), ",bytes_in,bytes_out,\n");
    EXPECT_FALSE(ownCounts(run.out)) << run.out;
}

TEST(NettopSockets, AListenerIsReadButASocketThatIsOnlyBoundIsNot) {
    const auto wildcardSocket = [](bool listen) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        if (listen) {
            EXPECT_EQ(::listen(fd, 1), 0);
        }
        return fd;
    };
    const auto inode = [](int fd) {
        struct stat status{};
        EXPECT_EQ(::fstat(fd, &status), 0);
        return static_cast<uint64_t>(status.st_ino);
    };
    const int listener = wildcardSocket(true), boundOnly = wildcardSocket(false);
    const auto sockets = readTcpSocketCounters();
    ASSERT_TRUE(sockets);
    const auto found = sockets->find(inode(listener));
    ASSERT_NE(found, sockets->end());
    EXPECT_EQ(found->second.uid, ::geteuid());
    EXPECT_EQ(found->second.bytesReceived + found->second.bytesAcked, 0U);
    EXPECT_FALSE(sockets->contains(inode(boundOnly)));
    ::close(listener);
    ::close(boundOnly);
}

TEST(NettopSockets, AKeyFindsItsOwnSocketAloneWhileItIsOpen) {
    // More connections than one batch of requests, both families, and a listener.
    std::vector<std::unique_ptr<Connection>> connections;
    std::vector<SocketKey> keys;
    for (int i = 0; i < 24; ++i) {
        const int family = i % 2 == 0 ? AF_INET : AF_INET6;
        auto connection = std::make_unique<Connection>(family);
        if (family == AF_INET6 && !connection->ok()) continue;  // no IPv6 here
        ASSERT_TRUE(connection->ok());
        keys.push_back(keyOf(connection->client));
        keys.push_back(keyOf(connection->server));
        connections.push_back(std::move(connection));
    }
    keys.push_back(keyOf(connections[0]->listener));
    std::sort(keys.begin(), keys.end(), [](const SocketKey& a, const SocketKey& b) { return a.inode < b.inode; });
    const auto serverKey = keyOf(connections[0]->server);
    transfer(connections[0]->client, connections[0]->server, 5000);

    auto found = lookUpTcpSockets(keys);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->size(), keys.size());
    for (const SocketKey& key : keys) {
        ASSERT_TRUE(found->contains(key.inode));
        EXPECT_EQ(found->at(key.inode).key, key) << "the answer names the socket asked for";
        EXPECT_EQ(found->at(key.inode).uid, ::geteuid());
    }
    EXPECT_EQ(found->at(serverKey.inode).bytesReceived, 5000U);
    transfer(connections[0]->client, connections[0]->server, 3000);
    found = lookUpTcpSockets(std::span(&serverKey, 1));
    ASSERT_TRUE(found);
    EXPECT_EQ(found->at(serverKey.inode).bytesReceived, 8000U) << "counts as they are now";

    // Another socket's cookie, a port nobody uses, and a connection closed on both ends
    // (one of them now in TIME_WAIT) find nothing.
    SocketKey otherCookie = serverKey;
    otherCookie.cookie[0] ^= 1;
    SocketKey nobody = serverKey;
    nobody.destinationPort ^= 0x0100;
    const SocketKey closedClient = keyOf(connections[1]->client), closedServer = keyOf(connections[1]->server);
    connections[1].reset();
    for (const auto& key : {otherCookie, nobody, closedClient, closedServer}) {
        found = lookUpTcpSockets(std::span(&key, 1));
        ASSERT_TRUE(found);
        EXPECT_TRUE(found->empty());
    }
    found = lookUpTcpSockets(keys);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->size(), keys.size() - 2);
    EXPECT_FALSE(found->contains(closedClient.inode) || found->contains(closedServer.inode));
    EXPECT_TRUE(lookUpTcpSockets({}) && lookUpTcpSockets({})->empty());
}

TEST(NettopSockets, EveryConnectionOpenedEitherWayMovesTheCount) {
    const auto before = readConnectionsOpened();
    ASSERT_TRUE(before);
    {
        Connection connection(AF_INET);  // one active open and one passive
        ASSERT_TRUE(connection.ok());
    }
    const auto after = readConnectionsOpened();
    ASSERT_TRUE(after);
    EXPECT_EQ(after->network, before->network);
    EXPECT_GE(after->count, before->count + 2);

    // A file this reader does not understand is no answer.
    testsupport::TemporaryDirectory root;
    fs::create_directories(root.path() + "/self/ns");
    fs::create_directories(root.path() + "/self/net");
    std::ofstream(root.path() + "/self/ns/net") << "";
    const auto withSnmp = [&](const std::string& text) {
        std::ofstream(root.path() + "/self/net/snmp", std::ios::trunc) << text;
        return readConnectionsOpened(root.path());
    };
    const std::string names = "Tcp: RtoAlgorithm ActiveOpens PassiveOpens CurrEstab\n";
    const auto read = withSnmp("Ip: Forwarding\nIp: 1\n" + names + "Tcp: 1 30 12 4\nUdp: InDatagrams\nUdp: 5\n");
    ASSERT_TRUE(read);
    EXPECT_EQ(read->count, 42U);
    for (const std::string& text : {names, names + "Tcp: 1 30 12\n", names + "Tcp: 1 30 x 4\n",
                                    std::string("Tcp: RtoAlgorithm ActiveOpens\nTcp: 1 30\n"), std::string()})
        EXPECT_FALSE(withSnmp(text)) << text;
}

// Traffic over a veth pair into a namespace of the test's own (198.18.0.0/15).
TEST(NettopTool, CountsOverARealLinkStayWhenConnectionsCloseAndRunsMayOverlap) {
    std::string whyNot;
    const auto network = testsupport::PrivateNetwork::create(whyNot);
    if (!network) GTEST_SKIP() << "no private network namespace: " << whyNot;
    testsupport::TemporaryDirectory runtime;
    testsupport::ScopedEnvironment runtimeDirectory("XDG_RUNTIME_DIR", runtime.path().c_str());
    const std::string port = std::to_string(30000 + ::getpid() % 10000);
    constexpr size_t bytes = 300'000;
    // The sender, in the namespace: two connections of 300,000 bytes, one after the other.
    const std::vector<std::string> serve = network->inside({testsupport::testBinDirectory() +
                                                                "/tidemark-process-load-helper",
                                                            "serve", network->insideAddress(), port,
                                                            std::to_string(bytes), "2", "0"});
    std::vector<char*> argv;
    for (const auto& part : serve) argv.push_back(const_cast<char*>(part.c_str()));
    argv.push_back(nullptr);
    pid_t sender = -1;
    ASSERT_EQ(posix_spawnp(&sender, argv[0], nullptr, nullptr, argv.data(), environ), 0);

    const auto download = [&] {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(std::stoi(port)));
        inet_pton(AF_INET, network->insideAddress().c_str(), &address.sin_addr);
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool connected = false;
        for (int attempt = 0; attempt < 100 && !connected; ++attempt) {
            connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
            if (!connected) ::usleep(50'000);
        }
        EXPECT_TRUE(connected);
        std::vector<char> buffer(65536);
        size_t got = 0;
        for (ssize_t n; got < bytes && (n = ::read(fd, buffer.data(), buffer.size())) > 0;) got += static_cast<size_t>(n);
        EXPECT_EQ(got, bytes);
        return fd;
    };

    const int first = download();
    const auto open = runTool(arguments);
    ASSERT_EQ(open.status, 0) << open.err;
    const auto whileOpen = ownCounts(open.out);
    ASSERT_TRUE(whileOpen) << open.out;
    // The sender's FIN counts as one byte received once it has closed its side.
    const auto near = [](uint64_t value, uint64_t expected, uint64_t fins) {
        return value >= expected && value <= expected + fins;
    };
    EXPECT_PRED3(near, whileOpen->first, bytes, 1);

    ::close(first);  // its bytes stay with this process
    const auto closed = ownCounts(runTool(arguments).out);
    ASSERT_TRUE(closed) << "still listed with no socket open";
    EXPECT_PRED3(near, closed->first, bytes, 1);
    EXPECT_GE(closed->second, whileOpen->second);

    const int second = download();
    // Two runs at once take turns on the state file; both print the sum.
    testsupport::ProgramRun a, b;
    std::thread other([&] { a = runTool(arguments); });
    b = runTool(arguments);
    other.join();
    for (const testsupport::ProgramRun* run : {&a, &b}) {
        ASSERT_EQ(run->status, 0) << run->err;
        const auto counts = ownCounts(run->out);
        ASSERT_TRUE(counts) << run->out;
        EXPECT_PRED3(near, counts->first, 2 * bytes, 2);
    }
    ::close(second);
    const auto last = ownCounts(runTool(arguments).out);
    ASSERT_TRUE(last);
    EXPECT_PRED3(near, last->first, 2 * bytes, 2);

    // Without a runtime directory there is no state: only open sockets count.
    testsupport::ScopedEnvironment noRuntime("XDG_RUNTIME_DIR", nullptr);
    EXPECT_FALSE(ownCounts(runTool(arguments).out));
    int status = 0;
    ::waitpid(sender, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
