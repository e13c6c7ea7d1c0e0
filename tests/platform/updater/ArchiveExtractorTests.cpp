#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "TestArchive.h"
#include "platform/FileManager.h"
#include "platform/updater/ArchiveExtractor.h"
#include "support/TestSupport.h"

using platform::ArchiveExtractor;
using updatertest::ArchiveEntry;
using updatertest::makeTarGz;
namespace fs = std::filesystem;

namespace {

// Writes the archive and unpacks it into <root>/out; returns the error text or "".
std::string extract(const testsupport::TemporaryDirectory& root, const std::vector<ArchiveEntry>& entries) {
    const std::string archive = root.path() + "/a.tar.gz";
    EXPECT_FALSE(platform::FileManager::writeAtomically(archive, makeTarGz(entries)));
    fs::remove_all(root.path() + "/out");
    fs::create_directory(root.path() + "/out");
    auto error = ArchiveExtractor::extractTarGz(archive, root.path() + "/out");
    return error ? error->description : "";
}

// Everything in the temporary folder apart from the archive and the output folder.
std::vector<std::string> strayFiles(const testsupport::TemporaryDirectory& root) {
    std::vector<std::string> stray;
    for (const auto& entry : fs::directory_iterator(root.path())) {
        const auto name = entry.path().filename().string();
        if (name != "a.tar.gz" && name != "out") stray.push_back(name);
    }
    return stray;
}

}  // namespace

TEST(ArchiveExtractor, UnpacksFoldersFilesAndInnerLinks) {
    testsupport::TemporaryDirectory root;
    const auto error = extract(root, {
                                         {"./", "", 0755, ArchiveEntry::Kind::directory},
                                         updatertest::executable("./Tidemark", "#!/bin/sh\n"),
                                         {"lib/sub/data.txt", "hello", 0644},
                                         {"lib/current", "sub", 0777, ArchiveEntry::Kind::symlink},
                                         {"lib/sub/up", "../../Tidemark", 0777, ArchiveEntry::Kind::symlink},
                                         {"lib/again.txt", "lib/sub/data.txt", 0644, ArchiveEntry::Kind::hardlink},
                                         {"setuid", "x", 04755},
                                     });
    ASSERT_EQ(error, "");
    const std::string out = root.path() + "/out";
    EXPECT_TRUE(platform::FileManager::defaultManager().isExecutableFile(out + "/Tidemark"));
    EXPECT_EQ(platform::FileManager::readFile(out + "/lib/current/data.txt"), "hello");
    EXPECT_EQ(platform::FileManager::readFile(out + "/lib/again.txt"), "hello");
    EXPECT_EQ(fs::read_symlink(out + "/lib/sub/up").string(), "../../Tidemark");
    struct stat info {};
    ASSERT_EQ(::stat((out + "/setuid").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0755u);  // set-user-ID dropped
}

TEST(ArchiveExtractor, RefusesEntriesThatReachOutsideTheFolder) {
    testsupport::TemporaryDirectory root;
    const std::vector<std::vector<ArchiveEntry>> hostile = {
        {{"../escaped", "x"}},
        {{"a/../../escaped", "x"}},
        {{root.path() + "/escaped", "x"}},
        {{"link", "..", 0777, ArchiveEntry::Kind::symlink}},
        {{"a/link", "../../escaped", 0777, ArchiveEntry::Kind::symlink}},
        {{"link", "/etc", 0777, ArchiveEntry::Kind::symlink}},
        // A link that is harmless on its own, then a file written through it.
        {{"link", "../", 0777, ArchiveEntry::Kind::symlink}, {"link/escaped", "x"}},
        {{"hard", "../escaped", 0644, ArchiveEntry::Kind::hardlink}},
        {{"hard", "/etc/passwd", 0644, ArchiveEntry::Kind::hardlink}},
        {{"pipe", "", 0644, ArchiveEntry::Kind::fifo}},
    };
    for (const auto& entries : hostile) {
        const auto error = extract(root, entries);
        EXPECT_TRUE(error.starts_with("The update archive could not be unpacked: ")) << entries.front().path << " " << error;
        EXPECT_TRUE(strayFiles(root).empty()) << entries.front().path;
    }

    EXPECT_TRUE(ArchiveExtractor::isSafeLinkTarget("a/b/link", "../c"));
    EXPECT_TRUE(ArchiveExtractor::isSafeLinkTarget("a/b/link", "../../c"));
    EXPECT_FALSE(ArchiveExtractor::isSafeLinkTarget("a/b/link", "../../../c"));
    EXPECT_FALSE(ArchiveExtractor::isSafeLinkTarget("link", "x/../../c"));
    EXPECT_TRUE(ArchiveExtractor::isSafeLinkTarget("./a/link", "./../b"));
}

TEST(ArchiveExtractor, ReportsTruncatedAndForeignFiles) {
    testsupport::TemporaryDirectory root;
    const std::string whole = makeTarGz({{"big", std::string(200000, 'x') + "tail"}, updatertest::executable("Tidemark", "#!/bin/sh\n")});
    const std::string archive = root.path() + "/a.tar.gz";
    fs::create_directory(root.path() + "/out");
    for (const std::string& bytes : {whole.substr(0, whole.size() / 2), whole.substr(0, whole.size() - 8),
                                     std::string("plain text, not an archive")}) {
        ASSERT_FALSE(platform::FileManager::writeAtomically(archive, bytes));
        auto error = ArchiveExtractor::extractTarGz(archive, root.path() + "/out");
        ASSERT_TRUE(error) << bytes.size();
        EXPECT_TRUE(error->description.starts_with("The update archive could not be unpacked: ")) << error->description;
    }
    EXPECT_TRUE(ArchiveExtractor::extractTarGz(root.path() + "/missing.tar.gz", root.path() + "/out"));
}
