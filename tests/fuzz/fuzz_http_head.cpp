// The request head: the reader over a socket, the scan, the parser and the helpers that
// read its fields; and the response head a VM service sends back.
#include <cstdint>
#include <string>

#include "core/netproto/http.h"
#include "core/netproto/ws.h"
#include "fuzz_support.h"

namespace {

bool _is_lower_trimmed(const std::string& name) {
    for (char c : name)
        if (c >= 'A' && c <= 'Z') return false;
    return trim_ascii_space(name) == name;
}

void _check_request(const std::string& head, size_t body_bytes) {
    Request req;
    if (!parse_request(head, req)) return;
    FUZZ_CHECK(!req.method.empty() && !req.target.empty());
    FUZZ_CHECK(req.target.rfind(req.path, 0) == 0);
    FUZZ_CHECK(req.path.find('?') == std::string::npos);
    for (const auto& [name, value] : req.headers) {
        FUZZ_CHECK(_is_lower_trimmed(name));
        FUZZ_CHECK(trim_ascii_space(value) == value);
        FUZZ_CHECK(req.header(name) == &value);
    }
    std::string_view t = query_param(req.query, "t");
    FUZZ_CHECK(t.empty() || req.query.find(t) != std::string::npos);
    if (const std::string* host = req.header("host")) host_is_local(*host, 8737);
    FUZZ_CHECK(body_bytes_to_drain(req, body_bytes) >= 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view in = fuzz_bytes(data, size);

    Head_Scan scan = scan_head(in);
    if (scan.state == Head_State::Complete) {
        FUZZ_CHECK(scan.end == find_head_end(in) && scan.end <= HEAD_LIMIT);
        Conn_Buffer buf(in);
        std::string head;
        take_head(buf, scan.end, head);
        FUZZ_CHECK(head == in.substr(0, scan.end));
        FUZZ_CHECK(buf == in.substr(scan.end + 4));
        _check_request(head, buf.size());
    }

    // The reader must agree with the scan of the whole input, however the bytes arrive.
    Fd reader, writer;
    if (fuzz_socket_with(in, reader, writer)) {
        Conn_Buffer buf;
        std::string head;
        bool ok = read_request_head(reader.get(), buf, 0, head);
        FUZZ_CHECK(ok == (scan.state == Head_State::Complete));
        if (ok) {
            FUZZ_CHECK(head == in.substr(0, scan.end));
            FUZZ_CHECK(in.substr(scan.end + 4).substr(0, buf.size()) == buf);
        }
    }

    Response_Head answer;
    if (parse_response_head(in, answer)) {
        FUZZ_CHECK(answer.status >= 0 && answer.status <= 999);
        ws_client_accepts(answer, "dGhlIHNhbXBsZSBub25jZQ==");
    }
    return 0;
}
