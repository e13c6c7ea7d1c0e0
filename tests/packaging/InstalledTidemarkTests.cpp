// Tidemark as a package installs it: `cmake --install --prefix /usr` into a temporary
// root, then run through <root>/usr/bin/tidemark with a temporary home.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/Environment.h"
#include "support/TestSupport.h"
#include "support/TidemarkRun.h"

namespace fs = std::filesystem;

namespace {

std::string slurp(const std::string& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

bool onPath(const std::string& program) {
    for (const char* directory : {"/usr/bin", "/bin", "/usr/sbin"})
        if (access((std::string(directory) + "/" + program).c_str(), X_OK) == 0) return true;
    return false;
}

// Live processes whose executable lies under the folder.
std::vector<int> processesRunningFrom(const std::string& folder) {
    std::vector<int> found;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code error;
        const auto exe = fs::read_symlink(entry.path() / "exe", error);
        if (!error && exe.string().rfind(folder + "/", 0) == 0 && testsupport::processAlive(std::stoi(name)))
            found.push_back(std::stoi(name));
    }
    return found;
}

size_t filesUnder(const std::string& folder) {
    size_t count = 0;
    for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it) ++count;
    return count;
}

class InstalledTidemark : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        root_ = new testsupport::TemporaryDirectory();
        auto environment = platform::processEnvironment();
        environment["DESTDIR"] = root_->path();
        install_ = new testsupport::ProgramRun(testsupport::runProgram(
            {TIDEMARK_CMAKE_COMMAND, "--install", TIDEMARK_BUILD_DIR, "--prefix", "/usr"}, environment));
    }
    static void TearDownTestSuite() {
        delete install_;
        delete root_;
    }
    void SetUp() override {
        ASSERT_EQ(install_->status, 0) << install_->out << install_->err;
    }

    static std::string root() { return root_->path(); }
    static std::string usr() { return root_->path() + "/usr"; }
    static std::string tidemark() { return usr() + "/bin/tidemark"; }

    // The link run by a user whose home is empty; a start that should not happen ends
    // by itself after a few seconds instead of hanging the test.
    static testsupport::ProgramRun runTidemark(const std::vector<std::string>& arguments, const std::string& home) {
        auto environment = platform::processEnvironment();
        environment["HOME"] = home;
        for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR", "XDG_CACHE_HOME", "DISPLAY",
                                 "WAYLAND_DISPLAY"})
            environment.erase(name);
        environment["TIDEMARK_UI"] = "headless";
        environment["TIDEMARK_TESTING"] = "1";
        environment["TIDEMARK_TEST_AUTO_QUIT_AFTER"] = "5";
        environment["TIDEMARK_TEST_PORT"] = std::to_string(testsupport::freeLoopbackPort());
        std::vector<std::string> argv{tidemark()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return testsupport::runProgram(argv, environment);
    }

private:
    static testsupport::TemporaryDirectory* root_;
    static testsupport::ProgramRun* install_;
};

testsupport::TemporaryDirectory* InstalledTidemark::root_ = nullptr;
testsupport::ProgramRun* InstalledTidemark::install_ = nullptr;

}  // namespace

