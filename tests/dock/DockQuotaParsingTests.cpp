#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dock/DockQuotaIconController.h"
#include "dock/DockQuotaText.h"

using nlohmann::json;

namespace {

json provider(const std::string& id, const std::string& name = "Claude") {
    return json{{"id", id}, {"name", name}, {"color", "#D97757"}, {"status", "ok"}, {"percent", 42},
                {"displayValue", "42%"}};
}

json enabledPayload(json providers, const std::string& selection = "auto") {
    return json{{"enabled", true}, {"selection", selection}, {"providers", std::move(providers)}};
}

struct StateCase {
    const char* title;
    json payload;
    bool valid;
    size_t providerCount = 0;
};

}  // namespace

TEST(DockQuotaParsing, StateValidity) {
    json many = json::array();
    for (int i = 0; i < 33; ++i) many.push_back(provider(std::string("p").append(std::to_string(i))));
    json thirtyTwoWithFiveBad = json::array();
    for (int i = 0; i < 32; ++i) {
        json p = provider(std::string("p").append(std::to_string(i)));
        if (i % 7 == 0) p["status"] = "warning";
        thirtyTwoWithFiveBad.push_back(p);
    }
    json withString = json::array({provider("a"), "b", provider("c")});

    const std::vector<StateCase> cases = {
        {"only enabled false", json{{"enabled", false}}, true},
        {"enabled number 0", json{{"enabled", 0}}, true},
        {"enabled 0.7 truncates to 0", json{{"enabled", 0.7}}, true},
        {"enabled false ignores garbage", json{{"enabled", false}, {"selection", 5}, {"providers", "x"}}, true},
        {"enabled number 2", json{{"enabled", 2}}, false},
        {"enabled -1", json{{"enabled", -1}}, false},
        {"enabled string true", json{{"enabled", "true"}}, false},
        {"enabled null", json{{"enabled", nullptr}}, false},
        {"empty object", json::object(), false},
        {"not an object", json::array({true}), false},
        {"a string", json("enabled"), false},
        {"four keys though disabled", json{{"enabled", false}, {"a", 1}, {"b", 2}, {"c", 3}}, false},
        {"auto with empty providers", enabledPayload(json::array()), true, 0},
        {"enabled 1 counts as true", json{{"enabled", 1}, {"selection", "auto"}, {"providers", json::array()}}, true},
        {"selection missing", json{{"enabled", true}, {"providers", json::array()}}, false},
        {"selection Auto", enabledPayload(json::array(), "Auto"), false},
        {"selection with underscore", enabledPayload(json::array(), "my_provider"), false},
        {"selection not naming a provider", enabledPayload(json::array({provider("a")}), "zz-9"), true, 1},
        {"selection of 64", enabledPayload(json::array(), std::string(64, 'a')), true},
        {"selection of 65", enabledPayload(json::array(), std::string(65, 'a')), false},
        {"selection empty", enabledPayload(json::array(), ""), false},
        {"selection with final line break", enabledPayload(json::array(), "abc\n"), false},
        {"selection a number", json{{"enabled", true}, {"selection", 3}, {"providers", json::array()}}, false},
        {"providers missing", json{{"enabled", true}, {"selection", "auto"}}, false},
        {"providers an object", json{{"enabled", true}, {"selection", "auto"}, {"providers", json::object()}}, false},
        {"33 providers", enabledPayload(many), false},
        {"32 with 5 malformed", enabledPayload(thirtyTwoWithFiveBad), true, 27},
        {"a string among objects", enabledPayload(withString), false},
        {"duplicate ids keep the first", enabledPayload(json::array({provider("a", "First"), provider("a", "Second")})),
         true, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        auto state = DockQuotaIconController::parseState(c.payload);
        ASSERT_EQ(state.has_value(), c.valid);
        if (!state) continue;
        if (!state->enabled) {
            EXPECT_EQ(state->selection, "auto");
            EXPECT_TRUE(state->providers.empty());
        } else {
            EXPECT_EQ(state->providers.size(), c.providerCount);
        }
    }

    auto dup = DockQuotaIconController::parseState(enabledPayload(json::array({provider("a", "First"),
                                                                               provider("a", "Second")})));
    ASSERT_TRUE(dup);
    EXPECT_EQ(dup->providers[0].name, "First");
    auto kept = DockQuotaIconController::parseState(enabledPayload(thirtyTwoWithFiveBad));
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->providers.front().id, "p1");  // order kept, bad ones dropped
    EXPECT_EQ(kept->providers.back().id, "p31");
}

