// The shared helpers: quoting, slash paths, UTF-8, JSON writing, tokens.
#include <gtest/gtest.h>

#include "core/base/bytes.h"
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

TEST(JsonWriter, CompactInOrderWithEscapes) {
    Json_Writer w;
    w.begin_object().key("b").value(int64_t{1}).key("a").value("x\"\n\x01");
    w.key("l").string_array({}).key("t").value(true).key("o").begin_object().end_object();
    w.end_object();
    EXPECT_EQ(w.str(), R"({"b":1,"a":"x\"\n\u0001","l":[],"t":true,"o":{}})");
    EXPECT_EQ(json_string("\xFF"), "\"\xEF\xBF\xBD\"");
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
