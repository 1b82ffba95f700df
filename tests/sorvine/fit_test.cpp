// Prompt fitting: sections, the walk over earlier turns, cutting the context, the note.
#include <gtest/gtest.h>

#include <map>

#include "sorvine/fit.h"
#include "sorvine/grapheme.h"

using namespace sorvine;

namespace {

// One token per character, and a record of every text counted.
struct CharCounter {
    std::vector<std::string> calls;
    TokenCounter fn() {
        return [this](std::string_view s) -> Result<int64_t> {
            calls.emplace_back(s);
            return graphemeCount(s);
        };
    }
};

// Costs looked up by exact text, for walks with chosen numbers; 0 for anything else.
TokenCounter priced(std::map<std::string, int64_t> prices) {
    return [prices](std::string_view s) -> Result<int64_t> {
        auto it = prices.find(std::string(s));
        return it == prices.end() ? 0 : it->second;
    };
}

ChatLog chat(std::string context, std::vector<Turn> turns) {
    return {std::move(context), turns};
}

const Fitted& fitted(const FitOutcome& o) {
    static const Fitted none{"<not fitted>", std::nullopt};
    return std::holds_alternative<Fitted>(o) ? std::get<Fitted>(o) : none;
}

}  // namespace

TEST(FitPrompt, SectionsAndHeaders) {
    CharCounter c;
    // Alone: the message itself, no header, no note.
    auto alone = fitPrompt(chat("", {{Role::user, "hi"}}), 100, c.fn());
    EXPECT_EQ(fitted(alone).prompt, "hi");
    EXPECT_FALSE(fitted(alone).note);
    EXPECT_EQ(c.calls, std::vector<std::string>{"hi"});

    auto withContext = fitPrompt(chat("ctx", {{Role::user, "hi"}}), 100, c.fn());
    EXPECT_EQ(fitted(withContext).prompt, "Context:\nctx\n\nLatest message:\nhi");

    auto all = fitPrompt(
        chat("ctx", {{Role::user, "a"}, {Role::assistant, "b"}, {Role::user, "q"}}), 100, c.fn());
    EXPECT_EQ(
        fitted(all).prompt,
        "Context:\nctx\n\nEarlier conversation:\nUser: a\n\nAssistant: b\n\nLatest message:\nq");
    EXPECT_FALSE(fitted(all).note);

    auto noContext = fitPrompt(chat("", {{Role::assistant, "b"}, {Role::user, "q"}}), 100, c.fn());
    EXPECT_EQ(fitted(noContext).prompt,
              "Earlier conversation:\nAssistant: b\n\nLatest message:\nq");
}

TEST(FitPrompt, NothingToAnswer) {
    CharCounter c;
    for (const ChatLog& log :
         {chat("ctx", {}),
          chat("", {{Role::user, "a"}, {Role::user, "b"}, {Role::assistant, "c"}})}) {
        auto o = fitPrompt(log, 100, c.fn());
        ASSERT_TRUE(std::holds_alternative<FitError>(o));
        EXPECT_EQ(std::get<FitError>(o).kind, FitError::Kind::emptyMessage);
    }
    EXPECT_TRUE(c.calls.empty());
}

TEST(FitPrompt, LatestMessageBudgetEdges) {
    CharCounter c;
    auto tooLong = fitPrompt(chat("", {{Role::user, "12345"}}), 4, c.fn());
    ASSERT_TRUE(std::holds_alternative<FitError>(tooLong));
    EXPECT_EQ(std::get<FitError>(tooLong).kind, FitError::Kind::messageTooLong);
    EXPECT_EQ(std::get<FitError>(tooLong).tokens, 5);
    EXPECT_EQ(std::get<FitError>(tooLong).budget, 4);

    auto negative = fitPrompt(chat("", {{Role::user, ""}}), -1, c.fn());
    ASSERT_TRUE(std::holds_alternative<FitError>(negative));
    EXPECT_EQ(std::get<FitError>(negative).budget, -1);

    // Exactly the budget: fits, and nothing else can go in.
    auto exact = fitPrompt(chat("ctx", {{Role::user, "a"}, {Role::user, "12345"}}), 5, c.fn());
    EXPECT_EQ(fitted(exact).prompt, "12345");
    EXPECT_EQ(fitted(exact).note,
              "> [apple] To fit the on-device model, the seeded context was cut and 1 earlier "
              "message was dropped.");
}

TEST(FitPrompt, ContextWholeWhenItFitsExactly) {
    CharCounter c;
    // left after "q" is 3, the context costs 3: in whole.
    auto o = fitPrompt(chat("abc", {{Role::user, "q"}}), 4, c.fn());
    EXPECT_EQ(fitted(o).prompt, "Context:\nabc\n\nLatest message:\nq");
    EXPECT_FALSE(fitted(o).note);
}

