// Quota commands as real child processes, their output rules, and quotas.json.
#include "AtomicFile.h"
#include "QuotaCommand.h"
#include "QuotaService.h"
#include "ServerProcess.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;

namespace {

std::string script(const std::string& dir, const std::string& name, const std::string& body) {
    const std::string path = dir + "/" + name;
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    chmod(path.c_str(), 0755);
    return path;
}

TEST(QuotaCommand, RunsWithoutAShellWithinItsLimit) {
    testsupport::TemporaryDirectory dir;
    auto ok = QuotaCommand::run({script(dir.path(), "ok", "echo \"$1|$2\"; pwd"), "a b", "$HOME"}, 5s, dir.path());
    EXPECT_EQ(ok.outcome, QuotaCommand::Outcome::exited);
    EXPECT_EQ(ok.exitStatus, 0);
    EXPECT_EQ(ok.output, "a b|$HOME\n" + dir.path() + "\n") << "arguments reach the program verbatim";

    auto failing = QuotaCommand::run({script(dir.path(), "fail", "echo partial; exit 3")}, 5s, "");
    EXPECT_EQ(failing.outcome, QuotaCommand::Outcome::exited);
    EXPECT_EQ(failing.exitStatus, 3);

    EXPECT_EQ(QuotaCommand::run({dir.path() + "/absent"}, 5s, "").outcome, QuotaCommand::Outcome::notFound);
    EXPECT_EQ(QuotaCommand::run({"tidemark-no-such-program"}, 5s, "").outcome, QuotaCommand::Outcome::notFound);
    EXPECT_EQ(QuotaCommand::run({}, 5s, "").outcome, QuotaCommand::Outcome::notFound);

    {
        testsupport::ScopedEnvironment token("TIDEMARK_SERVER_TOKEN", "SHOULD-NOT-LEAK");
        testsupport::ScopedEnvironment other("TIDEMARK_QUOTA_TEST", "visible");
        auto env = QuotaCommand::run({"/usr/bin/env"}, 5s, "");
        EXPECT_EQ(env.output.find("SHOULD-NOT-LEAK"), std::string::npos);
        EXPECT_NE(env.output.find("TIDEMARK_QUOTA_TEST=visible"), std::string::npos);
    }

    auto big = QuotaCommand::run({script(dir.path(), "big", "head -c 200000 /dev/zero | tr '\\0' x")}, 5s, "");
    EXPECT_EQ(big.outcome, QuotaCommand::Outcome::exited);
    EXPECT_EQ(big.output.size(), QuotaCommand::maxOutputBytes);
}

TEST(QuotaCommand, KillsACommandAndItsHelpersWhenTheLimitPasses) {
    testsupport::TemporaryDirectory dir;
    const std::string pidFile = dir.path() + "/helper.pid";
    const auto start = std::chrono::steady_clock::now();
    auto hung = QuotaCommand::run({script(dir.path(), "hang", "sleep 30 & echo $! > " + pidFile + "; sleep 30")}, 400ms, "");
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(hung.outcome, QuotaCommand::Outcome::timedOut);
    EXPECT_GE(took, 350ms);
    EXPECT_LT(took, 3s);
    std::string helper;
    std::ifstream(pidFile) >> helper;
    EXPECT_TRUE(testsupport::eventually([&] { return !webapptest::processAlive(helper); }, 2000ms)) << helper;

    // Output closed early but the process lingers: still bounded by the limit.
    auto lingering = QuotaCommand::run({script(dir.path(), "linger", "exec >&-; sleep 30")}, 300ms, "");
    EXPECT_EQ(lingering.outcome, QuotaCommand::Outcome::timedOut);
}

TEST(QuotaService, ReadsCommandOutput) {
    QuotaProvider base{"x", "X", "#112233", "not_configured", std::nullopt, "", false};
    auto r = QuotaService::resultFromOutput(base, "{\"status\":\"ok\",\"percent\":150,\"displayValue\":\"  12 left \"}\n");
    EXPECT_EQ(r.status, "ok");
    EXPECT_EQ(r.percent, 100.0);
    EXPECT_EQ(r.displayValue, "12 left");
    EXPECT_EQ(QuotaService::resultFromOutput(base, "{\"status\":\"ok\",\"percent\":-3,\"displayValue\":\"\"}").percent, 0.0);
    EXPECT_FALSE(QuotaService::resultFromOutput(base, "{\"status\":\"ok\",\"percent\":\"5\",\"displayValue\":\"a\"}").percent);
    auto notConfigured = QuotaService::resultFromOutput(base, "{\"status\":\"not_configured\",\"displayValue\":\"Sign in\"}");
    EXPECT_EQ(notConfigured.status, "not_configured");
    for (const char* bad : {"", "ok", "[]", "{\"status\":\"fine\",\"displayValue\":\"\"}",
                            "{\"status\":\"ok\"}", "{\"status\":\"ok\",\"displayValue\":7}",
                            "{\"status\":\"ok\",\"displayValue\":\"1234567890123456789012345\"}"}) {
        auto e = QuotaService::resultFromOutput(base, bad);
        EXPECT_EQ(e.status, "error") << bad;
        EXPECT_FALSE(e.percent) << bad;
    }
    // 24 characters that take more bytes are fine.
    EXPECT_EQ(QuotaService::resultFromOutput(base, "{\"status\":\"ok\",\"displayValue\":\"€€€€€€€€€€€€€€€€€€€€€€€€\"}").status, "ok");
}

TEST(QuotaService, RunsTheCommandsOfQuotasJsonAndFollowsItsChanges) {
    testsupport::TemporaryDirectory dir;
    const std::string good = script(dir.path(), "good", "echo '{\"status\":\"ok\",\"percent\":40,\"displayValue\":\"40 of 100\"}'");
    const std::string bad = script(dir.path(), "bad", "echo nope");
    const std::string slow = script(dir.path(), "slow", "sleep 5");
    std::ofstream(dir.path() + "/quotas.json") << R"({"providers":[
        {"id":"good","name":" Good ","color":"#00ff00","command":[")" << good << R"("]},
        {"id":"bad","name":"Bad","color":"#ff0000","command":")" << bad << R"("},
        {"id":"slow","name":"Slow","color":"#0000ff","command":[")" << slow << R"("]},
        {"id":"gone","name":"Gone","color":"#000000","command":["/nonexistent/tool"]},
        {"id":"cpu","name":"Duplicate of a built-in","color":"#000000","command":["/bin/true"]},
        {"id":"Bad_Id","name":"x","color":"#000000","command":["/bin/true"]},
        {"id":"nocolor","name":"x","color":"green","command":["/bin/true"]},
        {"id":"nocommand","name":"x","color":"#000000"},
        7
    ]})";
    LiveState live;
    testsupport::LogCapture capture;
    std::vector<std::string> lines;
    std::mutex linesMutex;
    QuotaService::Timing timing;
    timing.commandTimeout = 300ms;
    timing.refreshInterval = 60000ms;
    timing.fileCheckInterval = 50ms;
    QuotaService service(dir.path(), live, [&](const std::string& l) {
        std::lock_guard lock(linesMutex);
        lines.push_back(l);
    }, timing);
    service.start();
    auto find = [&](const std::string& id) {
        for (const auto& p : service.providers()) {
            if (p.id == id) return std::optional(p);
        }
        return std::optional<QuotaProvider>();
    };
    ASSERT_TRUE(testsupport::eventually([&] { auto p = find("gone"); return p && p->displayValue == "Not set up"; }, 5000ms));
    auto providers = service.providers();
    ASSERT_EQ(providers.size(), 7u);
    EXPECT_EQ(providers[0].id, "cpu");
    EXPECT_EQ(providers[0].status, "not_configured") << "no sample yet";
    EXPECT_EQ(find("good")->status, "ok");
    EXPECT_EQ(find("good")->name, "Good");
    EXPECT_EQ(find("good")->percent, 40.0);
    EXPECT_EQ(find("bad")->status, "error");
    EXPECT_EQ(find("slow")->status, "error");
    EXPECT_EQ(find("slow")->displayValue, "Timed out");
    EXPECT_EQ(find("gone")->status, "not_configured");
    {
        std::lock_guard lock(linesMutex);
        EXPECT_EQ(lines.size(), 5u) << "one line per ignored entry";
    }

    MetricSample sample;
    sample.cpuUsage = 12.6;
    sample.memoryPercent = 50;
    sample.diskPercent = 3.2;
    live.recordSample(sample);
    EXPECT_EQ(service.providers()[0].displayValue, "13%");
    EXPECT_EQ(service.providers()[2].percent, 3.2);

    // The file changes: the service picks it up without a restart.
    std::this_thread::sleep_for(20ms);
    std::ofstream(dir.path() + "/quotas.json", std::ios::trunc)
        << R"([{"id":"only","name":"Only","color":"#abcdef","command":[")" << good << R"("]}])";
    ASSERT_TRUE(testsupport::eventually([&] { auto p = find("only"); return p && p->status == "ok"; }, 5000ms));
    EXPECT_EQ(service.providers().size(), 4u);

    // Dock settings are checked and kept in the data directory.
    std::string error;
    EXPECT_FALSE(service.updateDockSettings(nlohmann::json{{"showInDock", "yes"}}, error));
    EXPECT_FALSE(service.updateDockSettings(nlohmann::json{{"selection", "Auto"}}, error));
    EXPECT_FALSE(service.updateDockSettings(nlohmann::json::array(), error));
    EXPECT_TRUE(service.updateDockSettings(nlohmann::json{{"showInDock", true}, {"selection", "only"}}, error));
    auto payload = service.dockPayload();
    EXPECT_EQ(payload.size(), 3u);
    EXPECT_EQ(payload["enabled"], true);
    EXPECT_EQ(payload["selection"], "only");
    EXPECT_EQ(payload["providers"].size(), 4u);
    EXPECT_FALSE(payload["providers"][3].contains("builtIn"));
    service.stop();
    LiveState otherLive;
    QuotaService reopened(dir.path(), otherLive, [](const std::string&) {});
    EXPECT_TRUE(reopened.dockSettings().showInDock);
    EXPECT_EQ(reopened.dockSettings().selection, "only");
}

}  // namespace

