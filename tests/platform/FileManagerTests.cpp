#include "platform/FileManager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "support/TestSupport.h"

using platform::FileManager;

namespace {

bool exists(const std::string& path) { return std::filesystem::exists(path); }

// A pid that certainly belongs to no process: a child we have reaped.
pid_t deadPid() {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    return pid;
}

}  // namespace

TEST(FileManager, StaleTemporariesOfDeadWritersAreRemoved) {
    testsupport::TemporaryDirectory folder;
    const std::string file = folder.path() + "/defaults.json";
    const std::string dead = file + ".tmp-" + std::to_string(deadPid()) + "-7";
    const std::string live = file + ".tmp-1-3";  // init never goes away
    const std::string own = file + ".tmp-" + std::to_string(::getpid()) + "-1";
    const std::string other = folder.path() + "/other.json.tmp-" + std::to_string(deadPid()) + "-1";
    const std::string odd = file + ".tmp-x-1";
    for (const auto& path : {file, dead, live, own, other, odd}) std::ofstream(path) << "{}";
    FileManager::removeStaleTemporaries(file);
    EXPECT_FALSE(exists(dead));
    EXPECT_TRUE(exists(file));
    EXPECT_TRUE(exists(live)) << "a writer that still runs keeps its temporary";
    EXPECT_TRUE(exists(own));
    EXPECT_TRUE(exists(other)) << "another file's temporaries are not ours";
    EXPECT_TRUE(exists(odd));
    FileManager::removeStaleTemporaries(folder.path() + "/missing/defaults.json");  // no folder: nothing
}

TEST(FileManager, PrivateDirectoryIsNarrowedAndEntriesAreListed) {
    testsupport::TemporaryDirectory folder;
    const std::string path = folder.path() + "/a/b";
    ASSERT_FALSE(FileManager::createPrivateDirectory(path));
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    ASSERT_EQ(::chmod(path.c_str(), 0777), 0);
    ASSERT_FALSE(FileManager::createPrivateDirectory(path));
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u) << "a widened folder is narrowed again";
    std::ofstream(path + "/x") << "1";
    std::ofstream(path + "/y") << "2";
    auto entries = FileManager::directoryEntries(path);
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::string>{path + "/x", path + "/y"}));
    EXPECT_TRUE(FileManager::directoryEntries(path + "/missing").empty());
    EXPECT_TRUE(FileManager::createPrivateDirectory(path + "/x").has_value()) << "a file is no folder";
}
