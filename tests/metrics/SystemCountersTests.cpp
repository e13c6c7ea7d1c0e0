#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <fstream>

#include "metrics/NativeMetricsSampler.h"
#include "platform/SystemCounters.h"
#include "support/TestSupport.h"

namespace {

using Sampler = NativeMetricsSampler;
namespace fs = std::filesystem;

void writeFile(const fs::path& path, const std::string& contents) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << contents;
}

// A directory laid out like /proc and /sys.
struct Fixture {
    testsupport::TemporaryDirectory directory;
    platform::SystemCounterSource source;

    Fixture() {
        source.procRoot = directory.path() + "/proc";
        source.sysRoot = directory.path() + "/sys";
        source.homeDirectory = directory.path();
        source.physicalMemory = 16ull << 30;
    }
    void proc(const std::string& name, const std::string& contents) { writeFile(source.procRoot + "/" + name, contents); }
    void flags(const std::string& interface, const std::string& contents) {
        writeFile(source.sysRoot + "/class/net/" + interface + "/flags", contents);
    }
};

const char* netDevHeader =
    "Inter-|   Receive                                                |  Transmit\n"
    " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs drop fifo colls carrier "
    "compressed\n";

std::string netDevLine(const std::string& name, uint64_t received, uint64_t transmitted) {
    return "  " + name + ": " + std::to_string(received) + " 10 0 0 0 0 0 0 " + std::to_string(transmitted) +
           " 20 0 0 0 0 0 0\n";
}