TEST(QuotaCommand, ACancelEndsTheCommandAndItsGroupAtOnce) {
    testsupport::TemporaryDirectory dir;
    const std::string pidFile = dir.path() + "/helper.pid";
    QuotaCommand::Cancellation cancellation;
    std::thread canceller([&] {
        testsupport::eventually([&] { return std::ifstream(pidFile).good(); }, 5000ms);
        std::this_thread::sleep_for(50ms);
        cancellation.cancel();
    });
    const auto start = std::chrono::steady_clock::now();
    auto result = QuotaCommand::run(
        {script(dir.path(), "hang", "sleep 30 & echo $! > " + pidFile + ".part; mv " + pidFile + ".part " + pidFile + "; sleep 30")},
        20s, "", &cancellation);
    canceller.join();
    EXPECT_EQ(result.outcome, QuotaCommand::Outcome::cancelled);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    std::string helper;
    std::ifstream(pidFile) >> helper;
    EXPECT_TRUE(testsupport::eventually([&] { return !webapptest::processAlive(helper); }, 1000ms)) << "the group's helper lives on";
    // Once cancelled, nothing starts any more.
    EXPECT_EQ(QuotaCommand::run({"/bin/true"}, 5s, "", &cancellation).outcome, QuotaCommand::Outcome::cancelled);
}

