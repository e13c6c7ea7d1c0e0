#include <gtest/gtest.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "TestArchive.h"
#include "platform/Dispatch.h"
#include "platform/FileManager.h"
#include "platform/ProcessTable.h"
#include "platform/RunLoop.h"
#include "platform/UserDefaults.h"
#include "platform/updater/ArchiveModule.h"
#include "platform/updater/SHA256.h"
#include "platform/updater/StandardUpdater.h"
#include "platform/updater/UpdateInstaller.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using platform::StandardUpdater;
using updatertest::ArchiveEntry;
namespace fs = std::filesystem;

namespace {

class RecordingDelegate : public platform::UpdaterDelegate {
public:
    bool updaterWillInstallUpdateOnQuit(const std::string& displayVersion, std::function<void()> installNow) override {
        EXPECT_TRUE(platform::RunLoop::main().isMainThread());
        versions.push_back(displayVersion);
        handler = std::move(installNow);
        return true;
    }
    std::vector<std::string> versions;
    std::function<void()> handler;
};

// Everything a file tree holds, path -> contents ("<dir>" for folders).
std::map<std::string, std::string> snapshot(const std::string& folder) {
    std::map<std::string, std::string> files;
    std::error_code ignored;
    for (const auto& entry : fs::recursive_directory_iterator(folder, ignored)) {
        const auto relative = fs::relative(entry.path(), folder).string();
        files[relative] = entry.is_directory() ? "<dir>" : platform::FileManager::readFile(entry.path().string()).value_or("?");
    }
    return files;
}

enum class Unprivileged { passed, failed, unavailable };

// Runs body where file permissions apply: here when this process is not root, otherwise in
// a forked child that hands the tree at path to the user "nobody" (65534) and becomes it.
// The child's expectation failures print there and make it fail.
Unprivileged runUnprivileged(const std::string& path, const std::function<void()>& body) {
    if (::geteuid() != 0) {
        body();
        return ::testing::Test::HasFailure() ? Unprivileged::failed : Unprivileged::passed;
    }
    constexpr uid_t nobody = 65534;
    std::error_code ignored;
    if (::chown(path.c_str(), nobody, nobody) != 0) return Unprivileged::unavailable;
    for (const auto& entry : fs::recursive_directory_iterator(path, ignored))
        if (::lchown(entry.path().c_str(), nobody, nobody) != 0) return Unprivileged::unavailable;
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) return Unprivileged::unavailable;
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0 || ::setuid(0) == 0)
            ::_exit(77);
        body();
        std::fflush(nullptr);
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (::chown(path.c_str(), 0, 0) == 0)
        for (const auto& entry : fs::recursive_directory_iterator(path, ignored)) (void)::lchown(entry.path().c_str(), 0, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) return Unprivileged::unavailable;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? Unprivileged::passed : Unprivileged::failed;
}

// A fake installation in a temporary folder, a feed server and an updater for them.
class UpdaterFixture : public ::testing::Test {
protected:
    void SetUp() override {
        platform::RunLoop::main();  // the test thread is the main thread
        install = root.path() + "/apps/Tidemark";
        fs::create_directories(install);
        writeExecutable(install + "/Tidemark", "#!/bin/sh\necho old\n");
        writeExecutable(install + "/TidemarkServer", "#!/bin/sh\necho old server\n");
        writeExecutable(install + "/tidemark-nettop", "#!/bin/sh\n");
        marker = root.path() + "/started";
        before = snapshot(root.path() + "/apps");

        server.server().Get("/feed.json", [this](const httplib::Request&, httplib::Response& response) {
            ++feedRequests;
            while (feedHangs && !releaseHang) std::this_thread::sleep_for(10ms);
            std::lock_guard lock(mutex);
            response.set_content(feed, "application/json");
        });
        server.server().Get("/Tidemark.tar.gz", [this](const httplib::Request&, httplib::Response& response) {
            ++archiveRequests;
            std::lock_guard lock(mutex);
            response.set_content(archive, "application/gzip");
        });
        server.start();
    }

    void TearDown() override {
        releaseHang = true;
        server.stop();
    }

    static void writeExecutable(const std::string& path, const std::string& script) {
        ASSERT_FALSE(platform::FileManager::writeAtomically(path, script));
        ::chmod(path.c_str(), 0755);
    }

