// The pure request checks, at their edges: what a browser, a sampler and an attacker send.
#include "RequestHeaders.h"

#include <gtest/gtest.h>

namespace {

std::vector<HeaderField> fields(std::initializer_list<std::pair<const char*, const char*>> list) {
    std::vector<HeaderField> result;
    for (const auto& [name, value] : list) result.push_back({name, value});
    return result;
}

}  // namespace

TEST(RequestHeaders, ReadsQueriesAndCookies) {
    EXPECT_EQ(RequestHeaders::queryOf("/login?token=AB&x=1#frag"), "token=AB&x=1");
    EXPECT_EQ(RequestHeaders::queryOf("/login"), "");
    EXPECT_EQ(RequestHeaders::queryValue("token=AB&x=1", "token"), "AB");
    EXPECT_EQ(RequestHeaders::queryValue("x=1&range=24h", "range"), "24h");
    EXPECT_EQ(RequestHeaders::queryValue("to%6Ben=a%2Bb+c", "token"), "a+b c");
    EXPECT_EQ(RequestHeaders::queryValue("token", "token"), "");
    EXPECT_EQ(RequestHeaders::queryValue("token=1&token=2", "token"), "1") << "the first one wins";
    EXPECT_FALSE(RequestHeaders::queryValue("tokens=1", "token"));
    for (const char* broken : {"token=%", "token=%4", "token=%zz", "token=ab%"}) {
        EXPECT_FALSE(RequestHeaders::queryValue(broken, "token")) << broken;
    }
    EXPECT_FALSE(RequestHeaders::queryValue("", "token"));

    EXPECT_EQ(RequestHeaders::cookieValue("a=1; tidemark_token=T; b=2", "tidemark_token"), "T");
    EXPECT_EQ(RequestHeaders::cookieValue(" tidemark_token = \"T\" ", "tidemark_token"), "T");
    EXPECT_EQ(RequestHeaders::cookieValue("tidemark_token=", "tidemark_token"), "");
    EXPECT_FALSE(RequestHeaders::cookieValue("xtidemark_token=T;tidemark_tokenx=T", "tidemark_token"));
    EXPECT_FALSE(RequestHeaders::cookieValue(";;;=;", "tidemark_token"));
    EXPECT_EQ(RequestHeaders::cookieValue("\"", "\""), std::nullopt);
}

TEST(RequestHeaders, AcceptsExactlyOneHostNamingUs) {
    EXPECT_TRUE(RequestHeaders::hostAllowed(fields({{"Host", "127.0.0.1:8080"}}), 8080));
    EXPECT_TRUE(RequestHeaders::hostAllowed(fields({{"host", "LocalHost:8080"}}), 8080));
    EXPECT_TRUE(RequestHeaders::hostAllowed(fields({{"Host", "localhost"}}), 80));
    for (const char* host : {"127.0.0.1", "localhost:80", "127.0.0.1:80800", "127.0.0.1:+8080", "127.0.0.1:",
                             "evil.example:8080", "127.0.0.1:8080.evil", "[::1]:8080", "127.0.0.2:8080", ""}) {
        EXPECT_FALSE(RequestHeaders::hostAllowed(fields({{"Host", host}}), 8080)) << host;
    }
    EXPECT_FALSE(RequestHeaders::hostAllowed({}, 8080));
    // A second Host header, even an identical one, is refused.
    EXPECT_FALSE(RequestHeaders::hostAllowed(fields({{"Host", "127.0.0.1:8080"}, {"Host", "evil.example"}}), 8080));
    EXPECT_FALSE(RequestHeaders::hostAllowed(fields({{"Host", "127.0.0.1:8080"}, {"HOST", "127.0.0.1:8080"}}), 8080));
}

TEST(RequestHeaders, CookieRequestsMustComeFromOurOwnPages) {
    const int port = 10000;
    auto from = [&](std::initializer_list<std::pair<const char*, const char*>> list, const char* method = "GET",
                    bool navigation = false) {
        return RequestHeaders::fromOwnOrigin(fields(list), method, navigation, port);
    };
    EXPECT_TRUE(RequestHeaders::isOwnOrigin("http://127.0.0.1:10000", port));
    EXPECT_TRUE(RequestHeaders::isOwnOrigin("HTTP://LOCALHOST:10000", port));
    for (const char* other : {"http://127.0.0.1:10001", "https://127.0.0.1:10000", "null", "", "http://127.0.0.1",
                              "http://127.0.0.1:10000/", "http://evil.example:10000", "http://"}) {
        EXPECT_FALSE(RequestHeaders::isOwnOrigin(other, port)) << other;
    }
    // The page's own fetches and form posts.
    EXPECT_TRUE(from({{"Sec-Fetch-Site", "same-origin"}, {"Sec-Fetch-Mode", "cors"}}));
    EXPECT_TRUE(from({{"Origin", "http://127.0.0.1:10000"}, {"Sec-Fetch-Site", "same-origin"}}, "PUT"));
    EXPECT_TRUE(from({{"Origin", "http://127.0.0.1:10000"}}, "PUT")) << "an engine without fetch metadata";
    // Another port of the same machine is the same site but not our origin.
    EXPECT_FALSE(from({{"Origin", "http://127.0.0.1:10001"}, {"Sec-Fetch-Site", "same-site"}}, "POST"));
    EXPECT_FALSE(from({{"Origin", "http://127.0.0.1:10001"}}, "PUT"));
    EXPECT_FALSE(from({{"Origin", "null"}}, "PUT"));
    EXPECT_FALSE(from({{"Sec-Fetch-Site", "same-site"}, {"Sec-Fetch-Mode", "cors"}}));
    EXPECT_FALSE(from({{"Sec-Fetch-Site", "cross-site"}, {"Sec-Fetch-Mode", "no-cors"}}));
    // A page route opened by a link elsewhere or typed in: a navigation, read only.
    EXPECT_TRUE(from({{"Sec-Fetch-Site", "cross-site"}, {"Sec-Fetch-Mode", "navigate"}}, "GET", true));
    EXPECT_TRUE(from({{"Sec-Fetch-Site", "none"}, {"Sec-Fetch-Mode", "navigate"}}, "GET", true));
    EXPECT_FALSE(from({{"Sec-Fetch-Site", "cross-site"}, {"Sec-Fetch-Mode", "navigate"}}, "GET", false));
    EXPECT_FALSE(from({{"Sec-Fetch-Site", "same-site"}, {"Sec-Fetch-Mode", "navigate"}}, "POST", true));
    EXPECT_FALSE(from({{"Sec-Fetch-Site", "none"}}, "PUT"));
    // No browser metadata at all: a program of the user's, allowed to read but not to write.
    EXPECT_TRUE(from({}));
    EXPECT_FALSE(from({}, "PUT"));
    // Repeated headers are ambiguous.
    EXPECT_FALSE(from({{"Sec-Fetch-Site", "same-origin"}, {"Sec-Fetch-Site", "cross-site"}}));
    EXPECT_FALSE(from({{"Origin", "http://127.0.0.1:10000"}, {"Origin", "http://127.0.0.1:10001"}}, "PUT"));
}
