#include "platform/UserDefaults.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/FileManager.h"
#include "platform/Process.h"
#include "support/TestSupport.h"

using testsupport::TemporaryDirectory;

namespace {
std::string slurp(const std::string& path) { return platform::FileManager::readFile(path).value_or("<missing>"); }
}  // namespace

TEST(UserDefaults, ValuesSurviveARestartInTheirJsonForms) {
    TemporaryDirectory dir;
    const std::string path = dir.path() + "/nested/Tidemark/defaults.json";
    const std::string binary("\x00\xff\x10 state", 8);
    {
        platform::UserDefaults defaults(path);
        EXPECT_FALSE(defaults.boolForKey("Tidemark.dynamicDockIconEnabled"));
        EXPECT_EQ(defaults.doubleForKey("Tidemark.panelHeight"), 0.0);
        EXPECT_EQ(defaults.dataForKey("Tidemark.dynamicDockIconState"), std::nullopt);
        defaults.setBool(true, "Tidemark.dynamicDockIconEnabled");
        defaults.setDouble(640.5, "Tidemark.panelHeight");
        defaults.setData(binary, "Tidemark.dynamicDockIconState");
        defaults.setData("", "empty");
    }
    const auto json = nlohmann::json::parse(slurp(path));
    EXPECT_EQ(json["Tidemark.dynamicDockIconEnabled"], true);
    EXPECT_EQ(json["Tidemark.panelHeight"], 640.5);
    EXPECT_EQ(json["Tidemark.dynamicDockIconState"]["data"], platform::base64Encode(binary));

    platform::UserDefaults reread(path);
    EXPECT_TRUE(reread.boolForKey("Tidemark.dynamicDockIconEnabled"));
    EXPECT_EQ(reread.doubleForKey("Tidemark.panelHeight"), 640.5);
    EXPECT_EQ(reread.dataForKey("Tidemark.dynamicDockIconState"), binary);
    EXPECT_EQ(reread.dataForKey("empty"), "");
    // A value of another type reads as absent rather than being coerced.
    EXPECT_FALSE(reread.boolForKey("Tidemark.panelHeight"));
    EXPECT_EQ(reread.dataForKey("Tidemark.panelHeight"), std::nullopt);
    reread.removeObject("Tidemark.panelHeight");
    EXPECT_FALSE(platform::UserDefaults(path).hasKey("Tidemark.panelHeight"));
    // No temporary files are left beside the settings.
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(path).parent_path())) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(files, 1u);
}

TEST(UserDefaults, CorruptFileIsMovedAsideNotOverwritten) {
    TemporaryDirectory dir;
    const std::string path = dir.path() + "/defaults.json";
    for (const std::string& broken : {std::string("{\"Tidemark.panelHeight\": 6"), std::string("[1,2]")}) {
        std::ofstream(path) << broken;
        platform::UserDefaults defaults(path);
        EXPECT_EQ(defaults.doubleForKey("Tidemark.panelHeight"), 0.0);
        defaults.setDouble(300, "Tidemark.panelHeight");
        bool keptAside = false;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            const std::string name = entry.path().filename();
            if (name.rfind("defaults.json.corrupt-", 0) == 0) {
                keptAside |= slurp(entry.path()) == broken;
                std::filesystem::remove(entry.path());
            }
        }
        EXPECT_TRUE(keptAside) << broken;
        EXPECT_EQ(platform::UserDefaults(path).doubleForKey("Tidemark.panelHeight"), 300.0);
    }
}

TEST(UserDefaults, ConcurrentWritersLeaveAValidFile) {
    TemporaryDirectory dir;
    const std::string path = dir.path() + "/defaults.json";
    platform::UserDefaults defaults(path);
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) defaults.setDouble(i, "key" + std::to_string(t));
        });
    for (auto& writer : writers) writer.join();
    platform::UserDefaults reread(path);
    for (int t = 0; t < 4; ++t) EXPECT_EQ(reread.doubleForKey("key" + std::to_string(t)), 49.0);
}

TEST(Base64, RoundTripsAndRejectsMalformedText) {
    for (const std::string& bytes : {std::string(), std::string("a"), std::string("ab"), std::string("abc"),
                                    std::string("\x00\x01\x02\xfd\xfe\xff", 6)})
        EXPECT_EQ(platform::base64Decode(platform::base64Encode(bytes)), bytes);
    EXPECT_EQ(platform::base64Encode("Tidemark"), "VGlkZW1hcms=");
    for (const char* bad : {"abc", "ab=c", "a===", "@@@@", "QQ==QQ=="}) EXPECT_EQ(platform::base64Decode(bad), std::nullopt) << bad;
}