    // Serves a feed for the version with this archive; sha256 of the archive unless given.
    void publish(const std::string& version, const std::string& bytes, std::optional<std::string> digest = {}) {
        std::lock_guard lock(mutex);
        archive = bytes;
        feed = nlohmann::json{{"version", version},
                              {"displayVersion", version + " (test)"},
                              {"url", server.baseURL() + "/Tidemark.tar.gz"},
                              {"sha256", digest.value_or(platform::sha256HexDigest(bytes))}}
                   .dump();
    }

    std::string newRelease(const std::string& prefix = "") {
        return updatertest::makeTarGz({
            updatertest::executable(prefix + "Tidemark", "#!/bin/sh\necho new \"$0\" > '" + marker + "'\n"),
            updatertest::executable(prefix + "TidemarkServer", "#!/bin/sh\necho new server\n"),
            updatertest::executable(prefix + "tidemark-nettop", "#!/bin/sh\n"),
            {prefix + "share/readme.txt", "2.0"},
        });
    }

    std::shared_ptr<StandardUpdater> makeUpdater(double feedTimeout = 5,
                                                 std::string archiveModule = TIDEMARK_ARCHIVE_MODULE) {
        platform::StandardUpdaterOptions options;
        options.feedURL = server.baseURL() + "/feed.json";
        options.installDirectory = install;
        options.cacheDirectory = root.path() + "/cache/Tidemark/updates";
        options.archiveModule = std::move(archiveModule);
        options.currentVersion = "1.4.2";
        options.defaults = &defaults;
        options.feedTimeout = feedTimeout;
        options.downloadTimeout = 5;
        options.launch = launch;
        options.terminate = [this] { ++terminations; };
        return std::make_shared<StandardUpdater>(options, delegate);
    }

    // Runs one check to its end, then lets its report reach the main thread.
    void checkOnce(StandardUpdater& updater) {
        updater.checkForUpdatesInBackground();
        updater.waitForPendingChecks();
        platform::RunLoop::main().runPending();
    }

    // The installed files and the folder around them are as they were.
    void expectUntouched() {
        EXPECT_EQ(snapshot(root.path() + "/apps"), before);
        EXPECT_FALSE(fs::exists(marker));
        EXPECT_EQ(terminations, 0);
    }

    testsupport::TemporaryDirectory root;
    testsupport::LocalHttpServer server;
    platform::UserDefaults defaults{root.path() + "/defaults.json"};
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::function<std::optional<platform::Error>(const std::string&)> launch;
    std::string install, marker;
    std::map<std::string, std::string> before;
    std::mutex mutex;
    std::string feed, archive;
    std::atomic<int> feedRequests{0}, archiveRequests{0}, terminations{0};
    std::atomic<bool> feedHangs{false}, releaseHang{false};
};

}  // namespace

TEST_F(UpdaterFixture, NewerVersionIsStagedReportedAndInstalledOnRequest) {
    testsupport::LogCapture log;
    publish("1.10.0", newRelease());  // 1.10 is newer than 1.4.2 by number, older by text
    auto updater = makeUpdater();
    checkOnce(*updater);

    ASSERT_EQ(delegate->versions, std::vector<std::string>{"1.10.0 (test)"});
    EXPECT_EQ(updater->stagedDisplayVersion(), "1.10.0 (test)");
    EXPECT_EQ(log.lines(), std::vector<std::string>{"[Tidemark] Update 1.10.0 (test) is ready to install"});
    EXPECT_TRUE(fs::exists(root.path() + "/cache/Tidemark/updates/Tidemark-1.10.0.tar.gz"));
    // Staged beside the installation, which itself is not touched yet.
    EXPECT_EQ(platform::FileManager::readFile(install + "/Tidemark"), "#!/bin/sh\necho old\n");
    size_t stagingFolders = 0;
    for (const auto& entry : fs::directory_iterator(root.path() + "/apps"))
        stagingFolders += entry.path().filename().string().starts_with(".Tidemark.update-");
    EXPECT_EQ(stagingFolders, 1u);

    // A second check finds the same version staged: no download, no second report.
    checkOnce(*updater);
    EXPECT_EQ(archiveRequests, 1);
    EXPECT_EQ(delegate->versions.size(), 1u);

    ASSERT_TRUE(delegate->handler);
    delegate->handler();
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(platform::FileManager::readFile(install + "/TidemarkServer"), "#!/bin/sh\necho new server\n");
    EXPECT_EQ(platform::FileManager::readFile(install + "/share/readme.txt"), "2.0");
    EXPECT_TRUE(platform::FileManager::defaultManager().isExecutableFile(install + "/Tidemark"));
    // The new Tidemark really ran, from the installed folder.
    EXPECT_TRUE(testsupport::eventually([&] { return fs::exists(marker) && fs::file_size(marker) > 0; }, 5s));
    EXPECT_EQ(platform::FileManager::readFile(marker), "new " + install + "/Tidemark\n");
    // Old folder and staging area are gone; only the installation remains.
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(root.path() + "/apps")) names.push_back(entry.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"Tidemark"});

    // Nothing left to install: neither the handler nor quitting does anything more.
    delegate->handler();
    updater->installStagedUpdateIfAny();
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(log.countPrefix("[Tidemark] "), 2u);
    EXPECT_TRUE(log.contains("[Tidemark] Installed update 1.10.0 (test)"));
}