TEST_F(InstalledTidemark, ProgramsLieTogetherBehindTheLinkAndTheDesktopFilesWhereTheDesktopLooks) {
    for (const char* program : {"Tidemark", "TidemarkServer", "tidemark-nettop"}) {
        const std::string path = usr() + "/lib/tidemark/" + program;
        EXPECT_TRUE(fs::is_regular_file(path)) << path;
        EXPECT_EQ(access(path.c_str(), X_OK), 0) << path;
    }
    EXPECT_TRUE(fs::is_regular_file(usr() + "/lib/tidemark/modules/tidemark-desktop.so")) << "the desktop backend module";
    EXPECT_TRUE(fs::is_regular_file(usr() + "/lib/tidemark/modules/tidemark-archive.so")) << "the unpacking module";
    ASSERT_TRUE(fs::is_symlink(tidemark()));
    EXPECT_EQ(fs::read_symlink(tidemark()), "../lib/tidemark/Tidemark") << "relative, so the tree can move";
    EXPECT_EQ(fs::canonical(tidemark()), fs::canonical(usr() + "/lib/tidemark/Tidemark"));

    const std::string share = usr() + "/share";
    for (const std::string file :
         {"/applications/io.github.tidemark.Tidemark.desktop", "/metainfo/io.github.tidemark.Tidemark.metainfo.xml",
          "/icons/hicolor/scalable/apps/tidemark.svg", "/icons/hicolor/symbolic/apps/tidemark-symbolic.svg",
          "/man/man1/tidemark.1.gz", "/doc/tidemark/copyright", "/doc/tidemark/changelog.gz"})
        EXPECT_TRUE(fs::is_regular_file(share + file)) << file;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const std::string png = share + "/icons/hicolor/" + std::to_string(size) + "x" + std::to_string(size) +
                                "/apps/tidemark.png";
        const std::string bytes = slurp(png);
        ASSERT_GE(bytes.size(), 24u) << png;
        EXPECT_EQ(bytes.substr(1, 3), "PNG") << png;
        // Width and height, big-endian, in the IHDR chunk.
        auto word = [&](size_t at) {
            return (unsigned(uint8_t(bytes[at])) << 24) | (unsigned(uint8_t(bytes[at + 1])) << 16) |
                   (unsigned(uint8_t(bytes[at + 2])) << 8) | unsigned(uint8_t(bytes[at + 3]));
        };
        EXPECT_EQ(word(16), unsigned(size)) << png;
        EXPECT_EQ(word(20), unsigned(size)) << png;
    }
    const std::string unit = slurp(usr() + "/lib/systemd/user/tidemark.service");
    EXPECT_NE(unit.find("\nExecStart=/usr/bin/tidemark\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("\nEnvironment=TIDEMARK_UI=headless\n"), std::string::npos);

    // The update feed belongs to self-updating copies, never to a package.
    for (auto it = fs::recursive_directory_iterator(root()); it != fs::recursive_directory_iterator(); ++it)
        EXPECT_NE(it->path().filename(), "Info.json") << it->path();
}

TEST_F(InstalledTidemark, CommandLineThroughTheLinkAnswersAndStartsNothing) {
    testsupport::TemporaryDirectory home;

    auto version = runTidemark({"--version"}, home.path());
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("Tidemark ") + TIDEMARK_VERSION + "\n");
    EXPECT_EQ(version.err, "");

    auto help = runTidemark({"--help"}, home.path());
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: tidemark", 0), 0u) << help.out;
    for (const char* mentioned : {"--version", "TIDEMARK_UI", "TIDEMARK_KEEP_POPOVER_OPEN", "defaults.json",
                                  "XDG_DATA_HOME", "journalctl --user -u tidemark"})
        EXPECT_NE(help.out.find(mentioned), std::string::npos) << mentioned;
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(runTidemark({"-h"}, home.path()).out, help.out);
    EXPECT_EQ(runTidemark({"--version", "--help"}, home.path()).out, help.out) << "help wins";

    for (const std::vector<std::string>& wrong :
         {std::vector<std::string>{"--bogus"}, {"--version", "extra"}, {"-"}, {""}, {"--"}}) {
        auto run = runTidemark(wrong, home.path());
        EXPECT_EQ(run.status, 64) << wrong.front();
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, help.out) << "the usage goes to standard error";
    }

    EXPECT_EQ(filesUnder(home.path()), 0u) << "no settings, data or runtime files were made";
    EXPECT_TRUE(processesRunningFrom(root()).empty()) << "no server or tool left behind";

    auto server = testsupport::runProgram({usr() + "/lib/tidemark/TidemarkServer", "--version"});
    EXPECT_EQ(server.status, 0);
    EXPECT_EQ(server.out, std::string("TidemarkServer ") + TIDEMARK_VERSION + "\n");
    EXPECT_EQ(testsupport::runProgram({usr() + "/lib/tidemark/TidemarkServer", "--port"}).status, 64);
    auto tool = testsupport::runProgram({usr() + "/lib/tidemark/tidemark-nettop", "--version"});
    EXPECT_EQ(tool.status, 64);
    EXPECT_EQ(tool.err, "usage: tidemark-nettop -P -L 1 -x -J bytes_in,bytes_out\n");
}