TEST(SystemCounters, CPUFromProcStat) {
    Fixture fixture;
    EXPECT_FALSE(Sampler::readCPUCounters(fixture.source)) << "missing file";

    fixture.proc("stat",
                 "cpu  100 7 20 1000 30 3 4 500 60 70\n"
                 "cpu0 1 1 1 1 1 1 1 1 1 1\n"
                 "intr 12345 0 0\n");
    auto counters = Sampler::readCPUCounters(fixture.source);
    ASSERT_TRUE(counters);
    EXPECT_EQ(counters->active, 634u);  // user nice system irq softirq steal
    EXPECT_EQ(counters->idle, 1030u);

    // A kernel with only the first four columns; the aggregate line not first.
    fixture.proc("stat", "cpu0 9 9 9 9\ncpu 1 2 3 4\n");
    counters = Sampler::readCPUCounters(fixture.source);
    ASSERT_TRUE(counters);
    EXPECT_EQ(counters->active, 6u);
    EXPECT_EQ(counters->idle, 4u);

    // 64-bit tick counts survive.
    fixture.proc("stat", "cpu  10000000000 0 0 20000000000\n");
    counters = Sampler::readCPUCounters(fixture.source);
    ASSERT_TRUE(counters);
    EXPECT_EQ(counters->active, 10'000'000'000u);

    for (const char* broken : {"", "cpu  100 7\n", "cpu  100 7 20 x1000\n", "cpu  100 7 20 10x\n", "cpu0 1 2 3 4\n",
                               "cpux 1 2 3 4\n", "cpu  -1 2 3 4\n", "cpu  99999999999999999999999 1 2 3\n"}) {
        fixture.proc("stat", broken);
        EXPECT_FALSE(Sampler::readCPUCounters(fixture.source)) << broken;
    }
}

TEST(SystemCounters, MemoryFromMeminfo) {
    Fixture fixture;
    const uint64_t total = 16ull << 30;
    EXPECT_EQ(Sampler::readMemory(fixture.source), (Sampler::ByteUsage{0, total})) << "missing file";

    fixture.proc("meminfo",
                 "MemTotal:       16318412 kB\n"
                 "MemFree:         1000000 kB\n"
                 "MemAvailable:    8000000 kB\n"
                 "Buffers:          100000 kB\n");
    EXPECT_EQ(Sampler::readMemory(fixture.source), (Sampler::ByteUsage{(16318412ull - 8000000) * 1024, total}));

    // Used is capped by the installed memory.
    fixture.source.physicalMemory = 1024;
    EXPECT_EQ(Sampler::readMemory(fixture.source), (Sampler::ByteUsage{1024, 1024}));
    fixture.source.physicalMemory = total;

    // No MemAvailable (kernels before 3.14), a cut-off value, garbage: used 0, total kept.
    for (const char* broken : {"MemTotal:       16318412 kB\nMemFree:  1 kB\n", "MemTotal:       16318412 kB\nMemAvailable:",
                               "MemTotal: lots kB\nMemAvailable: 1 kB\n", "MemTotal: 1 MB\nMemAvailable: 1 kB\n", ""}) {
        fixture.proc("meminfo", broken);
        EXPECT_EQ(Sampler::readMemory(fixture.source), (Sampler::ByteUsage{0, total})) << broken;
    }
}

TEST(SystemCounters, NetworkSkipsLoopbackByFlag) {
    Fixture fixture;
    auto counters = Sampler::readNetworkCounters(fixture.source);
    EXPECT_EQ(counters.received, 0u) << "missing file";
    EXPECT_EQ(counters.transmitted, 0u);

    const uint64_t big = 6'000'000'000;  // beyond 32 bits
    fixture.proc("net/dev", std::string(netDevHeader) + netDevLine("lo", 111, 111) + netDevLine("eth0", big, 2000) +
                                netDevLine("wg0", 30, 40) + netDevLine("loopy", 555, 555) +
                                netDevLine("lo2", 7, 8) + netDevLine("gone", 900, 900) +
                                "  cut: 1 2 3\n" + "  bad: 1 2 3 4 5 6 7 8 x 1 2 3 4 5 6 7\n");
    fixture.flags("lo", "0x9\n");      // up, loopback
    fixture.flags("eth0", "0x1003\n"); // up, broadcast, multicast
    fixture.flags("wg0", "0x90\n");    // a tunnel that is down: counted
    fixture.flags("loopy", "0x8\n");   // loopback under another name
    fixture.flags("lo2", "0x1002\n");  // a name like loopback, but not one
    fixture.flags("cut", "0x1003\n");
    fixture.flags("bad", "0x1003\n");
    // "gone" has no flags: it vanished between the reads and is left out.
    counters = Sampler::readNetworkCounters(fixture.source);
    EXPECT_EQ(counters.received, big + 30 + 7);
    EXPECT_EQ(counters.transmitted, 2000u + 40 + 8);
    EXPECT_LE(counters.timestamp, Sampler::MonotonicClock::now());

    // Garbled flags count as unknown.
    fixture.flags("eth0", "loopback\n");
    EXPECT_EQ(Sampler::readNetworkCounters(fixture.source).received, 37u);

    // No header: not the kernel's file.
    fixture.proc("net/dev", netDevLine("eth0", 5, 5));
    EXPECT_EQ(Sampler::readNetworkCounters(fixture.source).received, 0u);
    fixture.proc("net/dev", "");
    EXPECT_EQ(Sampler::readNetworkCounters(fixture.source).received, 0u);

    EXPECT_EQ(platform::parseInterfaceFlags("0x1003\n"), 0x1003u);
    EXPECT_EQ(platform::parseInterfaceFlags("9"), 9u);
    EXPECT_FALSE(platform::parseInterfaceFlags(""));
    EXPECT_FALSE(platform::parseInterfaceFlags("0x"));
    EXPECT_FALSE(platform::parseInterfaceFlags("0x10z"));
    // Names that would leave the sysfs directory are refused.
    EXPECT_FALSE(platform::readInterfaceFlags(fixture.source, "../../x"));
}

TEST(SystemCounters, NetworkCountsPhysicalInterfacesOnce) {
    Fixture fixture;
    fixture.proc("net/dev", std::string(netDevHeader) + netDevLine("lo", 111, 111) + netDevLine("enp3s0", 1000, 100) +
                                netDevLine("docker0", 500, 50) + netDevLine("veth9", 500, 50) +
                                netDevLine("tun0", 300, 30) + netDevLine("wlp2s0", 2000, 200));
    // As sysfs lays them out: each interface a link to its device's directory.
    const auto net = [&](const std::string& name) { return fixture.source.sysRoot + "/class/net/" + name; };
    const auto device = [&](const std::string& name, const std::string& where) {
        fs::create_directories(fixture.source.sysRoot + "/devices/" + where);
        fs::create_directories(fixture.source.sysRoot + "/class/net");
        fs::create_directory_symlink("../../devices/" + where, net(name));
    };
    device("enp3s0", "pci0000:00/0000:00:1f.6/net/enp3s0");
    device("wlp2s0", "pci0000:00/0000:00:14.3/net/wlp2s0");
    for (const char* name : {"lo", "docker0", "veth9", "tun0"}) device(name, std::string("virtual/net/") + name);
    for (const char* name : {"lo", "enp3s0", "docker0", "veth9", "tun0", "wlp2s0"}) fixture.flags(name, "0x1003\n");
    fixture.flags("lo", "0x9\n");
    fs::create_directories(net("docker0") + "/bridge");
    writeFile(net("tun0") + "/tun_flags", "0x1002\n");
    writeFile(net("veth9") + "/type", "1\n");
    writeFile(net("veth9") + "/ifindex", "9\n");
    writeFile(net("veth9") + "/iflink", "8\n");
    writeFile(net("veth9") + "/uevent", "INTERFACE=veth9\nIFINDEX=9\n");

    const auto withNics = Sampler::readNetworkCounters(fixture.source);
    EXPECT_EQ(withNics.received, 3000u);
    EXPECT_EQ(withNics.transmitted, 300u);
    ASSERT_EQ(withNics.interfaces.size(), 2u);

    const auto traits = [&](const std::string& name) {
        auto read = platform::readInterfaceTraits(fixture.source, name);
        if (read) platform::readInterfaceKind(fixture.source, name, *read);
        return read;
    };
    EXPECT_TRUE(traits("veth9")->veth);
    EXPECT_TRUE(traits("docker0")->bridge);
    EXPECT_TRUE(traits("tun0")->tunTap);
    EXPECT_TRUE(traits("enp3s0")->physical);
    EXPECT_FALSE(traits("absent"));
    // A VLAN names its kind: not a veth although its link is another interface.
    writeFile(net("veth9") + "/uevent", "DEVTYPE=vlan\nINTERFACE=veth9\n");
    EXPECT_FALSE(traits("veth9")->veth);
    writeFile(net("veth9") + "/uevent", "INTERFACE=veth9\nIFINDEX=9\n");

    // Without the NICs (a VM or container whose interfaces have no device): the rest,
    // less the bridge, the veth and the tunnel. Then a container's own veth end.
    for (const char* name : {"enp3s0", "wlp2s0"}) {
        fs::remove(net(name));
        device(name, std::string("virtual/net/") + name);
        fixture.flags(name, "0x1003\n");
    }
    EXPECT_EQ(Sampler::readNetworkCounters(fixture.source).received, 3000u);
    fixture.proc("net/dev", std::string(netDevHeader) + netDevLine("lo", 111, 111) + netDevLine("veth9", 500, 50));
    EXPECT_EQ(Sampler::readNetworkCounters(fixture.source).received, 500u);
}

TEST(SystemCounters, DiskOfHomeDirectory) {
    Fixture fixture;
    const auto disk = Sampler::readDisk(fixture.source);
    EXPECT_GT(disk.total, 0u);
    EXPECT_LE(disk.used, disk.total);
    fixture.source.homeDirectory = fixture.directory.path() + "/does-not-exist";
    EXPECT_EQ(Sampler::readDisk(fixture.source), (Sampler::ByteUsage{0, 0}));

    // The statvfs figures are asked of the injected source for the home directory.
    std::string asked;
    fixture.source.fileSystemBlocks = [&](const std::string& path) -> std::optional<platform::FileSystemBlocks> {
        asked = path;
        return platform::FileSystemBlocks{1'000'000, 400'000, 350'000, 1024};
    };
    EXPECT_EQ(Sampler::readDisk(fixture.source), (Sampler::ByteUsage{600'000ull * 1024, 950'000ull * 1024}));
    EXPECT_EQ(asked, fixture.source.homeDirectory);
    fixture.source.fileSystemBlocks = [](const std::string&) { return std::optional<platform::FileSystemBlocks>(); };
    EXPECT_EQ(Sampler::readDisk(fixture.source), (Sampler::ByteUsage{0, 0}));
    fixture.source.homeDirectory.clear();
    EXPECT_EQ(Sampler::readDisk(fixture.source), (Sampler::ByteUsage{0, 0}));
}

TEST(SystemCounters, LiveSystem) {
    const auto source = platform::SystemCounterSource::live();
    const auto first = Sampler::readCPUCounters(source);
    ASSERT_TRUE(first);
    EXPECT_GT(first->active + first->idle, 0u);

    const auto memory = Sampler::readMemory(source);
    EXPECT_GT(memory.total, 0u);
    EXPECT_GT(memory.used, 0u);
    EXPECT_LE(memory.used, memory.total);

    const auto disk = Sampler::readDisk(source);
    EXPECT_GT(disk.total, 0u);
    EXPECT_LE(disk.used, disk.total);

    // 64 MiB over loopback must not show up in the counted traffic (half of it would be plenty).
    testsupport::LocalHttpServer server;
    server.server().Post("/sink", [](const httplib::Request& request, httplib::Response& response) {
        response.set_content(std::to_string(request.body.size()), "text/plain");
    });
    server.start();
    const auto before = Sampler::readNetworkCounters(source);
    httplib::Client client("127.0.0.1", server.port());
    const std::string payload(64u << 20, 'x');
    auto result = client.Post("/sink", payload, "application/octet-stream");
    ASSERT_TRUE(result);
    ASSERT_EQ(result->body, std::to_string(payload.size()));
    const auto after = Sampler::readNetworkCounters(source);
    EXPECT_LT(after.received - std::min(after.received, before.received), 32u << 20);
    EXPECT_LT(after.transmitted - std::min(after.transmitted, before.transmitted), 32u << 20);
    EXPECT_GE(after.timestamp, before.timestamp);

    const auto second = Sampler::readCPUCounters(source);
    ASSERT_TRUE(second);
    EXPECT_GE(Sampler::calculateCPUUsage(first, second), 0);
}

}  // namespace