TEST_F(UpdaterFixture, QuittingInstallsAStagedUpdateWithoutStartingIt) {
    // An archive of the folder itself (one top folder) rather than of its contents.
    publish("2.0", newRelease("Tidemark-2.0/"));
    auto updater = makeUpdater();
    checkOnce(*updater);
    ASSERT_EQ(delegate->versions.size(), 1u);
    const auto modeBefore = fs::status(install).permissions();

    updater->installStagedUpdateIfAny();
    EXPECT_EQ(platform::FileManager::readFile(install + "/TidemarkServer"), "#!/bin/sh\necho new server\n");
    EXPECT_EQ(fs::status(install).permissions(), modeBefore);
    EXPECT_FALSE(updater->stagedDisplayVersion());
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_EQ(terminations, 0);

    // The handler of the earlier report no longer has anything to install.
    delegate->handler();
    EXPECT_EQ(terminations, 0);
}

TEST_F(UpdaterFixture, SameOrOlderVersionDoesNothing) {
    testsupport::LogCapture log;
    auto updater = makeUpdater();
    for (const std::string version : {"1.4.2", "1.4.2.0", "1.4", "1.3.99", "0.9"}) {
        publish(version, newRelease());
        checkOnce(*updater);
    }
    EXPECT_EQ(feedRequests, 5);
    EXPECT_EQ(archiveRequests, 0);
    EXPECT_TRUE(delegate->versions.empty());
    EXPECT_TRUE(log.lines().empty());
    expectUntouched();
    EXPECT_FALSE(fs::exists(root.path() + "/cache"));
}

TEST_F(UpdaterFixture, BrokenDownloadsLeaveTheInstallationAlone) {
    testsupport::LogCapture log;
    auto updater = makeUpdater();
    const std::string release = newRelease();

    publish("2.0", release, std::string(64, '0'));  // checksum mismatch
    checkOnce(*updater);
    EXPECT_EQ(log.countPrefix("[Tidemark] Update check failed: The update archive’s SHA-256 digest "), 1u);
    EXPECT_FALSE(fs::exists(root.path() + "/cache/Tidemark/updates/Tidemark-2.0.tar.gz"));

    const std::string truncated = release.substr(0, release.size() / 2);
    publish("2.0", truncated);  // the digest matches the truncated bytes
    checkOnce(*updater);
    EXPECT_EQ(log.countPrefix("[Tidemark] Update check failed: The update archive could not be unpacked: "), 1u);

    publish("2.0", updatertest::makeTarGz({{"Tidemark", "not executable", 0644}, {"TidemarkServer", "x", 0755}}));
    checkOnce(*updater);
    EXPECT_TRUE(log.contains("[Tidemark] Update check failed: The update archive holds no executable “Tidemark”."));

    publish("2.0", updatertest::makeTarGz({updatertest::executable("Tidemark", "x"), {"../../outside", "x"}}));
    checkOnce(*updater);

    // The application opens the module by this name beside its executable: the build puts it there.
    EXPECT_TRUE(std::string(TIDEMARK_ARCHIVE_MODULE).ends_with(std::string("/bin/") + platform::archiveModuleName))
        << TIDEMARK_ARCHIVE_MODULE;
    // A sound archive, but the module that unpacks it is missing.
    publish("2.0", release);
    auto withoutModule = makeUpdater(5, root.path() + "/gone/tidemark-archive.so");
    checkOnce(*withoutModule);
    EXPECT_EQ(log.countPrefix("[Tidemark] Update check failed: The update archive could not be unpacked: " +
                              root.path() + "/gone/tidemark-archive.so: cannot open shared object file"),
              1u);

    EXPECT_EQ(log.countPrefix("[Tidemark] "), 5u);  // one line per check
    EXPECT_TRUE(delegate->versions.empty());
    expectUntouched();  // also: no staging folder left beside the installation
    EXPECT_FALSE(fs::exists(root.path() + "/outside"));
}