TEST_F(InstalledTidemark, HeadlessStartThroughTheLinkRunsTheServerBesideTheRealExecutable) {
    testsupport::TidemarkRunOptions options;
    options.executable = tidemark();
    testsupport::TidemarkRun run(options);
    ASSERT_TRUE(run.waitUntilHealthy(std::chrono::seconds(30))) << run.output();
    EXPECT_TRUE(run.waitForOutput("[Tidemark] Open the panel in a browser: " + run.baseURL() + "/login?token=",
                                  std::chrono::seconds(10)))
        << run.output();
    EXPECT_EQ(run.output().find("Attaching to external dev server"), std::string::npos) << run.output();

    const auto children = run.childPids();
    std::vector<std::string> programs;
    for (int child : children) {
        // A tool run may end between the listing and the look.
        std::error_code gone;
        auto program = fs::read_symlink("/proc/" + std::to_string(child) + "/exe", gone);
        if (!gone) programs.push_back(std::move(program));
    }
    EXPECT_NE(std::find(programs.begin(), programs.end(), usr() + "/lib/tidemark/TidemarkServer"), programs.end())
        << "the installed server, found beside the link's target";

    EXPECT_TRUE(run.stop()) << run.output();
    EXPECT_TRUE(testsupport::eventually([&] { return processesRunningFrom(root()).empty(); }, std::chrono::seconds(5)));
}

TEST_F(InstalledTidemark, DesktopEntryAndMetadataPassTheirValidators) {
    const std::string entry = usr() + "/share/applications/io.github.tidemark.Tidemark.desktop";
    if (!onPath("desktop-file-validate")) GTEST_SKIP() << "desktop-file-validate is not installed (desktop-file-utils)";
    auto desktop = testsupport::runProgram({"/usr/bin/desktop-file-validate", entry});
    EXPECT_EQ(desktop.status, 0) << desktop.out << desktop.err;
    EXPECT_EQ(desktop.out + desktop.err, "") << "not even a hint";
    const std::string text = slurp(entry);
    for (const char* line : {"\nName=Tidemark\n", "\nExec=tidemark\n", "\nIcon=tidemark\n",
                             "\nCategories=System;Monitor;\n", "\nStartupNotify=false\n", "\nKeywords="})
        EXPECT_NE(text.find(line), std::string::npos) << line;

    if (!onPath("appstreamcli")) GTEST_SKIP() << "appstreamcli is not installed (appstream)";
    // --no-net: the screenshot's address is not fetched; tests stay on this machine.
    const std::string metainfo = usr() + "/share/metainfo/io.github.tidemark.Tidemark.metainfo.xml";
    auto appstream = testsupport::runProgram({"/usr/bin/appstreamcli", "validate", "--no-net", "--explain", metainfo});
    EXPECT_EQ(appstream.status, 0) << appstream.out << appstream.err;
    const std::string metadata = slurp(metainfo);
    EXPECT_NE(metadata.find(std::string("<release version=\"") + TIDEMARK_VERSION + "\""), std::string::npos);
    EXPECT_NE(metadata.find("<binary>tidemark</binary>"), std::string::npos);
    EXPECT_NE(metadata.find("<launchable type=\"desktop-id\">io.github.tidemark.Tidemark.desktop</launchable>"),
              std::string::npos);
}

TEST_F(InstalledTidemark, UserUnitPassesSystemdVerification) {
    if (!onPath("systemd-analyze")) GTEST_SKIP() << "systemd-analyze is not installed";
    const std::string installed = slurp(usr() + "/lib/systemd/user/tidemark.service");
    const std::string exec = "\nExecStart=/usr/bin/tidemark\n";
    const auto at = installed.find(exec);
    ASSERT_NE(at, std::string::npos) << installed;
    // The unit as installed, except that its command points into the temporary root:
    // systemd-analyze checks that the command exists and that its man page opens, and
    // it cannot take a root folder for user units.
    testsupport::TemporaryDirectory scratch;
    std::string unit = installed;
    unit.replace(at, exec.size(), "\nExecStart=" + tidemark() + "\n");
    std::ofstream(scratch.path() + "/tidemark.service") << unit;
    fs::create_directories(scratch.path() + "/runtime");
    fs::permissions(scratch.path() + "/runtime", fs::perms::owner_all);
    auto environment = platform::processEnvironment();
    environment["XDG_RUNTIME_DIR"] = scratch.path() + "/runtime";
    environment["MANPATH"] = usr() + "/share/man";
    auto verify = testsupport::runProgram(
        {"/usr/bin/systemd-analyze", "verify", "--user", scratch.path() + "/tidemark.service"}, environment);
    if (verify.err.find("Failed to initialize manager") != std::string::npos)
        GTEST_SKIP() << "systemd cannot start a user manager for checking here: " << verify.err;
    EXPECT_EQ(verify.status, 0) << verify.err;
    EXPECT_EQ(verify.err, "") << "warnings (such as an unknown setting) count too";
}

