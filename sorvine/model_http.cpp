// A small HTTP client over libcurl for the model server: plain requests and streamed answers.
#include "sorvine/model_http.h"

namespace sorvine {

namespace {

constexpr long _connectTimeoutSeconds = 5;
// A streamed answer may be silent for long while a large prompt is read on a slow machine;
// only a server that sends nothing for this long is taken as gone.
constexpr long _streamStallSeconds = 600;
// Loopback addresses never go through a proxy named in the environment.
constexpr const char* _noProxy = "127.0.0.1,localhost,::1";

struct _Transfer {
    CURL* curl;
    HttpReply* reply;
    const HttpClient::BodySink* sink;
};

size_t _onBody(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<_Transfer*>(user);
    size_t n = size * count;
    long status = 0;
    curl_easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &status);
    if (t->sink && status == 200) return (*t->sink)(std::string_view(data, n)) ? n : 0;
    t->reply->body.append(data, n);
    return n;
}

}  // namespace

HttpClient::HttpClient(std::string baseUrl) : base_(std::move(baseUrl)) {
    while (!base_.empty() && base_.back() == '/') base_.pop_back();
    curl_global_init(CURL_GLOBAL_DEFAULT);
    curl_ = curl_easy_init();
}

HttpClient::~HttpClient() {
    if (curl_) curl_easy_cleanup(curl_);
    curl_global_cleanup();
}

HttpReply HttpClient::get(std::string_view path, long timeoutSeconds) {
    return _perform(path, nullptr, timeoutSeconds, nullptr);
}

HttpReply HttpClient::post(std::string_view path, const std::string& json, long timeoutSeconds) {
    return _perform(path, &json, timeoutSeconds, nullptr);
}

HttpReply HttpClient::postStreaming(std::string_view path, const std::string& json,
                                    const BodySink& sink) {
    return _perform(path, &json, 0, &sink);
}

HttpReply HttpClient::_perform(std::string_view path, const std::string* json, long timeoutSeconds,
                               const BodySink* sink) {
    HttpReply reply;
    if (!curl_) {
        reply.error = "the HTTP client could not start";
        return reply;
    }
    errbuf_[0] = '\0';
    std::string url = base_ + std::string(path);
    _Transfer transfer{curl_, &reply, sink};
    curl_slist* headers = nullptr;
    curl_easy_reset(curl_);
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl_, CURLOPT_NOPROXY, _noProxy);
    curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, errbuf_);
    curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT, _connectTimeoutSeconds);
    curl_easy_setopt(curl_, CURLOPT_TIMEOUT, timeoutSeconds);
    if (sink) {
        curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_TIME, _streamStallSeconds);
    }
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, _onBody);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &transfer);
    if (json) {
        headers = curl_slist_append(headers, "Content-Type: application/json");
        headers = curl_slist_append(headers, "Expect:");  // no 100-continue round trip
        if (sink) headers = curl_slist_append(headers, "Accept: text/event-stream");
        curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, json->data());
        curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(json->size()));
    }
    CURLcode rc = curl_easy_perform(curl_);
    curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &reply.status);
    reply.reached = reply.status != 0;
    if (rc != CURLE_OK) reply.error = errbuf_[0] ? errbuf_ : curl_easy_strerror(rc);
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(headers);
    return reply;
}

}  // namespace sorvine
