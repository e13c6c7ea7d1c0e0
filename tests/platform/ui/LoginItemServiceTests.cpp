#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

#include "platform/FileManager.h"
#include "platform/ui/LoginItemService.h"
#include "support/TestSupport.h"

using platform::AutostartLoginItemService;
using platform::LoginItemStatus;

namespace {

std::string makeExecutable(const std::string& path) {
    std::ofstream(path) << "#!/bin/sh\nexit 0\n";
    ::chmod(path.c_str(), 0755);
    return path;
}

}  // namespace

TEST(AutostartLoginItem, RegisterWritesAnEntryThatStartsThisExecutableAndUnregisterRemovesIt) {
    testsupport::TemporaryDirectory home;
    const std::string executable = makeExecutable(home.path() + "/Tidemark");
    AutostartLoginItemService service(home.path() + "/config/autostart/tidemark.desktop", executable);
    EXPECT_EQ(service.status(), LoginItemStatus::notRegistered);

    ASSERT_FALSE(service.registerItem());
    EXPECT_EQ(service.status(), LoginItemStatus::enabled);
    const auto contents = platform::FileManager::readFile(service.entryPath());
    ASSERT_TRUE(contents);
    EXPECT_NE(contents->find("[Desktop Entry]\n"), std::string::npos);
    EXPECT_NE(contents->find("Type=Application\n"), std::string::npos);
    EXPECT_EQ(AutostartLoginItemService::executableFromEntry(*contents), executable);
    EXPECT_TRUE(platform::FileManager::readFile(home.path() + "/config/autostart/.tidemark.desktop.tmp") == std::nullopt);

    ASSERT_FALSE(service.unregisterItem());
    EXPECT_EQ(service.status(), LoginItemStatus::notRegistered);
    EXPECT_FALSE(platform::FileManager::defaultManager().fileExists(service.entryPath()));
    EXPECT_FALSE(service.unregisterItem()) << "nothing to remove is no failure";
}

TEST(AutostartLoginItem, StatusFollowsTheEntryHiddenFlagAndTheExecutable) {
    testsupport::TemporaryDirectory home;
    const std::string entry = home.path() + "/tidemark.desktop";
    const std::string executable = makeExecutable(home.path() + "/Tide mark \"$HOME\" 100% `x` \\");
    AutostartLoginItemService service(entry, executable);
    ASSERT_FALSE(service.registerItem());
    EXPECT_EQ(service.status(), LoginItemStatus::enabled) << "quoting round-trips: " << *platform::FileManager::readFile(entry);

    std::remove(executable.c_str());
    EXPECT_EQ(service.status(), LoginItemStatus::notFound);

    std::ofstream(entry) << "[Desktop Entry]\nType=Application\nExec=sh -c true\nHidden=true\n";
    EXPECT_EQ(service.status(), LoginItemStatus::notRegistered) << "hidden means removed by the user";
    std::ofstream(entry) << "[Desktop Entry]\nType=Application\nExec=sh -c true\n";
    EXPECT_EQ(service.status(), LoginItemStatus::enabled) << "a program found on PATH";
    std::ofstream(entry) << "[Desktop Entry]\nType=Application\nName=No command\n[Other]\nExec=/bin/sh\n";
    EXPECT_EQ(service.status(), LoginItemStatus::notFound) << "Exec of another group does not count";
    std::ofstream(entry) << "[Desktop Entry]\nExec=\"/bin/sh\n";
    EXPECT_EQ(service.status(), LoginItemStatus::notFound) << "unterminated quote";
}

