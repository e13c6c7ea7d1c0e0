#include <gtest/gtest.h>

#include <set>

#include "processes/NativeProcessSampler.h"

using Sampler = NativeProcessSampler;
using Entry = Sampler::ProcessEntry;

namespace {

Entry entry(int32_t pid, double cpu = 0, double memory = 0, double disk = 0, double net = 0) {
    Entry e;
    e.pid = pid;
    e.name = std::string("p").append(std::to_string(pid));
    e.cpuPercent = cpu;
    e.memoryPercent = memory;
    e.diskReadBps = disk / 2;
    e.diskWriteBps = disk / 2;
    e.downloadBps = net / 4;
    e.uploadBps = net * 3 / 4;
    return e;
}

std::vector<int32_t> pids(const std::vector<Entry>& entries) {
    std::vector<int32_t> out;
    for (const auto& e : entries) out.push_back(e.pid);
    return out;
}

Sampler::RawUsage raw(int32_t pid, uint64_t start, uint64_t cpu, uint64_t memory, uint64_t read, uint64_t write) {
    return Sampler::RawUsage{pid, "p", start, cpu, memory, read, write};
}

}  // namespace

TEST(ProcessSelection, SmallInputsAreKeptWholeInAscendingPidOrder) {
    EXPECT_TRUE(Sampler::selectTopEntries({}).empty());
    const std::vector<Entry> five = {entry(40, 1), entry(-3), entry(7, 0, 9), entry(2), entry(1000, 0, 0, 5)};
    const auto selected = Sampler::selectTopEntries(five);
    EXPECT_EQ(pids(selected), (std::vector<int32_t>{-3, 2, 7, 40, 1000}));
    EXPECT_EQ(selected[2], five[2]);
}

TEST(ProcessSelection, DisjointTopSetsGiveThirtyTwo) {
    // Entries 0-9 lead on CPU, 10-19 on memory, 20-29 on disk, 30-39 on network; every
    // other value is distinct but smaller than the leaders'.
    std::vector<Entry> entries;
    for (int i = 0; i < 40; ++i) {
        const int group = i / 10;
        const double base = 1 + i * 0.01;
        entries.push_back(entry(100 + i, group == 0 ? 1000 + i : base, group == 1 ? 1000 + i : base,
                                group == 2 ? 1000 + i : base, group == 3 ? 1000 + i : base));
    }
    const auto selected = Sampler::selectTopEntries(entries);
    ASSERT_EQ(selected.size(), 32u);
    std::set<int32_t> expected;
    for (int group = 0; group < 4; ++group)
        for (int i = 2; i < 10; ++i) expected.insert(100 + group * 10 + i);  // the 8 largest of each group
    const auto selectedPids = pids(selected);
    EXPECT_EQ(std::set<int32_t>(selectedPids.begin(), selectedPids.end()), expected);
    EXPECT_TRUE(std::is_sorted(selectedPids.begin(), selectedPids.end()));
}

TEST(ProcessSelection, TiesKeepInputOrderAndOverlapsAreListedOnce) {
    // Only pid 50 is above zero anywhere: every measure fills up with the first zero
    // entries of the input, which are the same ones, so 9 entries in all.
    std::vector<Entry> entries;
    for (int32_t pid : {90, 80, 70, 60, 50, 40, 30, 20, 10, 5, 1}) entries.push_back(entry(pid));
    entries[4] = entry(50, 10, 10, 10, 10);
    const auto selected = Sampler::selectTopEntries(entries);
    EXPECT_EQ(pids(selected), (std::vector<int32_t>{20, 30, 40, 50, 60, 70, 80, 90}));

    // A strictly greater value wins over input order.
    entries.push_back(entry(3, 0, 0, 0, 0.5));
    EXPECT_EQ(pids(Sampler::selectTopEntries(entries)), (std::vector<int32_t>{3, 20, 30, 40, 50, 60, 70, 80, 90}));
}

TEST(ProcessRates, TimebaseConversionIsExactInIntegers) {
    EXPECT_EQ(Sampler::nanoseconds(300, {125, 3}), 12500u);
    EXPECT_EQ(Sampler::nanoseconds(300, {1, 1}), 300u);
    EXPECT_EQ(Sampler::nanoseconds(7, {10000000, 1}), 70000000u);
    EXPECT_EQ(Sampler::nanoseconds(7, {1, 0}), 7u);
    // (t / d) × n + (t mod d) × n / d does not overflow where t × n would.
    EXPECT_EQ(Sampler::nanoseconds(18446744073709551ULL, {1000, 1024}), 18014398509481983ULL);
}

