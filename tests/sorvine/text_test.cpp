// Text below the parser: UTF-8 decoding, grapheme clusters and blank trimming.
#include <gtest/gtest.h>

#include "sorvine/blank.h"
#include "sorvine/grapheme.h"
#include "sorvine/utf8.h"

using namespace sorvine;

TEST(DecodeUtf8, EachMaximalInvalidSubpartBecomesOneReplacement) {
    const std::string r = "\xEF\xBF\xBD";
    EXPECT_EQ(decodeUtf8("plain \xC3\xA9 \xF0\x9F\x98\x80"), "plain \xC3\xA9 \xF0\x9F\x98\x80");
    EXPECT_EQ(decodeUtf8("a\xFF"
                         "b"),
              "a" + r + "b");
    EXPECT_EQ(decodeUtf8("\xE2\x82"
                         "A"),
              r + "A");                                        // truncated: one
    EXPECT_EQ(decodeUtf8("\xF0\x9F\x98"), r);                  // truncated at the end
    EXPECT_EQ(decodeUtf8("\xC0\xAF"), r + r);                  // overlong lead
    EXPECT_EQ(decodeUtf8("\xED\xA0\x80"), r + r + r);          // surrogate
    EXPECT_EQ(decodeUtf8("\xF4\x90\x80\x80"), r + r + r + r);  // above U+10FFFF
    EXPECT_EQ(decodeUtf8("\x80\x80"), r + r);
}

TEST(Graphemes, ClustersThatMatter) {
    struct Case {
        const char* name;
        std::string text;
        int64_t count;
    };
    const Case cases[] = {
        {"ascii", "abc", 3},
        {"CR LF is one", "a\r\nb", 3},
        {"LF CR is two", "\n\r", 2},
        {"combining acute", "e\xCC\x81", 1},
        {"two combining marks", "a\xCC\x81\xCC\xA3z", 2},
        {"mark after control stands alone", "\n\xCC\x81", 2},
        {"ZWJ family", "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7",
         1},
        {"ZWJ between letters does not join",
         "a\xE2\x80\x8D"
         "b",
         2},
        {"skin tone", "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD", 1},
        {"variation selector", "\xE2\x9D\xA4\xEF\xB8\x8F", 1},
        {"two flags", "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA", 2},
        {"odd indicator alone", "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7\xF0\x9F\x87\xA9", 2},
        {"Hangul jamo L V T", "\xE1\x84\x80\xE1\x85\xA1\xE1\x86\xA8", 1},
        {"Hangul LV + T", "\xEA\xB0\x80\xE1\x86\xA8", 1},
        {"Hangul LVT + V splits", "\xEA\xB0\x81\xE1\x85\xA1", 2},
        {"Hangul syllables", "\xED\x95\x9C\xEA\xB5\xAD", 2},
        {"spacing mark", "\xE0\xA4\x95\xE0\xA4\xBF", 1},
        {"invalid bytes one each", "\xFF\xFE", 2},
    };
    for (const auto& c : cases) EXPECT_EQ(graphemeCount(c.text), c.count) << c.name;
}

TEST(Graphemes, PrefixNeverSplitsACluster) {
    std::string text =
        "e\xCC\x81"
        "x\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7!";
    EXPECT_EQ(graphemePrefix(text, 0), "");
    EXPECT_EQ(graphemePrefix(text, 1), "e\xCC\x81");
    EXPECT_EQ(graphemePrefix(text, 3), "e\xCC\x81x\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7");
    EXPECT_EQ(graphemePrefix(text, 99), text);
}

TEST(Graphemes, PropertyLookup) {
    EXPECT_EQ(graphemeBreakOf(U'a'), GraphemeBreak::Other);
    EXPECT_EQ(graphemeBreakOf(0x0301), GraphemeBreak::Extend);
    EXPECT_EQ(graphemeBreakOf(0xFE0F), GraphemeBreak::Extend);
    EXPECT_EQ(graphemeBreakOf(0x200D), GraphemeBreak::ZWJ);
    EXPECT_EQ(graphemeBreakOf(0x1F600), GraphemeBreak::ExtendedPictographic);
    EXPECT_EQ(graphemeBreakOf(0x1F1E6), GraphemeBreak::RegionalIndicator);
    EXPECT_EQ(graphemeBreakOf(0xAC00), GraphemeBreak::LV);
    EXPECT_EQ(graphemeBreakOf(0xAC01), GraphemeBreak::LVT);
    EXPECT_EQ(graphemeBreakOf(0x10FFFF), GraphemeBreak::Other);
}

TEST(TrimBlank, UnicodeWhiteSpaceAtTheEndsOnly) {
    EXPECT_EQ(trimBlank("  a b  "), "a b");
    EXPECT_EQ(trimBlank("\r\n\t\v\fx\r\n"), "x");
    EXPECT_EQ(trimBlank("\xC2\xA0\xE3\x80\x80x\xE2\x80\xA8\xC2\x85"), "x");  // NBSP, ideographic
    EXPECT_EQ(trimBlank(" \n "), "");
    // Trailing lines that are blank only in Unicode terms.
    EXPECT_EQ(trimBlank("x\n\xC2\xA0"), "x");
    EXPECT_EQ(trimBlank("a\n b \n \n\xE3\x80\x80\r\n"), "a\n b");
    EXPECT_EQ(trimBlank("\n\nx y\n"), "x y");
    EXPECT_EQ(trimBlank(""), "");
    EXPECT_EQ(trimBlank("\xE2\x80\x8B"
                        "x"),
              "\xE2\x80\x8B"
              "x");  // zero width space is not blank
    // A space that carries a combining mark is a character of its own, not blank.
    EXPECT_EQ(trimBlank(" \xCC\x81x "), " \xCC\x81x");
}
