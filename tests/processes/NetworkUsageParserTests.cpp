#include <gtest/gtest.h>

#include "processes/NativeProcessSampler.h"

using Sampler = NativeProcessSampler;
using Usage = Sampler::NetworkUsage;

TEST(NetworkUsageParser, HeaderIsSkippedAndLabelsTakeThePidAfterTheLastDot) {
    const auto map = Sampler::parseNetworkUsage(",bytes_in,bytes_out,\nlaunchd.1,1200,3400,\n");
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(map.at(1), (Usage{1200, 3400}));

    const auto dotted = Sampler::parseNetworkUsage("com.example.Agent.812,10,20");
    ASSERT_EQ(dotted.size(), 1u);
    EXPECT_EQ(dotted.at(812), (Usage{10, 20}));
}

TEST(NetworkUsageParser, MalformedLinesAreSkipped) {
    for (const char* line : {"Browser.abc,1,2", "Browser.,1,2", "nodot,1,2", "proc.5,,7", "proc.5,1", "proc.5,-1,2",
                             "proc.5,1.5,2", "proc.5,1, 2", "proc. 5,1,2", "proc.5,18446744073709551616,1",
                             "proc.2147483648,1,2", "proc.++5,1,2", "proc.5,++1,2", "proc.5,+,2", ""}) {
        EXPECT_TRUE(Sampler::parseNetworkUsage(line).empty()) << line;
    }
}

TEST(NetworkUsageParser, SignsRangesAndExtraFields) {
    auto map = Sampler::parseNetworkUsage("proc.+5,+1,2");
    ASSERT_EQ(map.count(5), 1u);
    EXPECT_EQ(map.at(5), (Usage{1, 2}));

    map = Sampler::parseNetworkUsage("p.-2147483648,18446744073709551615,0,ignored,x");
    ASSERT_EQ(map.count(-2147483648), 1u);
    EXPECT_EQ(map.at(-2147483648), (Usage{18446744073709551615ULL, 0}));

    map = Sampler::parseNetworkUsage("a,,b,\np.2147483647,1,2,");
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(map.count(2147483647), 1u);
}

TEST(NetworkUsageParser, LaterLinesReplaceEarlierOnesAndEveryLineBreakSplits) {
    const auto map = Sampler::parseNetworkUsage("a.9,1,1\nb.9,5,6\n");
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(map.at(9), (Usage{5, 6}));

    const auto lf = Sampler::parseNetworkUsage("x.1,1,2,\nx.2,3,4,\n");
    EXPECT_EQ(Sampler::parseNetworkUsage("x.1,1,2,\r\nx.2,3,4,\r\n"), lf);
    EXPECT_EQ(Sampler::parseNetworkUsage("x.1,1,2,\rx.2,3,4,"), lf);
    EXPECT_EQ(Sampler::parseNetworkUsage("x.1,1,2,\u2028x.2,3,4,\u0085"), lf);
    EXPECT_EQ(Sampler::parseNetworkUsage("x.1,1,2,\vx.2,3,4,\f\n\n"), lf);
    EXPECT_EQ(lf.size(), 2u);
}
