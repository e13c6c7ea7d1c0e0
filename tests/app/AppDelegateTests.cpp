#include "app/AppDelegate.h"

#include <gtest/gtest.h>

TEST(AppDelegate, AutoQuitValueMustBeOneWholeNumber) {
    EXPECT_EQ(AppDelegate::parseAutoQuitAfter("5"), 5.0);
    EXPECT_EQ(AppDelegate::parseAutoQuitAfter("2.5"), 2.5);
    EXPECT_EQ(AppDelegate::parseAutoQuitAfter("1e1"), 10.0);
    EXPECT_EQ(AppDelegate::parseAutoQuitAfter("-3"), -3.0);  // parses; the caller requires > 0
    for (const char* bad : {"", " 5", "\t5", "\n5", "5s", "5 ", "abc", ".", "e5", "5,5"})
        EXPECT_EQ(AppDelegate::parseAutoQuitAfter(bad), std::nullopt) << '"' << bad << '"';
}
