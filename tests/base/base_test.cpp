// The shared helpers: quoting, slash paths, UTF-8, JSON writing, tokens, decimals.
#include <gtest/gtest.h>

#include "core/base/bytes.h"
#include "core/base/decimal.h"
#include "core/base/json_write.h"
#include "core/base/log.h"
#include "core/base/path.h"
#include "core/base/random.h"
#include "core/base/utf8.h"

TEST(Quote, EscapesQuotesBackslashesAndControls) {
    EXPECT_EQ(quote("abc"), "\"abc\"");
    EXPECT_EQ(quote("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(quote("\n\t\r\x01\x7f"), "\"\\n\\t\\r\\x01\\x7f\"");
    EXPECT_EQ(quote("\xC3\xA9"), "\"\xC3\xA9\"");  // valid UTF-8 stays
    EXPECT_EQ(quote("\xFF"), "\"\\xff\"");         // invalid byte is escaped
    EXPECT_EQ(quote(""), "\"\"");
}

TEST(CleanPath, SlashRules) {
    EXPECT_EQ(clean_path("/a/../index.html"), "/index.html");
    EXPECT_EQ(clean_path("//index.html"), "/index.html");
    EXPECT_EQ(clean_path("/../secret"), "/secret");
    EXPECT_EQ(clean_path("/a/./b/"), "/a/b");
    EXPECT_EQ(clean_path("/"), "/");
    EXPECT_EQ(clean_path(""), ".");
    EXPECT_EQ(clean_path("a/../.."), "..");
    EXPECT_EQ(clean_path("/usr/bin/../web/dist"), "/usr/web/dist");
}

TEST(Utf8, SanitizeReplacesEachInvalidByte) {
    EXPECT_EQ(utf8_sanitize("ok"), "ok");
    EXPECT_EQ(utf8_sanitize("a\xFF\xFE"
                            "b"),
              "a\xEF\xBF\xBD\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(utf8_sanitize("\xE2\x82"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // truncated sequence
    EXPECT_EQ(utf8_sanitize("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // surrogate
    EXPECT_EQ(utf8_sanitize("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");                  // overlong
    EXPECT_EQ(utf8_sanitize("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
}

TEST(Utf8, DropCutCharacterKeepsWholeOnes) {
    EXPECT_EQ(utf8_drop_cut_character("a\xC3"), "a");
    EXPECT_EQ(utf8_drop_cut_character("a\xE2\x82"), "a");
    EXPECT_EQ(utf8_drop_cut_character("a\xF0\x9F\x98"), "a");
    for (std::string_view whole : {"", "a", "a\xC3\xA9", "\xF0\x9F\x98\x80", "\xE2\x82\xAC"})
        EXPECT_EQ(utf8_drop_cut_character(whole), whole);
    // Never the start of a character: left for sanitising.
    EXPECT_EQ(utf8_drop_cut_character("a\xFF"), "a\xFF");
    EXPECT_EQ(utf8_drop_cut_character("\x80\x80\x80\x80"), "\x80\x80\x80\x80");
}

TEST(JsonWriter, CompactInOrderWithEscapes) {
    Json_Writer w;
    w.begin_object().key("b").value(int64_t{1}).key("a").value("x\"\n\x01");
    w.key("l").string_array({}).key("t").value(true).key("o").begin_object().end_object();
    w.end_object();
    EXPECT_EQ(w.str(), R"({"b":1,"a":"x\"\n\u0001","l":[],"t":true,"o":{}})");
    EXPECT_EQ(json_string("\xFF"), "\"\xEF\xBF\xBD\"");
}

TEST(Escapes, ControlBytesUnderEachOfTheThreeRuleSets) {
    const std::string controls = "\a\b\t\n\v\f\r\x01\x1f\x7f\"\\";
    EXPECT_EQ(quote(controls), R"("\a\b\t\n\v\f\r\x01\x1f\x7f\"\\")");
    EXPECT_EQ(json_string(controls), R"("\u0007\b\t\n\u000b\f\r\u0001\u001f\u007f\"\\")");
    EXPECT_EQ(utf8_sanitize(controls), controls);
}

TEST(Tokens, HexAndConstantTimeCompare) {
    std::string t = random_hex(16);
    ASSERT_EQ(t.size(), 32u);
    EXPECT_EQ(t.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(random_hex(16), t);
    EXPECT_TRUE(token_equal(t, t));
    EXPECT_FALSE(token_equal(t.substr(1), t));
    EXPECT_FALSE(token_equal("", ""));
    std::string upper = t;
    for (auto& c : upper) c = static_cast<char>(toupper(c));
    if (upper != t) {
        EXPECT_FALSE(token_equal(upper, t));
    }
}

namespace {

std::string decimal_of(std::string_view text, uint64_t max) {
    Decimal d = parse_decimal(text, max);
    if (d.error == Decimal_Error::Not_Digits) return "not digits";
    if (d.error == Decimal_Error::Too_Large) return "too large";
    return std::to_string(d.value);
}

}  // namespace

TEST(ParseDecimal, DigitsAloneUpToTheBound) {
    EXPECT_EQ(decimal_of("0", 0), "0");
    EXPECT_EQ(decimal_of("007", 10), "7");
    EXPECT_EQ(decimal_of("65535", 65535), "65535");
    EXPECT_EQ(decimal_of("65536", 65535), "too large");
    EXPECT_EQ(decimal_of("1", 0), "too large");
    EXPECT_EQ(decimal_of("18446744073709551615", UINT64_MAX), "18446744073709551615");
    EXPECT_EQ(decimal_of("18446744073709551616", UINT64_MAX), "too large");  // no wrap
    EXPECT_EQ(decimal_of(std::string(400, '9'), 100), "too large");
}

TEST(ParseDecimal, AnyOtherByteIsNotDigitsEvenPastTheBound) {
    for (std::string_view bad : {"", " 1", "1 ", "+1", "-1", "1a", "0x10", "1.0", "\xd9\xa1"})
        EXPECT_EQ(decimal_of(bad, 1000), "not digits") << bad;
    EXPECT_EQ(decimal_of(std::string(40, '9') + "x", 1000), "not digits");
}
