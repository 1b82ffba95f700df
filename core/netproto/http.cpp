// HTTP/1.1 heads: reading, parsing a request and a response head, query parameters,
// the Host test, draining an unread body.
#include "core/netproto/http.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

#include "core/base/clock.h"
#include "core/base/decimal.h"
#include "core/base/io_wait.h"

namespace {

// A body announced larger than the largest file request plus its envelope is drained
// only this far before the connection is dropped.
constexpr int64_t DRAIN_LIMIT = 268'439'552;  // 256 MiB + 4096
constexpr int64_t DRAIN_TIME_NS = 2 * NS_PER_SEC;
constexpr size_t DRAIN_CHUNK = 65536;

// Splits at runs of white space, ignoring it at both ends.
std::vector<std::string_view> _words(std::string_view line) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && is_ascii_space(line[i])) ++i;
        size_t j = i;
        while (j < line.size() && !is_ascii_space(line[j])) ++j;
        if (j > i) out.push_back(line.substr(i, j - i));
        i = j;
    }
    return out;
}

// The first line of a head, and the header field lines after it.
void _split_head(std::string_view head, std::string_view& line, std::string_view& fields) {
    size_t eol = head.find("\r\n");
    line = head.substr(0, eol);
    fields = eol == std::string_view::npos ? std::string_view{} : head.substr(eol + 2);
}

// One field per line: a name before the first ":" and the value after it, both trimmed,
// the name lower-cased; empty lines are skipped. False at a line without a name.
bool _parse_fields(std::string_view fields, Header_Map& out) {
    while (!fields.empty()) {
        size_t e = fields.find("\r\n");
        std::string_view h = fields.substr(0, e);
        fields = e == std::string_view::npos ? std::string_view{} : fields.substr(e + 2);
        if (h.empty()) continue;
        size_t colon = h.find(':');
        if (colon == std::string_view::npos || colon == 0) return false;
        out[ascii_lower(trim_ascii_space(h.substr(0, colon)))] =
            std::string(trim_ascii_space(h.substr(colon + 1)));
    }
    return true;
}

}  // namespace

const std::string* Request::header(std::string_view name) const {
    auto it = headers.find(name);
    return it == headers.end() ? nullptr : &it->second;
}

size_t find_head_end(std::string_view buf) {
    return buf.find("\r\n\r\n");
}

Head_Scan scan_head(std::string_view buf) {
    size_t end = find_head_end(buf);
    if (end != std::string_view::npos) return {Head_State::Complete, end};
    return {buf.size() > HEAD_LIMIT ? Head_State::Too_Large : Head_State::Need_More, 0};
}

void take_head(Conn_Buffer& buf, size_t end, std::string& head) {
    head.assign(buf, 0, end);
    buf.erase(0, end + 4);
}

bool read_request_head(int sock, Conn_Buffer& buf, int64_t deadline_ns, std::string& head) {
    head.clear();
    char chunk[HEAD_READ_SIZE];
    Head_Scan scan;
    while ((scan = scan_head(buf)).state != Head_State::Complete) {
        if (scan.state == Head_State::Too_Large) return false;
        // Waits in poll rather than under a receive time-out: an interrupted receive with a
        // time-out is never restarted by the system, and would drop a valid request.
        ssize_t n = recv_by(sock, chunk, sizeof chunk, deadline_ns);
        if (n <= 0) return false;
        buf.append(chunk, static_cast<size_t>(n));
    }
    take_head(buf, scan.end, head);
    return true;
}

bool parse_request(std::string_view head, Request& out) {
    out = Request{};
    std::string_view line, fields;
    _split_head(head, line, fields);
    auto words = _words(line);
    if (words.size() != 3) return false;
    if (words[2].size() < 7 || words[2].substr(0, 7) != "HTTP/1.") return false;
    out.method = words[0];
    out.target = words[1];
    size_t q = out.target.find('?');
    out.path = out.target.substr(0, q);
    if (q != std::string::npos) out.query = out.target.substr(q + 1);
    return _parse_fields(fields, out.headers);
}

bool parse_response_head(std::string_view head, Response_Head& out) {
    out = Response_Head{};
    std::string_view line, fields;
    _split_head(head, line, fields);
    if (line.size() < 12 || line.substr(0, 7) != "HTTP/1." || line[8] != ' ') return false;
    std::string_view code = line.substr(9);
    code = code.substr(0, code.find(' '));
    Decimal status = parse_decimal(code, 999);
    if (code.size() != 3 || !status.ok()) return false;
    out.status = static_cast<int>(status.value);
    return _parse_fields(fields, out.headers);
}

std::string_view query_param(std::string_view query, std::string_view key) {
    while (true) {
        size_t amp = query.find('&');
        std::string_view part = query.substr(0, amp);
        size_t eq = part.find('=');
        std::string_view k = part.substr(0, eq);
        if (k == key)
            return eq == std::string_view::npos ? std::string_view{} : part.substr(eq + 1);
        if (amp == std::string_view::npos) return {};
        query.remove_prefix(amp + 1);
    }
}

bool host_is_local(std::string_view value, int port) {
    std::string p = std::to_string(port);
    return value == "127.0.0.1:" + p || value == "localhost:" + p;
}

int64_t body_bytes_to_drain(const Request& req, size_t buffered_body_bytes) {
    if (const std::string* cl = req.header("content-length")) {
        Decimal n = parse_decimal(*cl, DRAIN_LIMIT);
        if (!n.ok()) return DRAIN_LIMIT;
        return std::max<int64_t>(
            0, static_cast<int64_t>(n.value) - static_cast<int64_t>(buffered_body_bytes));
    }
    if (req.header("transfer-encoding")) return DRAIN_LIMIT;
    return 0;
}

void linger_unread_body(int sock, const Request& req, size_t buffered_body_bytes) {
    int64_t left = body_bytes_to_drain(req, buffered_body_bytes);
    if (left <= 0) return;
    shutdown(sock, SHUT_WR);
    std::string scratch(DRAIN_CHUNK, '\0');
    int64_t deadline = mono_ns() + DRAIN_TIME_NS;
    while (left > 0) {
        size_t want = static_cast<size_t>(std::min<int64_t>(left, DRAIN_CHUNK));
        ssize_t n = recv_by(sock, scratch.data(), want, deadline);
        if (n <= 0) return;
        left -= n;
    }
}