TEST(DockQuotaParsing, ProviderRules) {
    struct ProviderCase {
        const char* title;
        std::function<void(json&)> change;
        bool kept;
    };
    const std::vector<ProviderCase> cases = {
        {"as is", [](json&) {}, true},
        {"status warning", [](json& p) { p["status"] = "warning"; }, false},
        {"status not_configured", [](json& p) { p["status"] = "not_configured"; }, true},
        {"status error", [](json& p) { p["status"] = "error"; }, true},
        {"status OK", [](json& p) { p["status"] = "OK"; }, false},
        {"five hex digits", [](json& p) { p["color"] = "#12345"; }, false},
        {"no hash", [](json& p) { p["color"] = "D97757"; }, false},
        {"colour with line break", [](json& p) { p["color"] = "#D97757\n"; }, false},
        {"id with upper case", [](json& p) { p["id"] = "Claude"; }, false},
        {"id with final line break", [](json& p) { p["id"] = "claude\n"; }, false},
        {"id of 65", [](json& p) { p["id"] = std::string(65, 'x'); }, false},
        {"id a number", [](json& p) { p["id"] = 7; }, false},
        {"name missing", [](json& p) { p.erase("name"); }, false},
        {"name only spaces", [](json& p) { p["name"] = "  \t\n "; }, false},
        {"name of 40", [](json& p) { p["name"] = std::string(40, 'n'); }, true},
        {"name of 41", [](json& p) { p["name"] = std::string(41, 'n'); }, false},
        // 40 flags of two code points each: 40 characters, 320 bytes.
        {"name of 40 flags", [](json& p) {
             std::string s;
             for (int i = 0; i < 40; ++i) s += "\U0001F1EB\U0001F1F7";
             p["name"] = s;
         }, true},
        {"name of 41 accented letters", [](json& p) {
             std::string s;
             for (int i = 0; i < 41; ++i) s += "e\u0301";
             p["name"] = s;
         }, false},
        {"display value of 24", [](json& p) { p["displayValue"] = std::string(24, '9'); }, true},
        {"display value of 25", [](json& p) { p["displayValue"] = std::string(25, '9'); }, false},
        {"display value of 25 with padding",
         [](json& p) { p["displayValue"] = "\u3000 " + std::string(24, '9') + "\u2028"; }, true},
        {"display value empty", [](json& p) { p["displayValue"] = ""; }, true},
        {"display value missing", [](json& p) { p.erase("displayValue"); }, false},
        {"seven keys", [](json& p) { p["extra"] = 1; }, false},
        {"five named and one extra", [](json& p) {
             p.erase("percent");
             p["extra"] = 1;
         }, true},
        {"percent a string", [](json& p) { p["percent"] = "50"; }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        json p = provider("claude");
        c.change(p);
        EXPECT_EQ(DockQuotaIconController::parseProvider(p).has_value(), c.kept);
        auto state = DockQuotaIconController::parseState(enabledPayload(json::array({p})));
        ASSERT_TRUE(state);  // a bad provider never makes the payload invalid
        EXPECT_EQ(state->providers.size(), c.kept ? 1u : 0u);
    }
}

TEST(DockQuotaParsing, StoredValues) {
    auto parse = [](std::function<void(json&)> change) {
        json p = provider("claude");
        change(p);
        return DockQuotaIconController::parseProvider(p);
    };
    EXPECT_EQ(parse([](json& p) { p["percent"] = 150; })->percent, 100.0);
    EXPECT_EQ(parse([](json& p) { p["percent"] = -3; })->percent, 0.0);
    EXPECT_EQ(parse([](json& p) { p["percent"] = 12.5; })->percent, 12.5);
    EXPECT_EQ(parse([](json& p) { p["percent"] = "12"; })->percent, std::nullopt);
    EXPECT_EQ(parse([](json& p) { p["percent"] = true; })->percent, std::nullopt);
    EXPECT_EQ(parse([](json& p) { p["percent"] = nullptr; })->percent, std::nullopt);
    EXPECT_EQ(parse([](json& p) { p.erase("percent"); })->percent, std::nullopt);

    auto trimmed = parse([](json& p) {
        p["name"] = " \u00a0 Open AI\t\r\n";
        p["displayValue"] = "\n 3 / 5 \u2029";
        p["color"] = "#aBcDeF";
    });
    ASSERT_TRUE(trimmed);
    EXPECT_EQ(trimmed->name, "Open AI");
    EXPECT_EQ(trimmed->displayValue, "3 / 5");
    EXPECT_EQ(trimmed->color, "#aBcDeF");
    EXPECT_EQ(trimmed->id, "claude");
    EXPECT_EQ(trimmed->status, "ok");
}

TEST(DockQuotaParsing, BoolValue) {
    json t = true, f = false, one = 1, zero = 0, two = 2, oneAndHalf = 1.9, minusHalf = -0.5, word = "true";
    json unsignedOne = json::number_unsigned_t{1}, big = 1e300;
    EXPECT_EQ(DockQuotaIconController::boolValue(nullptr), std::nullopt);
    EXPECT_EQ(DockQuotaIconController::boolValue(&t), true);
    EXPECT_EQ(DockQuotaIconController::boolValue(&f), false);
    EXPECT_EQ(DockQuotaIconController::boolValue(&one), true);
    EXPECT_EQ(DockQuotaIconController::boolValue(&unsignedOne), true);
    EXPECT_EQ(DockQuotaIconController::boolValue(&zero), false);
    EXPECT_EQ(DockQuotaIconController::boolValue(&two), std::nullopt);
    EXPECT_EQ(DockQuotaIconController::boolValue(&oneAndHalf), true);
    EXPECT_EQ(DockQuotaIconController::boolValue(&minusHalf), false);
    EXPECT_EQ(DockQuotaIconController::boolValue(&big), std::nullopt);
    EXPECT_EQ(DockQuotaIconController::boolValue(&word), std::nullopt);
}

TEST(DockQuotaText, GraphemesAndTrimming) {
    EXPECT_EQ(DockQuotaText::characterCount("e\u0301\U0001F1EB\U0001F1F7\U0001F469\u200D\U0001F4BB"), 3u);
    EXPECT_EQ(DockQuotaText::prefix("a\U0001F1EB\U0001F1F7bc", 2), "a\U0001F1EB\U0001F1F7");
    EXPECT_EQ(DockQuotaText::droppingFirst("\U0001F1EB\U0001F1F7#1"), "#1");
    EXPECT_EQ(DockQuotaText::uppercased("claude \u00e9"), "CLAUDE \u00c9");
    EXPECT_EQ(DockQuotaText::trimmed("\u0085\u200a x \u3000"), "x");
    // Not white space: a zero-width space stays.
    EXPECT_EQ(DockQuotaText::trimmed("\u200bx"), "\u200bx");
    EXPECT_EQ(DockQuotaText::trimmed(std::string("\xff", 1)), std::nullopt);
}
