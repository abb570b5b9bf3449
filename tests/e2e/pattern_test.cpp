// The end-to-end tests' regular expressions: where the POSIX syntax and
// matcher differ from what a reader of the patterns might expect.
#include "tests/e2e/pattern.hpp"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <string>

namespace {

using e2e::Pattern;

TEST(Pattern, SearchFindsTheLeftmostMatchAndItsGroups) {
    const Pattern p("thread ([0-9]+) panic: (x)?([a-z]+)\n");
    const std::string text = "thread 12 panic: first\nthread 34 panic: second\n";
    const auto m = p.search(text);
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->position(), 0u);
    EXPECT_EQ(m->length(), 23u);
    EXPECT_EQ(m->str(), "thread 12 panic: first\n");
    EXPECT_EQ(m->str(1), "12");
    EXPECT_FALSE(m->matched(2));
    EXPECT_EQ(m->view(2), "");
    EXPECT_TRUE(m->matched(3));
    EXPECT_EQ(m->str(3), "first");
    EXPECT_FALSE(m->matched(4));
    const auto later = p.search(text, 1);
    ASSERT_TRUE(later.has_value());
    EXPECT_EQ(later->position(), 23u);
    EXPECT_EQ(later->str(1), "34");
    EXPECT_FALSE(p.search(text, 24).has_value());
    EXPECT_FALSE(p.foundIn("thread x panic: first\n"));
}

TEST(Pattern, AnchorsHoldOnlyAtTheEndsOfTheWholeText) {
    EXPECT_FALSE(Pattern("^b").foundIn("a\nb"));
    EXPECT_FALSE(Pattern("a$").foundIn("a\nb"));
    EXPECT_TRUE(Pattern("^a\nb$").foundIn("a\nb"));
    // A search from inside the text sees what lies before it.
    EXPECT_FALSE(Pattern("^b").search("ab", 1).has_value());
    EXPECT_TRUE(Pattern("^a").search("ab", 0).has_value());
}

// Why patterns that stay within a line spell it "[^\n]".
TEST(Pattern, DotAndNegatedBracketsMatchANewline) {
    EXPECT_TRUE(Pattern("a.b").foundIn("a\nb"));
    EXPECT_TRUE(Pattern("a[^x]b").foundIn("a\nb"));
    EXPECT_FALSE(Pattern("a[^\n]b").foundIn("a\nb"));
}

TEST(Pattern, TextWithZeroBytesIsSearchedWhole) {
    const std::string text("a\0bc", 4);
    const auto m = Pattern("c").search(text);
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->position(), 3u);
}

TEST(Pattern, MatchesTheLongestAlternative) {
    // Leftmost-longest, not the first alternative that matches.
    const auto m = Pattern("a|ab").search("xab");
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->str(), "ab");
}

TEST(Pattern, BackReferencesRepeatAGroup) {
    const Pattern p("0x([0-9a-f]+) and 0x\\1\n");
    EXPECT_TRUE(p.foundIn("0x1f and 0x1f\n"));
    EXPECT_FALSE(p.foundIn("0x1f and 0x1e\n"));
}

TEST(Pattern, FindAllContinuesWhereEachMatchEnded) {
    const auto all = Pattern(": 0x([0-9a-f]+) in ").findAll("a: 0x10 in f\nb: 0x2f in g\n: 0x in h\n");
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].str(1), "10");
    EXPECT_EQ(all[1].str(1), "2f");
    EXPECT_EQ(all[1].position(), 14u);
    // An anchored pattern matches once, not again after its own match.
    EXPECT_EQ(Pattern("^x").findAll("xxx").size(), 1u);
    // Empty matches end too.
    EXPECT_EQ(Pattern("y*").findAll("ab").size(), 3u);
}

TEST(Pattern, ReplaceAllReplacesEveryMatchAndKeepsTheRest) {
    const Pattern address("0x[0-9a-f]+");
    EXPECT_EQ(address.replaceAll("at 0x12ab in f, 0xff\n", "0x?"), "at 0x? in f, 0x?\n");
    EXPECT_EQ(address.replaceAll("no address", "0x?"), "no address");
}

TEST(Pattern, LiteralMatchesOnlyItself) {
    const std::string text = R"(/a.b/c+d(e)[f]{g}|^h$\i*?)";
    const Pattern p("^" + e2e::literal(text) + "$");
    EXPECT_TRUE(p.foundIn(text));
    EXPECT_FALSE(p.foundIn(R"(/axb/c+d(e)[f]{g}|^h$\i*?)"));
    EXPECT_FALSE(p.foundIn(R"(/a.b/ccd(e)[f]{g}|^h$\i*?)"));
}

TEST(Pattern, APatternThatDoesNotCompileFailsTheTest) {
    EXPECT_NONFATAL_FAILURE(
        {
            const Pattern broken("a(b");
            EXPECT_FALSE(broken.foundIn("a(b"));
        },
        "does not compile");
}

}  // namespace