TEST_F(UpdaterFixture, FeedFailuresAreLoggedOncePerCheck) {
    testsupport::LogCapture log;
    {
        {
            std::lock_guard lock(mutex);
            feed = "{not json";
        }
        auto updater = makeUpdater();
        checkOnce(*updater);
        EXPECT_TRUE(log.contains("[Tidemark] Update check failed: The update feed is not valid: it is not JSON."));
    }
    {
        // A feed that never answers: the check gives up after its timeout.
        feedHangs = true;
        auto updater = makeUpdater(/*feedTimeout=*/0.5);
        const auto start = std::chrono::steady_clock::now();
        checkOnce(*updater);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took, 400ms);
        EXPECT_LT(took, 4s);
        EXPECT_EQ(log.countPrefix("[Tidemark] Update check failed: Could not load the update feed: "), 1u);
        releaseHang = true;
        feedHangs = false;
    }
    {
        auto updater = makeUpdater();
        server.stop();  // nothing listens any more
        checkOnce(*updater);
    }
    {
        auto updater = std::make_shared<StandardUpdater>(
            platform::StandardUpdaterOptions{.feedURL = "file:///etc/passwd", .installDirectory = install}, delegate);
        checkOnce(*updater);
        EXPECT_TRUE(log.contains(
            "[Tidemark] Update check failed: The update feed address “file:///etc/passwd” is not an http or https URL."));
    }
    EXPECT_EQ(log.countPrefix("[Tidemark] "), 4u);
    EXPECT_EQ(log.countPrefix("[Tidemark] Update check failed: "), 4u);
    EXPECT_TRUE(delegate->versions.empty());
    expectUntouched();
}

TEST_F(UpdaterFixture, UnwritablePlacesFailBeforeAnythingChanges) {
    testsupport::LogCapture log;
    publish("2.0", newRelease());
    // The cache folder cannot be made: a file sits where it would go.
    ASSERT_FALSE(platform::FileManager::writeAtomically(root.path() + "/cache", "in the way"));
    {
        auto updater = makeUpdater();
        checkOnce(*updater);
    }
    EXPECT_EQ(log.countPrefix("[Tidemark] Update check failed: "), 1u);
    EXPECT_EQ(archiveRequests, 0);
    fs::remove(root.path() + "/cache");

    // Folders without write permission refuse only users other than root: as root, the
    // updater runs as "nobody" in a child. Its requests still reach this process's server.
    const auto cache = root.path() + "/cache/Tidemark/updates";
    fs::create_directories(cache);
    const auto outcome = runUnprivileged(root.path(), [&] {
        ::chmod((root.path() + "/apps").c_str(), 0555);
        {
            auto updater = makeUpdater();
            checkOnce(*updater);
        }
        ::chmod((root.path() + "/apps").c_str(), 0755);
        EXPECT_EQ(log.countPrefix("[Tidemark] Update check failed: Cannot write to “" + root.path() + "/apps”"), 1u);

        ::chmod(cache.c_str(), 0555);
        {
            auto updater = makeUpdater();
            checkOnce(*updater);
        }
        ::chmod(cache.c_str(), 0755);
        EXPECT_EQ(log.countPrefix("[Tidemark] Update check failed: Cannot write to “" + cache + "”"), 1u);
        EXPECT_TRUE(delegate->versions.empty());
    });
    if (outcome == Unprivileged::unavailable) GTEST_SKIP() << "cannot switch to the user nobody (65534) here";
    EXPECT_TRUE(outcome == Unprivileged::passed) << "the part run as nobody failed (its messages are above)";
    EXPECT_EQ(feedRequests, 3);
    EXPECT_EQ(archiveRequests, 0);
    EXPECT_TRUE(delegate->versions.empty());
    expectUntouched();
    EXPECT_TRUE(fs::is_empty(cache));
}

TEST_F(UpdaterFixture, AFailedStartPutsTheOldVersionBack) {
    testsupport::LogCapture log;
    publish("2.0", newRelease());
    int launches = 0;
    std::string launchedWhileSwapped;
    launch = [&](const std::string& executable) -> std::optional<platform::Error> {
        ++launches;
        launchedWhileSwapped = platform::FileManager::readFile(install + "/TidemarkServer").value_or("");
        EXPECT_EQ(executable, install + "/Tidemark");
        return platform::Error{"test", 1, "exec failed"};
    };
    auto updater = makeUpdater();
    checkOnce(*updater);
    ASSERT_TRUE(delegate->handler);
    delegate->handler();

    EXPECT_EQ(launches, 1);
    EXPECT_EQ(launchedWhileSwapped, "#!/bin/sh\necho new server\n");
    EXPECT_TRUE(log.contains("[Tidemark] Could not install the update: exec failed"));
    expectUntouched();
}

