// Transcript parsing: markers, fences, notes, trimming and the fallback pass without fences.
#include <gtest/gtest.h>

#include "sorvine/transcript.h"

using namespace sorvine;

namespace {

// A compact picture of a log: "C:context|U:text|A:text".
std::string shape(const ChatLog& log) {
    std::string s = "C:" + log.context;
    for (const auto& t : log.turns) s += (t.role == Role::user ? "|U:" : "|A:") + t.text;
    return s;
}

std::string parsed(std::string_view text) {
    return shape(parseTranscript(text));
}

}  // namespace

TEST(Transcript, ContextAndTurnsInOrder) {
    EXPECT_EQ(parsed("Seed text\n\n### User\nhi\n### Assistant\nhello\n### User\nand?\n"),
              "C:Seed text|U:hi|A:hello|U:and?");
    EXPECT_EQ(parsed("no markers at all\n  \n"), "C:no markers at all");
    EXPECT_EQ(parsed(""), "C:");
    EXPECT_EQ(parsed(" \n\t\n### User\nq"), "C:|U:q");  // blank context is empty
    // Same-role turns are not merged; empty turns vanish.
    EXPECT_EQ(parsed("### User\na\n### User\nb"), "C:|U:a|U:b");
    EXPECT_EQ(parsed("### User\n### Assistant\n### User\n\n"), "C:");
    EXPECT_EQ(parsed("### User\n### User\nq"), "C:|U:q");
}

TEST(Transcript, MarkerMustBeExactAtFirstColumn) {
    EXPECT_EQ(parsed("### User\n  ### User\nq"), "C:|U:### User\nq");  // indented: content
    EXPECT_EQ(parsed("### User  \t\r\nq"), "C:|U:q");                  // trailing blanks ok
    EXPECT_EQ(parsed("### user\nq"), "C:### user\nq");
    EXPECT_EQ(parsed("### Users\nq"), "C:### Users\nq");
    EXPECT_EQ(parsed("###  User\nq"), "C:###  User\nq");
}

TEST(Transcript, InsideTrimmingKeepsLinesAsTheyCame) {
    EXPECT_EQ(parsed("### User\n\n  first  \n\n  second \t\n\n"), "C:|U:first  \n\n  second");
    // CR LF line ends parse like LF; inner carriage returns stay.
    EXPECT_EQ(parsed("ctx\r\n### User\r\na\r\nb\r\n### Assistant\r\nc\r\n### User\r\nd\r\n"),
              "C:ctx|U:a\r\nb|A:c|U:d");
}

TEST(Transcript, FencesProtectMarkers) {
    EXPECT_EQ(parsed("### User\n```md\n### User\n### Assistant\n```\nafter"),
              "C:|U:```md\n### User\n### Assistant\n```\nafter");
    // A longer closing run closes; a shorter one or one with text after it does not.
    EXPECT_EQ(parsed("### User\n```\n````\n### User\nq"), "C:|U:```\n````|U:q");
    EXPECT_EQ(parsed("### User\n````\n```\n### User\n````\n### User\nq"),
              "C:|U:````\n```\n### User\n````|U:q");
    EXPECT_EQ(parsed("### User\n```\n``` x\n### User\n```\n### User\nq"),
              "C:|U:```\n``` x\n### User\n```|U:q");
    // Indented fences count; two backticks open nothing.
    EXPECT_EQ(parsed("### User\n  ~~~\n### User\n  ~~~\n### User\nq"),
              "C:|U:~~~\n### User\n  ~~~|U:q");
    EXPECT_EQ(parsed("### User\n``a\n### User\nq"), "C:|U:``a|U:q");
}

TEST(Transcript, FenceKindsDoNotCloseEachOther) {
    EXPECT_EQ(parsed("### User\n~~~\n```\n### User\n~~~\n### User\nq"),
              "C:|U:~~~\n```\n### User\n~~~|U:q");
    EXPECT_EQ(parsed("### User\n```\n~~~\n### User\n```\n### User\nq"),
              "C:|U:```\n~~~\n### User\n```|U:q");
}

TEST(Transcript, UnclosedFenceFallsBackToPlainMarkers) {
    // The fenced pass gives nothing; every marker then splits.
    EXPECT_EQ(parsed("### User\n```\ncode\n### Assistant\nok\n### User\nq"),
              "C:|U:```\ncode|A:ok|U:q");
    // An assistant answer leaves a fence open and swallows the question in the fenced
    // pass (closed later by a stray fence), so its last turn is the assistant's.
    EXPECT_EQ(parsed("### User\na\n### Assistant\n```\nx\n### User\nq\n```"),
              "C:|U:a|A:```\nx|U:q\n```");
    // Already ending with an assistant turn in both passes: the plain pass wins anyway.
    EXPECT_EQ(parsed("### User\na\n### Assistant\n```\nb\n```"), "C:|U:a|A:```\nb\n```");
}

TEST(Transcript, NotesAreDroppedOutsideFences) {
    EXPECT_EQ(parsed("### User\nq\n### Assistant\n> [apple] To fit it, x.\n\nanswer\n### User\nz"),
              "C:|U:q|A:answer|U:z");
    EXPECT_EQ(parsed("### User\n```\n> [apple] kept\n```"), "C:|U:```\n> [apple] kept\n```");
    EXPECT_EQ(parsed("### User\n> [apple]\nq"), "C:|U:> [apple]\nq");  // no trailing space
    EXPECT_EQ(parsed(" > [apple] x\n### User\nq"), "C:> [apple] x|U:q");
    EXPECT_EQ(parsed("> [apple] note\nctx\n### User\nq"), "C:ctx|U:q");
}

TEST(Transcript, PassWithFencesReportsOpenFence) {
    std::vector<std::string_view> lines = {"### User", "```", "x"};
    EXPECT_FALSE(parse(lines, true).has_value());
    auto plain = parse(lines, false);
    ASSERT_TRUE(plain.has_value());
    EXPECT_EQ(shape(*plain), "C:|U:```\nx");
}
