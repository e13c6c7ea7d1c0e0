#include "Authenticator.h"
#include "ServerConfig.h"

#include <gtest/gtest.h>

#include <map>

TEST(Authenticator, ComparesTokensAndAcceptsTheTokenOrTheSessionAsCookie) {
    Authenticator auth("SECRET", "SESSION");
    EXPECT_TRUE(auth.acceptsToken("SECRET"));
    for (const char* wrong : {"", "SECRE", "SECRETS", "secret", "SECRET\n"}) EXPECT_FALSE(auth.acceptsToken(wrong));
    EXPECT_TRUE(auth.acceptsAuthorization("Bearer SECRET"));
    EXPECT_TRUE(auth.acceptsAuthorization("BEARER   SECRET "));
    EXPECT_FALSE(auth.acceptsAuthorization("BearerSECRET"));
    EXPECT_FALSE(auth.acceptsAuthorization("Bearer "));
    EXPECT_FALSE(auth.acceptsAuthorization("Token SECRET"));
    // The session opens the page but is never a bearer token.
    EXPECT_FALSE(auth.acceptsAuthorization("Bearer SESSION"));
    EXPECT_TRUE(auth.acceptsPageCookies({"a=1; tidemark_token=SECRET; b=2"}));
    EXPECT_TRUE(auth.acceptsPageCookies({"tidemark_token=\"SECRET\""}));
    EXPECT_TRUE(auth.acceptsPageCookies({"theme=dark", "tidemark_session=SESSION"}));
    EXPECT_FALSE(auth.acceptsPageCookies({"tidemark_session=SECRET"}));
    EXPECT_FALSE(auth.acceptsPageCookies({"tidemark_token=SESSION"}));
    EXPECT_FALSE(auth.acceptsPageCookies({"xtidemark_token=SECRET"}));
    EXPECT_FALSE(auth.acceptsPageCookies({"tidemark_token=SECRETX"}));
    EXPECT_FALSE(auth.acceptsPageCookies({""}));
    EXPECT_FALSE(auth.acceptsPageCookies({}));
    // An empty token or session accepts nothing, not even an empty candidate.
    Authenticator none("", "");
    EXPECT_FALSE(none.acceptsToken(""));
    EXPECT_FALSE(none.acceptsAuthorization("Bearer "));
    EXPECT_FALSE(none.acceptsPageCookies({"tidemark_token=", "tidemark_session="}));
    // Fresh sessions are 32 hexadecimal digits and differ.
    const std::string a = Authenticator::randomSecret(), b = Authenticator::randomSecret();
    EXPECT_EQ(a.size(), 32u);
    EXPECT_EQ(a.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_NE(a, b);
    EXPECT_NE(Authenticator("T").sessionSecret(), Authenticator("T").sessionSecret());
}

TEST(ServerConfig, ReadsTheEnvironment) {
    auto config = [](std::map<std::string, std::string> env, std::string* error = nullptr) {
        std::string e;
        auto result = ServerConfig::fromEnvironment(
            [&](const std::string& name) -> std::optional<std::string> {
                auto it = env.find(name);
                return it == env.end() ? std::nullopt : std::optional(it->second);
            },
            e);
        if (error) *error = e;
        return result;
    };
    auto full = config({{"TIDEMARK_SERVER_TOKEN", "T"}, {"PORT", "4000"}, {"TIDEMARK_PORT", "5000"},
                        {"TIDEMARK_DATA_DIR", "/d"}, {"TIDEMARK_PROCESS_METRICS", "1"}});
    ASSERT_TRUE(full);
    EXPECT_EQ(full->port, 4000);
    EXPECT_EQ(full->token, "T");
    EXPECT_EQ(full->dataDirectory, "/d");
    EXPECT_TRUE(full->processMetricsEnabled);
    EXPECT_EQ(config({{"TIDEMARK_PORT", "5000"}})->port, 5000);
    EXPECT_EQ(config({})->port, 5230);
    EXPECT_FALSE(config({{"TIDEMARK_PROCESS_METRICS", "true"}})->processMetricsEnabled);
    std::string error;
    for (const char* bad : {"0", "65536", "12a", "-1", " 80"}) {
        EXPECT_FALSE(config({{"PORT", bad}}, &error)) << bad;
        EXPECT_NE(error.find("invalid port"), std::string::npos);
    }
}
