#include "kes/KESVALUE.h"

#include <gtest/gtest.h>

namespace Norvane {
namespace {

struct Utf8Case {
    const char* what;
    std::string input;
    std::string expected;
};

const std::string kFFFD = "\xEF\xBF\xBD";

class EnsureUTF8Test : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(EnsureUTF8Test, KeepsValidTextAndReplacesEachIllFormedSequence) {
    const auto& c = GetParam();
    EXPECT_EQ(KESVALUE::EnsureUTF8(c.input), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EnsureUTF8Test,
    ::testing::Values(
        Utf8Case{"empty", "", ""},
        Utf8Case{"ASCII with NUL", std::string("a\0b", 3), std::string("a\0b", 3)},
        Utf8Case{"two, three and four byte characters", "\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80",
                 "\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80"},
        Utf8Case{"largest code point U+10FFFF", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
        Utf8Case{"stray continuation byte between valid text",
                 "ab\x80"
                 "cd",
                 "ab" + kFFFD + "cd"},
        Utf8Case{"Latin-1 byte", "caf\xE9!", "caf" + kFFFD + "!"},
        Utf8Case{"bytes that never start a sequence", "\xC0\xC1\xF5\xFF",
                 kFFFD + kFFFD + kFFFD + kFFFD},
        Utf8Case{"overlong two-byte form of '/'", "\xC0\xAF", kFFFD + kFFFD},
        Utf8Case{"overlong three-byte form", "\xE0\x80\xAF", kFFFD + kFFFD + kFFFD},
        Utf8Case{"UTF-16 surrogate", "x\xED\xA0\x80y", "x" + kFFFD + kFFFD + kFFFD + "y"},
        Utf8Case{"above U+10FFFF", "\xF4\x90\x80\x80", kFFFD + kFFFD + kFFFD + kFFFD},
        Utf8Case{"truncated at the end", "ok\xE2\x82", "ok" + kFFFD},
        Utf8Case{"truncated before ASCII keeps the ASCII",
                 "\xF0\x9F\x98"
                 "A",
                 kFFFD + "A"},
        Utf8Case{"truncated before another character keeps it", "\xE2\x82\xC3\xA4",
                 kFFFD + "\xC3\xA4"}));

TEST(KESVALUETest, PayloadMustFitTheType) {
    const KESVALUE text(KesValueType::Text, std::string("1"));
    EXPECT_EQ(text.GetType(), KesValueType::Text);
    EXPECT_EQ(text.GetText(), "1");

    const KESVALUE mismatch(KesValueType::Text, std::int64_t{1});
    EXPECT_TRUE(mismatch.IsEmpty());
    EXPECT_EQ(mismatch.GetText(), "");

    EXPECT_EQ(KESVALUE(KesValueType::Int, std::int64_t{5}),
              KESVALUE(KesValueType::Int, std::int64_t{5}));
    EXPECT_FALSE(KESVALUE(KesValueType::Int, std::int64_t{5}) ==
                 KESVALUE(KesValueType::Int, std::int64_t{6}));
}

}  // namespace
}  // namespace Norvane
