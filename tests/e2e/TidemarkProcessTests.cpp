#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "support/TidemarkRun.h"

using namespace std::chrono_literals;
using testsupport::TidemarkRun;

namespace {

const char* const metricsBody =
    R"({"samples":[{"ts":1765000000000,"intervalMs":1000,"cpuUsage":12.5,"memoryUsed":1000,"memoryTotal":4000,)"
    R"("memoryPercent":25.0,"rxBps":10.0,"txBps":20.0,"diskUsed":500,"diskTotal":1000,"diskPercent":50.0}]})";

bool haveServer() { return std::filesystem::exists(testsupport::binDirectory() + "/TidemarkServer"); }

}  // namespace

TEST(TidemarkProcess, ServesOnTheTestPortAndQuitsCleanly) {
    if (!haveServer()) GTEST_SKIP() << "TidemarkServer is not built";
    testsupport::TidemarkRunOptions options;
    options.environment["TIDEMARK_TEST_AUTO_QUIT_AFTER"] = "6";
    TidemarkRun run(options);
    ASSERT_TRUE(run.waitUntilHealthy(20s)) << run.output();

    httplib::Client client("127.0.0.1", run.port());
    auto unauthorised = client.Post("/api/metrics/ingest", metricsBody, "application/json");
    ASSERT_TRUE(unauthorised);
    EXPECT_EQ(unauthorised->status, 401);
    auto wrongToken = client.Post("/api/metrics/ingest", {{"Authorization", "Bearer nope"}}, metricsBody, "application/json");
    ASSERT_TRUE(wrongToken);
    EXPECT_EQ(wrongToken->status, 401);
    auto accepted =
        client.Post("/api/metrics/ingest", {{"Authorization", "Bearer " + run.token()}}, metricsBody, "application/json");
    ASSERT_TRUE(accepted);
    EXPECT_EQ(accepted->status, 200);

    const auto children = run.childPids();
    ASSERT_FALSE(children.empty()) << "the server runs as a child of Tidemark";
    EXPECT_TRUE(std::filesystem::is_directory(run.home() + "/data/Tidemark-e2e"));

    ASSERT_TRUE(run.process().waitUntilExit(20s)) << "auto-quit after 6 s";
    EXPECT_EQ(run.process().terminationReason(), platform::Process::TerminationReason::exit);
    EXPECT_EQ(run.process().terminationStatus(), 0);
    for (int pid : children) EXPECT_FALSE(testsupport::processAlive(pid)) << "server " << pid << " left running";
    EXPECT_TRUE(run.waitForOutputEnd(5s));
    EXPECT_EQ(run.output().find("[Tidemark] Server exited with status"), std::string::npos) << run.output();
}

TEST(TidemarkProcess, SigtermStopsTheServerToo) {
    if (!haveServer()) GTEST_SKIP() << "TidemarkServer is not built";
    TidemarkRun run;
    ASSERT_TRUE(run.waitUntilHealthy(20s)) << run.output();
    const auto children = run.childPids();
    ASSERT_FALSE(children.empty());
    ::kill(run.process().processIdentifier(), SIGTERM);
    ASSERT_TRUE(run.process().waitUntilExit(10s));
    EXPECT_EQ(run.process().terminationStatus(), 0);
    for (int pid : children) EXPECT_FALSE(testsupport::processAlive(pid));
}

TEST(TidemarkProcess, NoServerOutlivesAKilledTidemark) {
    if (!haveServer()) GTEST_SKIP() << "TidemarkServer is not built";
    TidemarkRun run;
    ASSERT_TRUE(run.waitUntilHealthy(20s)) << run.output();
    const auto children = run.childPids();
    ASSERT_FALSE(children.empty());
    ::kill(run.process().processIdentifier(), SIGKILL);
    ASSERT_TRUE(run.process().waitUntilExit(10s));
    for (int pid : children)
        EXPECT_TRUE(testsupport::eventually([&] { return !testsupport::processAlive(pid); }, 5s)) << "server " << pid << " outlived Tidemark";
}

// Headless, the toolkit stays out of the process: GTK and WebKit alone are about 35 MiB
// resident once loaded, whether or not a window is ever made. So do libarchive, which
// only an update install needs, and libcurl with OpenSSL under it, which only requests
// off this machine need: a run without an update feed talks to its own server only.
TEST(TidemarkProcess, AHeadlessRunMapsNeitherToolkitNorUnpackerNorCurl) {
    if (!haveServer()) GTEST_SKIP() << "TidemarkServer is not built";
    TidemarkRun run;
    ASSERT_TRUE(run.waitUntilHealthy(20s)) << run.output();
    std::ifstream file("/proc/" + std::to_string(run.process().processIdentifier()) + "/maps");
    const std::string maps((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_NE(maps.find("libhttp_parser"), std::string::npos) << "the process's own libraries are listed";
    for (const char* library : {"libgtk-3", "libwebkit2gtk", "libjavascriptcoregtk", "tidemark-desktop", "libarchive",
                                "tidemark-archive", "libcurl", "libssl", "libcrypto"})
        EXPECT_EQ(maps.find(library), std::string::npos) << library << " is mapped in a headless run";
    EXPECT_TRUE(run.stop()) << run.output();
}
