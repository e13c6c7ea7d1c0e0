// The system-wide figures against df, free and vmstat on the live machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <thread>

#include "metrics/NativeMetricsSampler.h"
#include "truth/TruthSupport.h"

using Sampler = NativeMetricsSampler;
using namespace std::chrono_literals;

TEST(Truth, DiskAgreesWithDf) {
    const auto source = platform::SystemCounterSource::live();
    // Other work on the machine writes meanwhile: take df between two readings.
    const auto before = Sampler::readDisk(source);
    const auto df = truth::lines(truth::output({"df", "-B1", "--output=used,avail,pcent", source.homeDirectory}));
    const auto after = Sampler::readDisk(source);
    ASSERT_EQ(df.size(), 2u) << "df printed no figures";
    const auto figures = truth::words(df[1]);
    ASSERT_EQ(figures.size(), 3u);
    const double dfUsed = std::stod(figures[0]);
    const double dfAvailable = std::stod(figures[1]);
    const double dfPercent = std::stod(figures[2]);  // "23%"

    for (const auto& disk : {before, after}) {
        ASSERT_GT(disk.total, 0u);
        EXPECT_LE(disk.used, disk.total);
        EXPECT_NEAR(static_cast<double>(disk.used), dfUsed, 512.0 * (1 << 20)) << "df's Used";
        EXPECT_NEAR(static_cast<double>(disk.total), dfUsed + dfAvailable, 512.0 * (1 << 20)) << "Used + Avail";
        const double percent = static_cast<double>(disk.used) / static_cast<double>(disk.total) * 100;
        EXPECT_LE(std::abs(std::ceil(percent) - dfPercent), 1) << percent << "% against df's " << dfPercent << "%";
    }
}

TEST(Truth, MemoryAgreesWithFree) {
    const auto source = platform::SystemCounterSource::live();
    const auto memory = Sampler::readMemory(source);
    const auto free = truth::lines(truth::output({"free", "-b"}));
    ASSERT_GE(free.size(), 2u);
    const auto figures = truth::words(free[1]);  // Mem: total used free shared buff/cache available
    ASSERT_GE(figures.size(), 7u);
    EXPECT_NEAR(static_cast<double>(memory.total), std::stod(figures[1]), 1 << 20);
    // free's used is total − available, as ours; 5 % of the memory for what changes meanwhile.
    EXPECT_NEAR(static_cast<double>(memory.used), std::stod(figures[2]), 0.05 * static_cast<double>(memory.total));
}

TEST(Truth, CpuAgreesWithVmstatUnderLoad) {
    // Every processor busy, so that the figure is well away from the idle machine's.
    truth::SharedBin bin;
    std::vector<std::unique_ptr<truth::Child>> burners;
    const long processors = std::clamp(::sysconf(_SC_NPROCESSORS_ONLN), 1L, 16L);
    for (long i = 0; i < processors; ++i) {
        burners.push_back(std::make_unique<truth::Child>(std::vector<std::string>{bin.path("tidemark-process-load-helper"), "burn"}));
        ASSERT_FALSE(burners.back()->failed());
    }
    std::this_thread::sleep_for(500ms);

    const auto source = platform::SystemCounterSource::live();
    // vmstat 1 3: the line since boot, then two one-second lines; ours over the same span.
    const auto before = Sampler::readCPUCounters(source);
    const auto vmstat = truth::lines(truth::output({"vmstat", "-n", "1", "3"}));
    const auto after = Sampler::readCPUCounters(source);
    ASSERT_EQ(vmstat.size(), 5u);
    const auto header = truth::words(vmstat[1]);
    const auto column = [&](const std::string& name) {
        for (size_t i = 0; i < header.size(); ++i)
            if (header[i] == name) return i;
        ADD_FAILURE() << "no column " << name;
        return size_t{0};
    };
    double busy = 0;
    for (size_t line : {3, 4}) {
        const auto figures = truth::words(vmstat[line]);
        ASSERT_EQ(figures.size(), header.size());
        busy += 100 - std::stod(figures[column("id")]) - std::stod(figures[column("wa")]);
    }
    busy /= 2;
    const double ours = Sampler::calculateCPUUsage(before, after);
    EXPECT_NEAR(ours, busy, 10) << "vmstat's 100 − id − wa";
    EXPECT_GT(ours, 70) << "a burner per processor";
}
