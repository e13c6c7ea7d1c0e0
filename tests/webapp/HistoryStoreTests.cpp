// Retention, rollups and downsampling of the history, on SQLite and in memory.
#include "HistoryStore.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

namespace {

constexpr int64_t kMinute = 60000;
constexpr int64_t kHour = 60 * kMinute;
constexpr int64_t kDay = 24 * kHour;
const int64_t kStart = 1'760'000'000'000LL - (1'760'000'000'000LL % kMinute);  // minute-aligned

MetricSample at(int64_t ts, double cpu) {
    MetricSample s;
    s.ts = ts;
    s.intervalMs = 1000;
    s.cpuUsage = cpu;
    s.memoryUsed = 100;
    s.memoryTotal = 200;
    s.memoryPercent = 50;
    s.rxBps = cpu * 10;
    s.diskPercent = 25;
    return s;
}

struct Backends : ::testing::TestWithParam<bool> {
    testsupport::TemporaryDirectory dir;
    int64_t now = kStart;
    std::vector<std::string> logs;
    std::unique_ptr<HistoryStore> open() {
        return std::make_unique<HistoryStore>(
            GetParam() ? dir.path() : "", [this](const std::string& line) { logs.push_back(line); },
            [this] { return now; });
    }
};

TEST_P(Backends, RollsUpMinutesPrunesOldDataAndAnswersEveryRangeWithAtMost600Points) {
    auto store = open();
    EXPECT_EQ(store->isPersistent(), GetParam());
    // Two days and an hour at one sample every 10 s; cpu follows the minute of the day.
    const int64_t end = kStart + 2 * kDay + kHour;
    for (int64_t ts = kStart; ts < end; ts += 10000) {
        now = ts;
        store->record(at(ts, static_cast<double>((ts / kMinute) % 100)));
    }
    now = end;

    auto fiveMinutes = store->query(5 * kMinute);
    EXPECT_EQ(fiveMinutes.points.size(), 30u) << "raw samples, one point each";
    EXPECT_EQ(fiveMinutes.points.back().ts, end - 10000);

    for (const char* range : {"1h", "24h", "30d"}) {
        auto series = store->query(*HistoryStore::parseRange(range));
        EXPECT_LE(series.points.size(), HistoryStore::maxPoints) << range;
        // Two days of data fill a third of the day range's buckets and 1/15 of the month's.
        EXPECT_GT(series.points.size(), std::string(range) == "30d" ? 30u : 300u) << range;
        for (size_t i = 1; i < series.points.size(); ++i) ASSERT_LT(series.points[i - 1].ts, series.points[i].ts);
    }

    // A minute rollup is the mean of its six samples (they all share one cpu value here).
    auto month = store->query(HistoryStore::minuteRetentionMs);
    ASSERT_FALSE(month.points.empty());
    EXPECT_GE(month.points.front().ts, kStart) << "minutes kept beyond the 24 h of raw samples";
    EXPECT_LT(month.points.front().ts, kStart + month.bucketMs + kMinute);
    double weighted = 0, count = 0;
    for (const auto& p : month.points) {
        weighted += p.cpu * static_cast<double>(p.count);
        count += static_cast<double>(p.count);
        EXPECT_DOUBLE_EQ(p.memoryPercent, 50);
    }
    EXPECT_EQ(count, static_cast<double>((end - kStart) / 10000));
    // Means weighted by their counts give back the mean of every sample recorded.
    double recorded = 0;
    for (int64_t ts = kStart; ts < end; ts += 10000) recorded += static_cast<double>((ts / kMinute) % 100);
    EXPECT_NEAR(weighted / count, recorded / count, 1e-9);

    // Raw samples older than 24 h are gone: a fine-grained query of that time is empty.
    auto rawOld = store->query(5 * kMinute, kStart + kHour);
    EXPECT_TRUE(rawOld.points.empty());
    auto rawRecent = store->query(5 * kMinute, end - kHour);
    EXPECT_EQ(rawRecent.points.size(), 30u);

    // A sample older than the raw window is ignored; one with a known timestamp replaces it.
    store->record(at(kStart, 99));
    store->record(at(end - 10000, 77));
    EXPECT_DOUBLE_EQ(store->query(5 * kMinute).points.back().cpu, 77);
}

TEST_P(Backends, AFarFutureTimestampDoesNotWipeTheHistory) {
    auto store = open();
    for (int i = 0; i < 60; ++i) store->record(at(kStart + i * 1000, 10));
    now = kStart + 60000;
    store->record(at(kStart + 365 * kDay, 50));
    EXPECT_EQ(store->query(5 * kMinute).points.size(), 60u);
}

INSTANTIATE_TEST_SUITE_P(History, Backends, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "SQLite" : "Memory"; });

TEST(SQLiteHistoryStore, KeepsHistoryAcrossRestartsUsesWALAndSetsACorruptFileAside) {
    testsupport::TemporaryDirectory dir;
    int64_t now = kStart + kMinute;
    auto log = [](const std::string&) {};
    {
        HistoryStore store(dir.path(), log, [&] { return now; });
        for (int i = 0; i < 60; ++i) store.record(at(kStart + i * 1000, i));
    }
    EXPECT_TRUE(std::filesystem::exists(dir.path() + "/history.sqlite"));
    {
        HistoryStore store(dir.path(), log, [&] { return now; });
        EXPECT_TRUE(store.isPersistent());
        EXPECT_EQ(store.query(5 * kMinute).points.size(), 60u);
        EXPECT_TRUE(std::filesystem::exists(dir.path() + "/history.sqlite-wal"));
    }
    std::filesystem::remove(dir.path() + "/history.sqlite-wal");
    std::filesystem::remove(dir.path() + "/history.sqlite-shm");
    std::ofstream(dir.path() + "/history.sqlite", std::ios::trunc) << std::string(8192, 'x');
    std::vector<std::string> lines;
    HistoryStore store(dir.path(), [&](const std::string& l) { lines.push_back(l); }, [&] { return now; });
    EXPECT_TRUE(store.isPersistent());
    EXPECT_TRUE(lines.empty());
    bool asideFound = false;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        asideFound |= entry.path().filename().string().rfind("history.sqlite.corrupt-", 0) == 0;
    }
    EXPECT_TRUE(asideFound);
    store.record(at(kStart, 1));
    EXPECT_EQ(store.query(5 * kMinute).points.size(), 1u);
}

TEST(SQLiteHistoryStore, FallsBackToMemoryWithOneLineWhenTheDirectoryCannotHoldTheDatabase) {
    std::vector<std::string> lines;
    HistoryStore store("/proc/self", [&](const std::string& l) { lines.push_back(l); });
    EXPECT_FALSE(store.isPersistent());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("history is kept in memory"), std::string::npos);
    store.record(at(kStart, 5));
    EXPECT_EQ(store.query(5 * kMinute, kStart + 1000).points.size(), 1u);
    EXPECT_EQ(lines.size(), 1u);
}

TEST(HistoryStoreRanges, ParsesOnlyTheFourRanges) {
    EXPECT_EQ(HistoryStore::parseRange("5m"), 5 * kMinute);
    EXPECT_EQ(HistoryStore::parseRange("30d"), 30 * kDay);
    EXPECT_FALSE(HistoryStore::parseRange(""));
    EXPECT_FALSE(HistoryStore::parseRange("7d"));
}

}  // namespace
