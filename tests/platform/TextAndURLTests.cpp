#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/Bundle.h"
#include "platform/Text.h"
#include "platform/URL.h"
#include "support/TestSupport.h"

TEST(Text, LinesSplitAtEverySeparatorAndDropEmptyOnes) {
    using Lines = std::vector<std::string>;
    EXPECT_EQ(platform::splitLines("a\nb\n\nc"), (Lines{"a", "b", "c"}));
    EXPECT_EQ(platform::splitLines("x\r\ny\rz\r\n\r\n"), (Lines{"x", "y", "z"}));
    EXPECT_EQ(platform::splitLines("v\vf\fn\xc2\x85l\xe2\x80\xa8p\xe2\x80\xa9q"), (Lines{"v", "f", "n", "l", "p", "q"}));
    EXPECT_EQ(platform::splitLines("é\xe2\x80\xa7kept"), (Lines{"é\xe2\x80\xa7kept"})) << "U+2027 is not a separator";
    EXPECT_TRUE(platform::splitLines("\n\n").empty());
}

TEST(Text, Utf8ValidationRejectsMalformedSequences) {
    EXPECT_TRUE(platform::isValidUTF8("plain é ✓ 🌊"));
    for (const char* bad : {"\xff", "\xc0\xaf", "\xe0\x80\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82", "a\x80"})
        EXPECT_FALSE(platform::isValidUTF8(bad)) << bad;
    EXPECT_EQ(platform::encodeUTF8(*platform::decodeUTF8("Tide 🌊 ß")), "Tide 🌊 ß");
    EXPECT_TRUE(platform::isLetterOrNumber(U'ß'));
    EXPECT_TRUE(platform::isLetterOrNumber(U'٣'));  // Arabic-Indic digit three
    EXPECT_FALSE(platform::isLetterOrNumber(U'_'));
    EXPECT_FALSE(platform::isLetterOrNumber(U' '));
}

TEST(Text, CLocaleNumbers) {
    EXPECT_EQ(platform::parseCLocaleDouble("2.5"), 2.5);
    EXPECT_EQ(platform::parseCLocaleDouble("1e1"), 10.0);
    EXPECT_EQ(platform::parseCLocaleDouble(""), std::nullopt);
    EXPECT_EQ(platform::parseCLocaleDouble("2,5"), std::nullopt);
    EXPECT_EQ(platform::parseCLocaleDouble("5 "), std::nullopt);
}

TEST(URL, ParsesPartsAndAppendsPathComponents) {
    const auto url = platform::URL::parse("HTTP://127.0.0.1:10000/?surface=panel#top");
    ASSERT_TRUE(url);
    EXPECT_EQ(url->scheme(), "http");
    EXPECT_EQ(url->host(), "127.0.0.1");
    EXPECT_EQ(url->port(), 10000);
    EXPECT_EQ(url->path(), "/");
    EXPECT_EQ(url->query(), "surface=panel");
    const auto base = *platform::URL::parse("http://127.0.0.1:5230");
    EXPECT_EQ(base.appendingPathComponent("api/health").absoluteString(), "http://127.0.0.1:5230/api/health");
    EXPECT_EQ(platform::URL::parse("http://h/x/")->appendingPathComponent("/y").absoluteString(), "http://h/x/y");
    EXPECT_EQ(platform::URL::parse("https://user@[::1]:8443/p")->host(), "[::1]");
    EXPECT_EQ(platform::URL::parse("http://h:65535/")->port(), 65535);
    for (const char* bad : {"", "127.0.0.1:80", "http://", "http://:80/", "http://h:99x/", "://h", "http://h:65536/",
                            "http://h:100000/", "http://[::1]:70000/", "http://h:-1/"})
        EXPECT_EQ(platform::URL::parse(bad), std::nullopt) << bad;
}

TEST(Bundle, ReadsInfoJsonBesideTheExecutable) {
    testsupport::TemporaryDirectory dir;
    EXPECT_TRUE(platform::Bundle(dir.path() + "/Tidemark").infoDictionary().empty());
    std::ofstream(dir.path() + "/Info.json") << R"({"SUFeedURL": "http://127.0.0.1:1/feed.json", "n": 1})";
    const platform::Bundle bundle(dir.path() + "/Tidemark");
    EXPECT_EQ(bundle.executableDirectory(), dir.path());
    EXPECT_EQ(bundle.stringForInfoKey("SUFeedURL"), "http://127.0.0.1:1/feed.json");
    EXPECT_EQ(bundle.stringForInfoKey("n"), std::nullopt);
    std::ofstream(dir.path() + "/Info.json") << "not json";
    EXPECT_TRUE(platform::Bundle(dir.path() + "/Tidemark").infoDictionary().empty());
    EXPECT_FALSE(platform::Bundle::main().executablePath().empty());
}
