// Reading the model server's answers: its streamed chat events and its error bodies.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "sorvine/result.h"

namespace sorvine {

// The failure a model server reports (an HTTP status and its body, or an error event):
// a context overflow, being busy while generating (429, 503), or any other.
ModelError serverError(long httpStatus, std::string_view body, bool generating);

// Decodes a streamed chat completion (server-sent events of JSON chunks) as its bytes
// arrive in pieces of any size.
class ChatStreamDecoder {
  public:
    using DeltaSink = std::function<void(std::string_view)>;

    // Hands every content delta found in bytes to sink; the error when the server sent one
    // or sent something unreadable. Nothing more is read after an error.
    Status feed(std::string_view bytes, const DeltaSink& sink);
    // At the end of the bytes: the error when the stream stopped before its end.
    Status finish(const DeltaSink& sink);

  private:
    Status _line(std::string_view line, const DeltaSink& sink);
    Status _dispatch(const DeltaSink& sink);

    std::string pending_;  // an incomplete last line
    std::string data_;     // the data of the event being read
    bool hasData_ = false;
    bool errorEvent_ = false;
    bool ended_ = false;  // the server marked the answer complete
};

}  // namespace sorvine