TEST(AutostartLoginItem, FailuresComeBackAsErrorsWithADescription) {
    testsupport::TemporaryDirectory home;
    const std::string blocker = home.path() + "/file";
    std::ofstream(blocker) << "x";
    AutostartLoginItemService blocked(blocker + "/autostart/tidemark.desktop", makeExecutable(home.path() + "/T"));
    auto error = blocked.registerItem();
    ASSERT_TRUE(error);
    EXPECT_FALSE(error->localizedDescription().empty());
    EXPECT_EQ(blocked.status(), LoginItemStatus::notRegistered);

    AutostartLoginItemService newline(home.path() + "/a.desktop", home.path() + "/bad\nExec=/bin/evil");
    error = newline.registerItem();
    ASSERT_TRUE(error) << "a path that would inject a line is refused";
    EXPECT_FALSE(platform::FileManager::defaultManager().fileExists(home.path() + "/a.desktop"));

    // A directory in the entry's place cannot be removed as a file.
    ::mkdir((home.path() + "/dir.desktop").c_str(), 0755);
    ::mkdir((home.path() + "/dir.desktop/x").c_str(), 0755);
    AutostartLoginItemService directory(home.path() + "/dir.desktop", "/bin/sh");
    EXPECT_TRUE(directory.unregisterItem());
}

TEST(AutostartLoginItem, MainAppUsesTheConfigHomeOfTheMoment) {
    testsupport::TemporaryDirectory home;
    testsupport::ScopedEnvironment config("XDG_CONFIG_HOME", home.path().c_str());
    auto service = platform::LoginItemService::mainApp();
    auto* autostart = dynamic_cast<AutostartLoginItemService*>(service.get());
    ASSERT_TRUE(autostart);
    EXPECT_EQ(autostart->entryPath(), home.path() + "/autostart/tidemark.desktop");
    ASSERT_FALSE(service->registerItem());
    EXPECT_EQ(service->status(), LoginItemStatus::enabled) << "the test executable itself";
    service->openSystemSettingsLoginItems();  // nothing to open; must not fail
}

TEST(AutostartLoginItem, AnInstalledPrefixStartsTheMenuCommandABuildTreeItsOwnPath) {
    testsupport::TemporaryDirectory root;
    namespace fs = std::filesystem;
    const std::string prefix = root.path() + "/usr";
    fs::create_directories(prefix + "/lib/tidemark");
    fs::create_directories(prefix + "/bin");
    const std::string real = makeExecutable(prefix + "/lib/tidemark/Tidemark");
    const std::string link = prefix + "/bin/tidemark";

    testsupport::ScopedEnvironment path("PATH", (prefix + "/bin:/usr/bin:/bin").c_str());
    EXPECT_EQ(AutostartLoginItemService::launchCommand(real), real) << "no link yet: not installed";
    fs::create_symlink("../lib/tidemark/Tidemark", link);
    EXPECT_EQ(AutostartLoginItemService::launchCommand(real), "tidemark");
    {
        testsupport::ScopedEnvironment otherPath("PATH", "/usr/bin:/bin");
        EXPECT_EQ(AutostartLoginItemService::launchCommand(real), link) << "PATH does not reach the prefix";
    }

    // An autostart entry that names the program is enabled while PATH finds it.
    AutostartLoginItemService service(root.path() + "/autostart/tidemark.desktop",
                                      AutostartLoginItemService::launchCommand(real));
    ASSERT_FALSE(service.registerItem());
    const auto contents = platform::FileManager::readFile(service.entryPath());
    ASSERT_TRUE(contents);
    EXPECT_NE(contents->find("\nExec=tidemark\n"), std::string::npos) << *contents;
    EXPECT_EQ(service.status(), LoginItemStatus::enabled);
    fs::remove(link);
    EXPECT_EQ(service.status(), LoginItemStatus::notFound) << "the package was removed";

    // The link leads elsewhere (another install), or the folder only looks like a prefix.
    const std::string other = makeExecutable(root.path() + "/other");
    fs::create_symlink(other, link);
    EXPECT_EQ(AutostartLoginItemService::launchCommand(real), real);
    fs::create_directories(root.path() + "/build/tidemark");
    const std::string lookalike = makeExecutable(root.path() + "/build/tidemark/Tidemark");
    EXPECT_EQ(AutostartLoginItemService::launchCommand(lookalike), lookalike);
    EXPECT_FALSE(AutostartLoginItemService::desktopEntry("tide mark")) << "a relative command with a space";
}
