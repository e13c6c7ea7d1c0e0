#include <gtest/gtest.h>

#include "platform/updater/DottedVersion.h"
#include "platform/updater/SHA256.h"
#include "platform/updater/UpdateFeedItem.h"

using platform::DottedVersion;
using platform::UpdateFeedItem;

namespace {

DottedVersion v(const std::string& text) {
    auto parsed = DottedVersion::parse(text);
    EXPECT_TRUE(parsed) << text;
    return parsed.value_or(DottedVersion());
}

const std::string digest(64, 'a');

}  // namespace

TEST(DottedVersion, ComparesNumberByNumber) {
    EXPECT_GT(v("1.10"), v("1.9"));  // not text order
    EXPECT_GT(v("0.2.0"), v("0.1.99"));
    EXPECT_EQ(v("1.2"), v("1.2.0"));
    EXPECT_EQ(v("1.2.0.0"), v("1.2"));
    EXPECT_LT(v("1.2"), v("1.2.1"));
    EXPECT_GT(v("2"), v("1.999.999"));
    EXPECT_EQ(v("007.1"), v("7.1"));
    EXPECT_GT(v("18446744073709551615"), v("18446744073709551614"));

    for (const char* bad : {"", ".", "1.", ".1", "1..2", "1.a", "v1.2", "-1", "+1", "1.2-beta", " 1.2", "1.2 ",
                            "18446744073709551616"})
        EXPECT_FALSE(DottedVersion::parse(bad)) << bad;
}

TEST(UpdateFeedItem, ParsesTheFeedObjectAndRejectsEverythingElse) {
    auto good = UpdateFeedItem::parse(R"x({"version":"2.3.0","displayVersion":"2.3 (beta)",
        "url":"https://example.org/Tidemark-2.3.0.tar.gz","sha256":")x" + std::string(64, 'A') + R"(","extra":1})");
    ASSERT_TRUE(std::holds_alternative<UpdateFeedItem>(good)) << std::get<platform::Error>(good).description;
    const auto& item = std::get<UpdateFeedItem>(good);
    EXPECT_EQ(item.version, "2.3.0");
    EXPECT_EQ(item.displayVersion, "2.3 (beta)");
    EXPECT_EQ(item.sha256, digest);  // lower-cased for comparison
    EXPECT_EQ(item.dottedVersion(), v("2.3"));

    auto noDisplay = UpdateFeedItem::parse(R"({"version":"2.3.0","url":"http://h/a.tar.gz","sha256":")" + digest + "\"}");
    ASSERT_TRUE(std::holds_alternative<UpdateFeedItem>(noDisplay));
    EXPECT_EQ(std::get<UpdateFeedItem>(noDisplay).displayVersion, "2.3.0");

    const std::string rest = R"(,"url":"http://h/a.tar.gz","sha256":")" + digest + "\"}";
    for (const std::string& bad : {
             std::string("not json"),
             std::string("[1,2]"),
             std::string(R"({"version":"2.3.0"})"),
             R"({"version":2.3)" + rest,
             R"({"version":"2.3-beta")" + rest,
             R"({"version":"2.3","displayVersion":5)" + rest,
             R"({"version":"2.3","url":"file:///etc/passwd","sha256":")" + digest + "\"}",
             R"({"version":"2.3","url":"Tidemark.tar.gz","sha256":")" + digest + "\"}",
             std::string(R"({"version":"2.3","url":"http://h/a.tar.gz","sha256":"abc"})"),
             R"({"version":"2.3","url":"http://h/a.tar.gz","sha256":")" + std::string(63, 'a') + "g\"}",
         }) {
        const auto parsed = UpdateFeedItem::parse(bad);
        ASSERT_TRUE(std::holds_alternative<platform::Error>(parsed)) << bad;
        EXPECT_TRUE(std::get<platform::Error>(parsed).description.starts_with("The update feed is not valid: ")) << bad;
    }
}

TEST(SHA256, MatchesKnownDigests) {
    EXPECT_EQ(platform::sha256HexDigest(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(platform::sha256HexDigest("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_FALSE(platform::sha256HexDigestOfFile("/nonexistent/file"));
}
