// The built sorvine against a stand-in model server: prompt sent, note and answer streamed,
// failures at each stage, exit status, and silence on standard error.
#include <gtest/gtest.h>

#include <condition_variable>
#include <nlohmann/json.hpp>

#include "sorvine/messages.h"
#include "tests/sorvine/stub_model_server.h"
#include "tests/support/daemon_process.h"
#include "tests/support/net.h"

using nlohmann::json;

namespace {

constexpr int64_t kReserved = 1500 + 64;  // answer limit and template margin

// A context size that leaves exactly budget tokens for the prompt.
int64_t contextFor(int64_t budget) {
    return budget + stubTokens(sorvine::kInstructions) + kReserved;
}

// A loopback port where nothing listens (bound once, then released).
int deadPort() {
    int port = 0;
    listen_on("127.0.0.1", port);
    return port;
}

// The built sorvine with the model at modelUrl.
std::unique_ptr<Child_Process> startSorvine(const std::string& modelUrl) {
    return std::make_unique<Child_Process>(
        std::vector<std::string>{SORVINE_BIN},
        std::vector<std::string>{"SORVINE_MODEL_URL=" + modelUrl});
}

struct Outcome {
    std::optional<int> status;  // nothing when it had to be killed
    std::string out, err;
};

// Waits (bounded) for the exit and for both streams to end; kills it after timeoutMs.
Outcome finish(Child_Process& p, int timeoutMs = 20000) {
    std::optional<int> status = p.wait_exit(timeoutMs);
    if (!status) p.kill_now();
    return {status, p.stdout_text(), p.stderr_text()};
}

// Runs sorvine on a whole transcript.
Outcome runSorvine(const std::string& modelUrl, const std::string& transcript) {
    auto p = startSorvine(modelUrl);
    p->write_stdin(transcript);
    p->close_stdin();
    return finish(*p);
}

StubPlan answering(std::vector<std::string> pieces) {
    StubPlan plan;
    plan.streamPieces = std::move(pieces);
    return plan;
}

// The user message of the one chat request the server got.
std::string promptSent(StubModelServer& server) {
    auto bodies = server.chatBodies();
    if (bodies.size() != 1) return "<" + std::to_string(bodies.size()) + " chat requests>";
    json body = json::parse(bodies[0], nullptr, false);
    if (!body.is_object() || !body["messages"].is_array() || body["messages"].size() != 2)
        return "<bad body>";
    return body["messages"][1]["content"].get<std::string>();
}

const std::string kShortChat = "### User\nSay hi\n";

}  // namespace

TEST(SorvineEndToEnd, SendsFittedPromptAndStreamsAnswer) {
    StubModelServer server(answering({sseDelta("\"Hello\""), sseDelta("\" world\""), sseEnd()}));
    auto r = runSorvine(server.url(),
                        "Project notes\n### User\nfirst\n### Assistant\nreply\n### User\nnow?\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Hello world");  // no newline after the answer
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(promptSent(server),
              "Context:\nProject notes\n\nEarlier conversation:\nUser: first\n\nAssistant: "
              "reply\n\nLatest message:\nnow?");
    json body = json::parse(server.chatBodies().at(0), nullptr, false);
    EXPECT_EQ(body["stream"], true);
    EXPECT_EQ(body["max_tokens"], 1500);
    EXPECT_EQ(body["messages"][0]["role"], "system");
    EXPECT_EQ(body["messages"][0]["content"], std::string(sorvine::kInstructions));
    EXPECT_EQ(body["messages"][1]["role"], "user");
}

TEST(SorvineEndToEnd, NoteGoesBeforeTheAnswer) {
    StubPlan plan = answering({sseDelta("\"ok\""), sseEnd()});
    // "now?" costs 1; "User: one two three\n\n" costs 4 and does not fit in 2 more.
    plan.contextSize = contextFor(3);
    StubModelServer server(plan);
    auto r = runSorvine(server.url(), "### User\none two three\n### User\nnow?\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "> [apple] To fit the on-device model, 1 earlier message was dropped.\n\nok");
    EXPECT_EQ(promptSent(server), "now?");
    EXPECT_EQ(r.err, "");
}

TEST(SorvineEndToEnd, AnswerArrivesWhileGenerated) {
    std::mutex mu;
    std::condition_variable cv;
    bool release = false;
    StubPlan plan =
        answering({sseDelta("\"first part\""), sseDelta("\" and the rest\""), sseEnd()});
    plan.beforePiece = [&](size_t i) {
        if (i != 1) return;
        std::unique_lock lock(mu);
        cv.wait_for(lock, std::chrono::seconds(10), [&] { return release; });
    };
    StubModelServer server(plan);
    auto p = startSorvine(server.url());
    p->write_stdin(kShortChat);
    p->close_stdin();
    // The server holds the rest of the answer until the first part has been printed.
    EXPECT_TRUE(p->wait_stdout_contains("first part"));
    {
        std::lock_guard lock(mu);
        release = true;
    }
    cv.notify_all();
    auto r = finish(*p);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "first part and the rest");
}