TEST(ProcessRates, FirstSampleReuseAndBackwardsCounters) {
    const uint64_t gib = 1073741824ULL, memory = 17179869184ULL;
    Sampler::UsageMap previous{{1, raw(1, 100, 1'000'000'000, gib, 500, 500)},
                               {2, raw(2, 200, 0, 0, 0, 0)},
                               {3, raw(3, 300, 1'000'000'000, 0, 9000, 100)}};
    Sampler::UsageMap current{{1, raw(1, 100, 4'500'000'000, gib, 1500, 2500)},
                              {2, raw(2, 201, 9'000'000'000, 0, 9000, 9000)},  // pid reused
                              {3, raw(3, 300, 2'000'000'000, 0, 10, 300)},     // read counter went down
                              {4, raw(4, 400, 5'000'000'000, gib, 1, 1)}};     // new
    const auto entries = Sampler::makeEntries(current, previous, {}, {}, 1.0, memory);
    std::map<int32_t, Entry> byPid;
    for (const auto& e : entries) byPid[e.pid] = e;
    ASSERT_EQ(byPid.size(), 4u);

    EXPECT_DOUBLE_EQ(byPid[1].cpuPercent, 350);
    EXPECT_DOUBLE_EQ(byPid[1].diskReadBps, 1000);
    EXPECT_DOUBLE_EQ(byPid[1].diskWriteBps, 2000);
    EXPECT_EQ(byPid[1].memoryBytes, gib);
    EXPECT_DOUBLE_EQ(byPid[1].memoryPercent, 6.25);

    EXPECT_EQ(byPid[2].cpuPercent, 0);
    EXPECT_EQ(byPid[2].diskReadBps, 0);
    EXPECT_EQ(byPid[2].diskWriteBps, 0);

    EXPECT_DOUBLE_EQ(byPid[3].cpuPercent, 100);
    EXPECT_EQ(byPid[3].diskReadBps, 0);
    EXPECT_DOUBLE_EQ(byPid[3].diskWriteBps, 200);

    EXPECT_EQ(byPid[4].cpuPercent, 0);
    EXPECT_EQ(byPid[4].memoryBytes, gib);
    EXPECT_DOUBLE_EQ(byPid[4].memoryPercent, 6.25);

    // The first sample: nothing to compare with, memory still filled.
    for (const auto& e : Sampler::makeEntries(current, {}, {}, {}, 0.001, memory)) {
        EXPECT_EQ(e.cpuPercent + e.diskReadBps + e.diskWriteBps, 0);
        EXPECT_EQ(e.memoryBytes, current.at(e.pid).residentBytes);
    }
}

TEST(ProcessRates, NetworkRatesNeedBothReadingsAndAComparableProcess) {
    Sampler::UsageMap previous{{1, raw(1, 1, 0, 0, 0, 0)}, {2, raw(2, 2, 0, 0, 0, 0)}, {3, raw(3, 3, 0, 0, 0, 0)},
                               {4, raw(4, 4, 0, 0, 0, 0)}, {5, raw(5, 5, 0, 0, 0, 0)}};
    Sampler::UsageMap current = previous;
    current[5].startTime = 55;
    const Sampler::NetworkMap before{{1, {1000, 500}}, {3, {10, 10}}, {4, {900, 900}}, {5, {0, 0}}};
    const Sampler::NetworkMap now{{1, {4000, 400}}, {2, {100, 100}}, {4, {1000, 2900}}, {5, {800, 800}},
                                  {99, {7, 7}}};
    std::map<int32_t, Entry> byPid;
    for (const auto& e : Sampler::makeEntries(current, previous, now, before, 2.0, 1)) byPid[e.pid] = e;
    EXPECT_EQ(byPid.size(), 5u);  // pid 99 is only in the network map
    EXPECT_DOUBLE_EQ(byPid[1].downloadBps, 1500);
    EXPECT_EQ(byPid[1].uploadBps, 0);  // sent count went down
    EXPECT_EQ(byPid[2].downloadBps + byPid[2].uploadBps, 0);  // no previous reading
    EXPECT_EQ(byPid[3].downloadBps + byPid[3].uploadBps, 0);  // gone from the current map
    EXPECT_DOUBLE_EQ(byPid[4].downloadBps, 50);
    EXPECT_DOUBLE_EQ(byPid[4].uploadBps, 1000);
    EXPECT_EQ(byPid[5].downloadBps + byPid[5].uploadBps, 0);  // not comparable

    // After a complete previous map, absence meant no traffic: the first connection counts
    // in full. Still nothing for a process that is not comparable.
    byPid.clear();
    for (const auto& e : Sampler::makeEntries(current, previous, now, before, 2.0, 1, true)) byPid[e.pid] = e;
    EXPECT_DOUBLE_EQ(byPid[2].downloadBps, 50);
    EXPECT_DOUBLE_EQ(byPid[2].uploadBps, 50);
    EXPECT_DOUBLE_EQ(byPid[1].downloadBps, 1500);
    EXPECT_EQ(byPid[5].downloadBps + byPid[5].uploadBps, 0);
}

TEST(ProcessNames, InvalidUTF8BecomesReplacementCharacters) {
    EXPECT_EQ(Sampler::decodeName("bash"), "bash");
    EXPECT_EQ(Sampler::decodeName("caf\xC3\xA9"), "caf\xC3\xA9");
    EXPECT_EQ(Sampler::decodeName("ab\xE2\x82"), "ab\xEF\xBF\xBD");  // cut inside a character: one U+FFFD
    EXPECT_EQ(Sampler::decodeName("\xE2\x82x\xC3"), "\xEF\xBF\xBDx\xEF\xBF\xBD");
    EXPECT_EQ(Sampler::decodeName("\xFF"), "\xEF\xBF\xBD");
    EXPECT_EQ(Sampler::decodeName("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // a surrogate
    EXPECT_EQ(Sampler::decodeName(std::string_view("a\0b", 3)), "a");
    EXPECT_EQ(Sampler::decodeName(""), "");
}