TEST(StandardUpdater, AutomaticChecksFollowTheUserDefault) {
    testsupport::TemporaryDirectory root;
    platform::UserDefaults defaults(root.path() + "/defaults.json");
    StandardUpdater updater(platform::StandardUpdaterOptions{.feedURL = "http://127.0.0.1:9/feed.json",
                                                             .installDirectory = root.path(),
                                                             .defaults = &defaults},
                            {});
    EXPECT_TRUE(updater.automaticallyChecksForUpdates());  // absent: on
    updater.setAutomaticallyChecksForUpdates(false);
    EXPECT_FALSE(updater.automaticallyChecksForUpdates());
    EXPECT_FALSE(platform::UserDefaults(root.path() + "/defaults.json").boolForKey("SUEnableAutomaticChecks"));
    EXPECT_TRUE(platform::UserDefaults(root.path() + "/defaults.json").hasKey("SUEnableAutomaticChecks"));
    updater.setAutomaticallyChecksForUpdates(true);
    EXPECT_TRUE(updater.automaticallyChecksForUpdates());
}

TEST(StandardUpdater, NoFeedDeclaredMeansNoUpdater) {
    // The test program has no Info.json beside it.
    ASSERT_FALSE(platform::FileManager::defaultManager().fileExists(testsupport::testBinDirectory() + "/Info.json"));
    EXPECT_EQ(platform::makeStandardUpdater({}), nullptr);
}

TEST(UpdateInstaller, TheRelaunchedProgramGetsTheRelaunchValuesOverOurOwnEnvironment) {
    testsupport::TemporaryDirectory folder;
    const std::string program = folder.path() + "/Tidemark";
    const std::string record = folder.path() + "/environment.txt";
    {
        std::ofstream script(program);
        script << "#!/bin/sh\nenv > " << record << ".part && mv " << record << ".part " << record << "\n";
    }
    ::chmod(program.c_str(), 0755);
    ::setenv("TIDEMARK_UI", "headless", 1);
    ::setenv("TIDEMARK_RELAUNCHED_FOR_UPDATE", "0", 1);
    platform::UpdateInstaller::setRelaunchValue("TIDEMARK_UI", "desktop");
    ASSERT_FALSE(platform::UpdateInstaller::launchDetached(program));
    ASSERT_TRUE(testsupport::eventually([&] { return fs::exists(record); }, 10s));
    std::ifstream in(record);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (line.starts_with("TIDEMARK_UI=") || line.starts_with("TIDEMARK_RELAUNCHED_FOR_UPDATE="))
            lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    // Each once, with the relaunch's value; the rest of our environment is passed on.
    EXPECT_EQ(lines, (std::vector<std::string>{"TIDEMARK_RELAUNCHED_FOR_UPDATE=1", "TIDEMARK_UI=desktop"}));
    ::unsetenv("TIDEMARK_UI");
    ::unsetenv("TIDEMARK_RELAUNCHED_FOR_UPDATE");
    EXPECT_TRUE(platform::UpdateInstaller::launchDetached(folder.path() + "/missing").has_value());
}

TEST(UpdateInstaller, TheRelaunchedProgramStartsWithTheDescriptorLimitWeWereGiven) {
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max <= 256) GTEST_SKIP() << "hard descriptor limit too low to raise";
    limit.rlim_cur = 256;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    ASSERT_TRUE(platform::raiseDescriptorLimit());
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    ASSERT_GT(limit.rlim_cur, 256u);

    testsupport::TemporaryDirectory folder;
    const std::string program = folder.path() + "/Tidemark";
    const std::string record = folder.path() + "/limit.txt";
    {
        std::ofstream script(program);
        script << "#!/bin/sh\nulimit -Sn > " << record << ".part && mv " << record << ".part " << record << "\n";
    }
    ::chmod(program.c_str(), 0755);
    ASSERT_FALSE(platform::UpdateInstaller::launchDetached(program));
    ASSERT_TRUE(testsupport::eventually([&] { return fs::exists(record); }, 10s));
    std::ifstream in(record);
    std::string value;
    std::getline(in, value);
    EXPECT_EQ(value, "256");
}