TEST(FileManager, ConcurrentAtomicWritesOfOneFileNeverMixContents) {
    TemporaryDirectory dir;
    const std::string path = dir.path() + "/shared.txt";
    std::vector<std::thread> writers;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([&, t] {
            const std::string contents(4096, static_cast<char>('a' + t));
            for (int i = 0; i < 100; ++i)
                if (platform::FileManager::writeAtomically(path, contents)) ++failures;
        });
    for (auto& writer : writers) writer.join();
    EXPECT_EQ(failures.load(), 0);
    const std::string final = slurp(path);
    ASSERT_EQ(final.size(), 4096u);
    EXPECT_EQ(final.find_first_not_of(final[0]), std::string::npos) << "one writer's whole contents";
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) files += entry.is_regular_file();
    EXPECT_EQ(files, 1u) << "no temporary files left";
}

TEST(UserDefaults, AKillAtAnyMomentLeavesTheOldOrTheNewValue) {
    // A child writes 1000 values; SIGKILL lands at a different moment each round. The file
    // must parse and hold the last value whose write returned, or the one after it; the
    // next start-up removes the temporaries the killed writer left. The moment follows the
    // writer's own progress, so a fast disk or a busy machine still sees kills mid-run.
    TemporaryDirectory folder;
    const std::string file = folder.path() + "/defaults.json";
    int killedMidway = 0;
    for (int round = 0; round < 12; ++round) {
        auto writer = platform::Process::make();
        writer->executablePath = testsupport::testBinDirectory() + "/DefaultsWriterHelper";
        writer->arguments = {file, "1000"};
        auto pipe = std::make_shared<platform::Pipe>();
        writer->standardOutput = pipe;
        std::string printed;
        std::mutex mutex;
        pipe->fileHandleForReading()->setReadabilityHandler([&](platform::FileHandle& handle) {
            const std::string data = handle.availableData();
            std::lock_guard lock(mutex);
            printed += data;
        });
        ASSERT_FALSE(writer->run());
        // From at once to about half the run, a little after a write returned.
        const size_t target = static_cast<size_t>(round) * 40;
        EXPECT_TRUE(testsupport::eventually(
            [&] {
                std::lock_guard lock(mutex);
                return static_cast<size_t>(std::count(printed.begin(), printed.end(), '\n')) >= target ||
                       !writer->isRunning();
            },
            std::chrono::seconds(30), std::chrono::milliseconds(1)));
        std::this_thread::sleep_for(std::chrono::microseconds(150 * (round % 4)));
        writer->sendSignal(SIGKILL);
        ASSERT_TRUE(writer->waitUntilExit(std::chrono::seconds(10)));
        if (writer->terminationReason() == platform::Process::TerminationReason::uncaughtSignal) ++killedMidway;
        pipe->fileHandleForReading()->setReadabilityHandler({});
        int confirmed = 0;
        {
            std::lock_guard lock(mutex);
            // What the handler had not read yet was confirmed all the same.
            printed += pipe->fileHandleForReading()->readDataToEndOfFile();
            std::istringstream lines(printed);
            for (std::string line; std::getline(lines, line);)
                if (!line.empty()) confirmed = std::stoi(line);
        }
        const auto contents = platform::FileManager::readFile(file);
        if (!contents) {
            EXPECT_EQ(confirmed, 0) << "a confirmed write left no file";
            continue;
        }
        const auto parsed = nlohmann::json::parse(*contents, nullptr, false);
        ASSERT_TRUE(parsed.is_object()) << "round " << round << ": " << *contents;
        const double value = parsed.value("Tidemark.counter", 0.0);
        EXPECT_GE(value, confirmed) << "round " << round;
        EXPECT_LE(value, confirmed + 1) << "round " << round;
    }
    EXPECT_GT(killedMidway, 6) << "the kills should mostly land during the writes";
    platform::UserDefaults restarted(file);
    size_t temporaries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path()))
        temporaries += entry.path().filename().string().find(".tmp-") != std::string::npos;
    EXPECT_EQ(temporaries, 0u);
}