TEST(DockSettingsFile, AKillAtAnyMomentOfAWriteLeavesTheOldOrTheNewValue) {
    testsupport::TemporaryDirectory dir;
    const std::string path = dir.path() + "/dock.json";
    std::mt19937 random(7);
    int written = 0;
    for (int round = 0; round < 20; ++round) {
        const pid_t child = fork();
        if (child == 0) {
            // Each value names its own number, so any mix of two writes would show.
            for (int i = 0; i < 1000; ++i) {
                const std::string id = std::string("p").append(std::to_string(round * 1000 + i));
                AtomicFile::write(path, "{\n  \"selection\": \"" + id + "\",\n  \"padding\": \"" + std::string(2000, 'x') +
                                            "\",\n  \"showInDock\": true\n}\n");
            }
            _exit(0);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 20000)(random)));
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        std::ifstream in(path);
        if (!in) continue;  // killed before the first rename
        std::stringstream text;
        text << in.rdbuf();
        const auto value = nlohmann::json::parse(text.str(), nullptr, false);
        ASSERT_TRUE(value.is_object()) << "round " << round << ": " << text.str().substr(0, 80);
        EXPECT_EQ(value["padding"].get<std::string>().size(), 2000u);
        const int number = std::stoi(value["selection"].get<std::string>().substr(1));
        EXPECT_GE(number, written) << "an older value came back";
        written = number;
    }
    EXPECT_GT(written, 0);
    // The service removes what killed writers left behind and reads the file.
    LiveState live;
    QuotaService service(dir.path(), live, [](const std::string&) {});
    EXPECT_EQ(service.dockSettings().selection, std::string("p").append(std::to_string(written)));
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << entry.path();
    }
}