// About a minute, mostly lintian: scripts/test.sh (and so CI) runs it, a plain ctest
// run while iterating does not.
TEST(DebianPackage, BuildsWithLibraryDependenciesPassesLintianAndRunsFromItsContents) {
    if (platform::environmentValue("TIDEMARK_PACKAGE_TEST") != "1")
        GTEST_SKIP() << "set TIDEMARK_PACKAGE_TEST=1 to build and check the .deb (scripts/test.sh does)";
    for (const char* tool : {"dpkg-deb", "dpkg-shlibdeps", "lintian"})
        if (!onPath(tool)) GTEST_SKIP() << tool << " is not installed (dpkg-dev, lintian)";
    testsupport::TemporaryDirectory output;
    auto built = testsupport::runProgram({TIDEMARK_CPACK_COMMAND, "--config", std::string(TIDEMARK_BUILD_DIR) +
                                          "/CPackConfig.cmake", "-G", "DEB", "-B", output.path()});
    ASSERT_EQ(built.status, 0) << built.out << built.err;
    std::string deb;
    for (const auto& entry : fs::directory_iterator(output.path()))
        if (entry.path().extension() == ".deb") deb = entry.path();
    ASSERT_EQ(fs::path(deb).filename().string(), std::string("tidemark_") + TIDEMARK_VERSION + "_amd64.deb")
        << built.out;

    auto field = [&](const std::string& name) {
        auto run = testsupport::runProgram({"/usr/bin/dpkg-deb", "--field", deb, name});
        return run.out.empty() ? run.out : run.out.substr(0, run.out.size() - 1);
    };
    EXPECT_EQ(field("Version"), TIDEMARK_VERSION);
    const std::string depends = field("Depends");
    for (const char* library : {"libc6 (", "libstdc++6 (", "libsqlite3-0 (", "libcairo2 (", "libarchive13 (",
                                "librsvg2-common"})
        EXPECT_NE(depends.find(library), std::string::npos) << library << " in " << depends;
    // libcurl is opened at run time, so dpkg-shlibdeps does not see it: it is named by hand,
    // once, and no packaged program links it.
    EXPECT_NE(depends.find("libcurl4 (>= 7.88)"), std::string::npos) << depends;
    EXPECT_EQ(depends.find("libcurl4"), depends.rfind("libcurl4")) << "named once: " << depends;
    auto control = testsupport::runProgram({"/usr/bin/dpkg-deb", "--ctrl-tarfile", deb});
    for (const char* script : {"./preinst", "./postinst", "./prerm", "./postrm"})
        EXPECT_EQ(control.out.find(script), std::string::npos) << "no maintainer scripts are needed";

    // Findings below warning level are explained in docs/packaging.md.
    auto lint = testsupport::runProgram({"/usr/bin/lintian", "--fail-on", "error,warning", deb});
    EXPECT_EQ(lint.status, 0) << lint.out << lint.err;

    const std::string root = output.path() + "/root";
    ASSERT_EQ(testsupport::runProgram({"/usr/bin/dpkg-deb", "-x", deb, root}).status, 0);
    EXPECT_EQ(fs::read_symlink(root + "/usr/bin/tidemark"), "../lib/tidemark/Tidemark");
    auto version = testsupport::runProgram({root + "/usr/bin/tidemark", "--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("Tidemark ") + TIDEMARK_VERSION + "\n");
    auto sections = testsupport::runProgram({"/usr/bin/readelf", "-S", "-W", root + "/usr/lib/tidemark/Tidemark"});
    EXPECT_EQ(sections.out.find(".debug_info"), std::string::npos) << "stripped";
    int programs = 0;
    for (const auto& entry : fs::recursive_directory_iterator(root + "/usr/lib/tidemark")) {
        if (!entry.is_regular_file()) continue;
        auto dynamic = testsupport::runProgram({"/usr/bin/readelf", "-d", "-W", entry.path()});
        if (dynamic.out.find("(NEEDED)") == std::string::npos) continue;
        ++programs;
        EXPECT_EQ(dynamic.out.find("libcurl"), std::string::npos) << entry.path() << " links libcurl";
    }
    EXPECT_GE(programs, 3) << "Tidemark, TidemarkServer and the modules";
    EXPECT_FALSE(fs::exists(root + "/usr/lib/tidemark/Info.json"));
}
