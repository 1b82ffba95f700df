// Streamed output: byte deltas of snapshots, the server's event stream, and its errors.
#include <gtest/gtest.h>

#include "sorvine/delta_writer.h"
#include "sorvine/messages.h"
#include "sorvine/model_stream.h"

using namespace sorvine;

TEST(DeltaWriter, WritesOnlyWhatIsNew) {
    DeltaWriter w;
    EXPECT_EQ(w.delta("Hel"), "Hel");
    EXPECT_EQ(w.delta("Hello"), "lo");
    EXPECT_EQ(w.delta("Hello \xC3\xA9"), " \xC3\xA9");  // a new character goes out whole
    EXPECT_EQ(w.written, 8);
    EXPECT_EQ(w.delta("Hel"), "");  // shorter: nothing, and nothing forgotten
    EXPECT_EQ(w.delta("Hello \xC3\xA9"), "");
    EXPECT_EQ(w.written, 8);
}

TEST(DeltaWriter, NeverStartsInsideACharacter) {
    DeltaWriter w;
    EXPECT_EQ(w.delta("ab"), "ab");
    // The snapshot changed under what was written: byte 2 is inside "é", so skip to "x".
    EXPECT_EQ(w.delta("a\xC3\xA9x"), "x");
    EXPECT_EQ(w.written, 4);
    DeltaWriter v;
    EXPECT_EQ(v.delta("a"), "a");
    EXPECT_EQ(v.delta("\xF0\x9F\x98\x80"), "");  // only continuation bytes beyond: nothing
    EXPECT_EQ(v.written, 4);
}

namespace {

struct Decoded {
    std::string text;
    Status error;
};

// Feeds the stream in pieces of the given size, then ends it.
Decoded decodeInPieces(std::string_view stream, size_t piece) {
    ChatStreamDecoder d;
    Decoded out;
    auto sink = [&](std::string_view delta) { out.text += delta; };
    for (size_t i = 0; i < stream.size() && !out.error; i += piece)
        out.error = d.feed(stream.substr(i, piece), sink);
    if (!out.error) out.error = d.finish(sink);
    return out;
}

std::string chunk(std::string_view contentJson) {
    return "data: {\"choices\":[{\"index\":0,\"delta\":{\"content\":" + std::string(contentJson) +
           "},\"finish_reason\":null}]}\n\n";
}

}  // namespace

TEST(ChatStream, SameTextWhateverTheSplit) {
    std::string stream = ": keep-alive\n\n" + chunk("\"H\\u00e9\"") +
                         chunk("\"llo \xE2\x9C\x93\"") +
                         "data: {\"choices\":[{\"delta\":{},\"finish_reason\":\"stop\"}]}\r\n\r\n" +
                         "data: {\"choices\":[],\"usage\":{}}\n\n" + "data: [DONE]\n\n";
    for (size_t piece = 1; piece <= stream.size(); ++piece) {
        Decoded d = decodeInPieces(stream, piece);
        EXPECT_FALSE(d.error) << "piece " << piece;
        EXPECT_EQ(d.text, "H\xC3\xA9llo \xE2\x9C\x93") << "piece " << piece;
    }
}

TEST(ChatStream, EndWithoutCompletionIsAFailure) {
    Decoded d = decodeInPieces(chunk("\"partial\""), 7);
    EXPECT_EQ(d.text, "partial");
    ASSERT_TRUE(d.error);
    EXPECT_FALSE(d.error->generation);
    // A last event without its blank line still counts.
    EXPECT_FALSE(decodeInPieces("data: [DONE]", 3).error);
}

TEST(ChatStream, ErrorEventsAndGarbage) {
    Decoded a = decodeInPieces(
        chunk("\"so far\"") +
            "data: {\"error\":{\"code\":500,\"message\":\"boom\",\"type\":\"server_error\"}}\n\n",
        5);
    EXPECT_EQ(a.text, "so far");
    ASSERT_TRUE(a.error);
    EXPECT_EQ(a.error->description, "boom");
    EXPECT_FALSE(a.error->generation);

    Decoded b = decodeInPieces("error: {\"code\":503,\"message\":\"no slot\"}\n\n", 4);
    ASSERT_TRUE(b.error);
    EXPECT_EQ(b.error->generation, GenerationError::rateLimited);

    Decoded c = decodeInPieces("data: {not json\n\n" + chunk("\"late\""), 100);
    ASSERT_TRUE(c.error);
    EXPECT_EQ(c.text, "");  // nothing is read after the failure
}

TEST(ServerError, Classification) {
    auto overflow = serverError(
        400,
        "{\"error\":{\"code\":400,\"message\":\"the request exceeds the available context size, "
        "try increasing it\",\"type\":\"exceed_context_size_error\"}}",
        true);
    EXPECT_EQ(overflow.generation, GenerationError::exceededContextWindowSize);
    EXPECT_EQ(serverError(429, "", true).generation, GenerationError::rateLimited);
    EXPECT_EQ(serverError(503, "{\"error\":{\"message\":\"Loading model\"}}", true).generation,
              GenerationError::rateLimited);
    // Busy only counts while generating; elsewhere it is an ordinary failure.
    auto counting = serverError(503, "{\"error\":{\"message\":\"Loading model\"}}", false);
    EXPECT_FALSE(counting.generation);
    EXPECT_EQ(counting.description, "Loading model");
    auto bare = serverError(500, "<html>oops</html>", true);
    EXPECT_FALSE(bare.generation);
    EXPECT_EQ(bare.description, "the model server answered with HTTP status 500");
}

TEST(Messages, FailureTexts) {
    EXPECT_EQ(generationMessage({GenerationError::exceededContextWindowSize, "x"}),
              "This chat is too long for the on-device model. Start a new chat or shorten the "
              "message.");
    EXPECT_EQ(generationMessage({GenerationError::rateLimited, "x"}),
              "The on-device model is busy. Try again in a moment.");
    EXPECT_EQ(generationMessage({GenerationError::other, "why"}),
              "The on-device model failed: why");
    EXPECT_EQ(generationMessage({std::nullopt, "net"}), "The on-device model failed: net");
    EXPECT_EQ(fitMessage(FitError::messageTooLong(12, 10)),
              "This message is too long for the on-device model (12 tokens, limit 10).");
    EXPECT_EQ(fitMessage(FitError::emptyMessage()), "There is no message to send.");
    EXPECT_EQ(unavailableMessage(UnavailableReason::modelNotReady),
              "The Apple Intelligence model is not ready yet. It may still be downloading, so "
              "try again later.");
    EXPECT_EQ(unavailableMessage(UnavailableReason::other),
              "The Apple Intelligence model is unavailable.");
}