TEST(SorvineEndToEnd, CharactersSplitAcrossPiecesArriveWhole) {
    // "é" and "😀" cut between their bytes on the wire, and an escaped surrogate pair.
    std::string first = sseDelta("\"caf\xC3\xA9 \xF0\x9F\x98\x80\"");
    size_t cut1 = first.find("\xC3") + 1, cut2 = first.find("\xF0") + 2;
    StubModelServer server(
        answering({first.substr(0, cut1), first.substr(cut1, cut2 - cut1), first.substr(cut2),
                   sseDelta("\" \\ud83d\\ude03\""), sseEnd()}));
    auto r = runSorvine(server.url(), kShortChat);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "caf\xC3\xA9 \xF0\x9F\x98\x80 \xF0\x9F\x98\x83");
}

TEST(SorvineEndToEnd, FailureInTheMiddleOfTheStream) {
    StubModelServer reported(answering(
        {sseDelta("\"partial\""),
         "data: {\"error\":{\"code\":500,\"message\":\"boom\",\"type\":\"server_error\"}}\n\n"}));
    auto r = runSorvine(reported.url(), kShortChat);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "partial\n\nThe on-device model failed: boom\n");
    EXPECT_EQ(r.err, "");

    StubPlan plan = answering({sseDelta("\"partial\"")});
    plan.breakStream = true;
    StubModelServer dropped(plan);
    auto d = runSorvine(dropped.url(), kShortChat);
    EXPECT_EQ(d.status, 1);
    EXPECT_TRUE(d.out.starts_with("partial\n\nThe on-device model failed: ")) << d.out;
    EXPECT_TRUE(d.out.ends_with("\n"));
    EXPECT_EQ(d.out.find('\n', 39), d.out.size() - 1) << "one message line";
    EXPECT_EQ(d.err, "");
}

TEST(SorvineEndToEnd, FailureBeforeAnyAnswerByteAfterNote) {
    StubPlan plan;
    plan.chatStatus = 503;
    plan.chatBody = "{\"error\":{\"code\":503,\"message\":\"no slot\"}}";
    plan.contextSize = contextFor(3);
    StubModelServer server(plan);
    auto r = runSorvine(server.url(), "### User\none two three\n### User\nnow?\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "> [apple] To fit the on-device model, 1 earlier message was dropped.\n\nThe "
              "on-device model is busy. Try again in a moment.\n");
}

TEST(SorvineEndToEnd, ContextOverflowReportedByTheServer) {
    StubPlan plan;
    plan.chatStatus = 400;
    plan.chatBody =
        "{\"error\":{\"code\":400,\"message\":\"the request exceeds the available context size, "
        "try increasing it\",\"type\":\"exceed_context_size_error\"}}";
    StubModelServer server(plan);
    auto r = runSorvine(server.url(), kShortChat);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "This chat is too long for the on-device model. Start a new chat or shorten the "
              "message.\n");
}

TEST(SorvineEndToEnd, ServerAbsentOrNotReady) {
    // Nothing listens: the cause and the way out, without waiting for the input (left open).
    std::string dead = "http://127.0.0.1:" + std::to_string(deadPort());
    auto p = startSorvine(dead + "/");
    auto r = finish(*p);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "No language model server answers at " + dead +
                         ". Start llama-server there, or set SORVINE_MODEL_URL.\n");
    EXPECT_EQ(r.err, "");

    StubPlan loading;
    loading.healthStatus = 503;
    StubModelServer notReady(loading);
    EXPECT_EQ(runSorvine(notReady.url(), kShortChat).out,
              "The language model server at " + notReady.url() +
                  " is still loading its model. Try again in a moment.\n");
    EXPECT_EQ(notReady.requestCount(), 1);

    StubPlan broken;
    broken.healthStatus = 500;
    StubModelServer other(broken);
    EXPECT_EQ(runSorvine(other.url(), kShortChat).out,
              "The Apple Intelligence model is unavailable.\n");
}

TEST(SorvineEndToEnd, MessageTooLongForTheBudget) {
    StubPlan plan = answering({sseEnd()});
    plan.contextSize = contextFor(10);
    StubModelServer server(plan);
    auto r = runSorvine(server.url(), "### User\n1 2 3 4 5 6 7 8 9 10 11\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "This message is too long for the on-device model (11 tokens, limit 10).\n");
    EXPECT_TRUE(server.chatBodies().empty());
    // Ten words fit exactly.
    auto fits = runSorvine(server.url(), "### User\n1 2 3 4 5 6 7 8 9 10\n");
    EXPECT_EQ(fits.status, 0);
}

TEST(SorvineEndToEnd, NothingToAnswer) {
    StubModelServer server(answering({sseEnd()}));
    for (const char* input : {"", "just context\n", "### User\nq\n### Assistant\na\n"}) {
        auto r = runSorvine(server.url(), input);
        EXPECT_EQ(r.status, 1) << input;
        EXPECT_EQ(r.out, "There is no message to send.\n") << input;
    }
    EXPECT_TRUE(server.chatBodies().empty());
}

TEST(SorvineEndToEnd, InvalidUtf8ReachesTheModelAsReplacement) {
    StubModelServer server(answering({sseDelta("\"fine\""), sseEnd()}));
    auto r = runSorvine(server.url(), "### User\nbad \xFF byte\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(promptSent(server), "bad \xEF\xBF\xBD byte");
}
