// A small HTTP client over libcurl for the model server: plain requests and streamed answers.
#pragma once

#include <curl/curl.h>

#include <functional>
#include <string>
#include <string_view>

namespace sorvine {

struct HttpReply {
    bool reached = false;  // false: no answer at all (see error)
    long status = 0;
    std::string body;   // the body, or for a streamed 200 answer nothing
    std::string error;  // the transfer's failure, when there was one
};

class HttpClient {
  public:
    // Bytes of a 200 answer's body as they arrive; false stops the transfer.
    using BodySink = std::function<bool(std::string_view)>;

    explicit HttpClient(std::string baseUrl);
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    const std::string& baseUrl() const { return base_; }

    HttpReply get(std::string_view path, long timeoutSeconds);
    HttpReply post(std::string_view path, const std::string& json, long timeoutSeconds);
    // A 200 answer goes to sink as it arrives; any other status is collected in the body.
    HttpReply postStreaming(std::string_view path, const std::string& json, const BodySink& sink);

  private:
    HttpReply _perform(std::string_view path, const std::string* json, long timeoutSeconds,
                       const BodySink* sink);

    std::string base_;
    CURL* curl_ = nullptr;  // one handle, so the connection is kept between requests
    char errbuf_[CURL_ERROR_SIZE] = {};
};

}  // namespace sorvine