TEST(FitPrompt, EarlierWalkStopsAtFirstMisfit) {
    // Oldest to newest 100, 900, 100 with 500 left: newest in, the rest dropped.
    auto count = priced({{"q", 10},
                         {"User: old\n\n", 100},
                         {"Assistant: middle\n\n", 900},
                         {"User: new\n\n", 100}});
    ChatLog log = chat(
        "",
        {{Role::user, "old"}, {Role::assistant, "middle"}, {Role::user, "new"}, {Role::user, "q"}});
    auto o = fitPrompt(log, 510, count);
    EXPECT_EQ(fitted(o).prompt, "Earlier conversation:\nUser: new\n\nLatest message:\nq");
    EXPECT_EQ(fitted(o).note,
              "> [apple] To fit the on-device model, 2 earlier messages were dropped.");
}

TEST(FitPrompt, CountsInOrderAndStopsCounting) {
    CharCounter c;
    ChatLog log = chat(
        "", {{Role::user, "aaaaaaaaaa"}, {Role::user, "b"}, {Role::user, "c"}, {Role::user, "q"}});
    // left 16: "User: c\n\n" (9) fits, "User: b\n\n" (9) does not; the oldest is never counted.
    fitPrompt(log, 17, c.fn());
    EXPECT_EQ(c.calls, (std::vector<std::string>{"q", "User: c\n\n", "User: b\n\n"}));
}

TEST(FitPrompt, CounterErrorPassesThroughUnchanged) {
    int calls = 0;
    TokenCounter failing = [&](std::string_view) -> Result<int64_t> {
        if (++calls == 2) return ModelError{GenerationError::rateLimited, "busy"};
        return int64_t{1};
    };
    auto o = fitPrompt(chat("", {{Role::user, "a"}, {Role::user, "q"}}), 100, failing);
    ASSERT_TRUE(std::holds_alternative<ModelError>(o));
    EXPECT_EQ(std::get<ModelError>(o).generation, GenerationError::rateLimited);
    EXPECT_EQ(std::get<ModelError>(o).description, "busy");
    EXPECT_EQ(calls, 2);
}

TEST(CutToFit, CutsByCharactersWithMarker) {
    CharCounter c;
    // 40 characters costing 40, 20 free: keep 20, but 20 + 14 for the marker is too many;
    // then keep 20 * 20 / 34 * 9 / 10 = 9, and 9 + 14 = 23 still too many; then 6: fits.
    std::string text(40, 'x');
    auto cut = cutToFit(text, 40, 20, c.fn());
    ASSERT_TRUE(cut.ok());
    EXPECT_EQ(cut.value().text, std::string(6, 'x') + "\n... [trimmed]");
    EXPECT_EQ(cut.value().left, 0);
    EXPECT_EQ(c.calls.size(), 3u);
}

TEST(CutToFit, KeepsWholeClusters) {
    CharCounter c;
    std::string e = "e\xCC\x81";  // two scalars, one character
    std::string text;
    for (int i = 0; i < 30; ++i) text += e;
    auto cut = cutToFit(text, 30, 20, c.fn());
    ASSERT_TRUE(cut.ok());
    std::string kept = cut.value().text.substr(0, cut.value().text.size() - cutMarker.size());
    EXPECT_EQ(kept.size() % e.size(), 0u);
    EXPECT_EQ(graphemeCount(cut.value().text), 20 - cut.value().left);
}

TEST(CutToFit, GivesUpAfterSixAttemptsOrWhenNothingIsLeft) {
    int calls = 0;
    TokenCounter tooDear = [&](std::string_view) -> Result<int64_t> {
        ++calls;
        return int64_t{1000};
    };
    auto cut = cutToFit(std::string(1000, 'x'), 1000, 999, tooDear);
    ASSERT_TRUE(cut.ok());
    EXPECT_EQ(cut.value().text, "");
    EXPECT_EQ(cut.value().left, 999);
    EXPECT_EQ(calls, 6);

    CharCounter c;
    auto none = cutToFit("abc", 3, 0, c.fn());
    EXPECT_EQ(none.value().text, "");
    EXPECT_TRUE(c.calls.empty());
    // A count of zero would divide by zero without the floor of 1.
    auto free = cutToFit("abc", 0, 1, priced({}));
    EXPECT_EQ(free.value().text, "abc\n... [trimmed]");
}

TEST(TrimNote, Parts) {
    EXPECT_FALSE(trimNote(false, 0));
    EXPECT_EQ(trimNote(true, 0),
              "> [apple] To fit the on-device model, the seeded context was cut.");
    EXPECT_EQ(trimNote(false, 1),
              "> [apple] To fit the on-device model, 1 earlier message was dropped.");
    EXPECT_EQ(trimNote(true, 3),
              "> [apple] To fit the on-device model, the seeded context was "
              "cut and 3 earlier messages were dropped.");
}
