// A session-protocol tab over a real WebSocket, for the tests.
#include "tests/support/tab.h"

#include <nlohmann/json.hpp>

#include "core/base/bytes.h"
#include "core/base/json_write.h"
#include "tests/support/front.h"
#include "tests/support/net.h"
#include "tests/support/ws_peer.h"

namespace {

constexpr uint8_t OP_BINARY = 2;
constexpr uint8_t OP_CLOSE = 8;

}  // namespace

std::optional<Tab_Msg> read_tab_msg(int fd, std::string& buf, int timeout_ms) {
    Server_Frame f;
    while (fd >= 0 && read_server_frame(fd, buf, f, timeout_ms)) {
        if (f.opcode() == OP_CLOSE) return std::nullopt;
        if (f.opcode() != OP_BINARY) continue;
        if (f.payload.size() < MSG_HEADER_SIZE) return std::nullopt;
        Tab_Msg m;
        m.kind = static_cast<Msg_Kind>(f.payload[0]);
        m.id = get_u32le(std::string_view(f.payload).substr(1));
        m.payload = f.payload.substr(MSG_HEADER_SIZE);
        return m;
    }
    return std::nullopt;
}

Tab::Tab(int port, const std::string& token, bool greet, const std::string& first_bytes) {
    fd_.reset(open_session(port, token, buf_, first_bytes));
    if (!greet || !fd_) return;
    std::optional<Tab_Msg> m = next();
    if (!m || m->kind != Msg_Kind::Hello) {
        close();
        return;
    }
    hello_ = std::move(m->payload);
}

Tab::Tab(const Front& f, bool greet) : Tab(f.port, f.token, greet) {}

Tab::Tab() : Tab(test_front()) {}

Tab::Tab(Fd fd, std::string buf) : fd_(std::move(fd)), buf_(std::move(buf)) {}

bool Tab::send(Msg_Kind kind, uint32_t id, std::string_view payload) {
    return send_raw(session_msg(static_cast<uint8_t>(kind), id, payload));
}

bool Tab::send_raw(std::string_view bytes) {
    return fd_ && send_bytes(fd_.get(), std::string(bytes));
}

std::optional<Tab_Msg> Tab::next_of(Msg_Kind kind) {
    for (;;) {
        std::optional<Tab_Msg> m = next();
        if (!m || m->kind == kind) return m;
    }
}

std::optional<Tab_Msg> Tab::next_of(Msg_Kind kind, uint32_t id) {
    for (;;) {
        std::optional<Tab_Msg> m = next();
        if (!m || (m->kind == kind && m->id == id)) return m;
    }
}

Channel_Run Tab::collect(uint32_t id) {
    Channel_Run r;
    while (std::optional<Tab_Msg> m = next()) {
        if (m->id != id || (m->kind != Msg_Kind::Stdout && m->kind != Msg_Kind::Stderr &&
                            m->kind != Msg_Kind::Exit)) {
            r.others.push_back(std::move(*m));
            continue;
        }
        if (m->kind == Msg_Kind::Stdout) {
            r.out += m->payload;
            r.out_sizes.push_back(m->payload.size());
        } else if (m->kind == Msg_Kind::Stderr) {
            r.err += m->payload;
        } else {
            r.exited = true;
            r.exit_size = m->payload.size();
            if (m->payload.size() >= 4) r.status = static_cast<int32_t>(get_u32le(m->payload));
            if (m->payload.size() > 4) r.exit_text = m->payload.substr(4);
            break;
        }
    }
    return r;
}

Hook_Ready_Body Tab::listen(uint32_t hook_id) {
    send(Msg_Kind::Hook_Listen, hook_id, "");
    std::optional<Tab_Msg> m = next_of(Msg_Kind::Hook_Ready);
    if (!m || m->id != hook_id) return {"", "no Hook_Ready"};
    return parse_ready(m->payload);
}

void Tab::reply(uint32_t hook_id, uint32_t request_id, std::string_view answer) {
    send(Msg_Kind::Hook_Reply, hook_id, hook_reply_body(request_id, answer));
}

std::string spawn_json(const std::vector<std::string>& argv, const std::string& more) {
    std::string j = "{\"argv\":" + nlohmann::json(argv).dump();
    if (!more.empty()) j += "," + more;
    return j + "}";
}

std::string sh_spawn(std::string_view script) {
    Json_Writer w;
    w.begin_object();
    w.key("argv").string_array({"/bin/sh", "-c", std::string(script)});
    w.end_object();
    return w.take();
}

std::string fs_request(std::string_view op, std::string_view path, std::string_view data) {
    Json_Writer w;
    w.begin_object();
    w.key("op").value(op).key("path").value(path);
    w.end_object();
    std::string json = w.take();
    std::string out;
    put_u32le(out, static_cast<uint32_t>(json.size()));
    out.append(json).append(data);
    return out;
}

bool split_reply(std::string_view payload, std::string& json, std::string& data) {
    if (payload.size() < 4) return false;
    uint32_t n = get_u32le(payload);
    if (n > payload.size() - 4) return false;
    json = payload.substr(4, n);
    data = payload.substr(4 + n);
    return true;
}

std::string hook_reply_body(uint32_t request_id, std::string_view answer) {
    std::string body;
    put_u32le(body, request_id);
    body.append(answer);
    return body;
}

Hook_Ready_Body parse_ready(const std::string& json) {
    auto j = nlohmann::json::parse(json, nullptr, false);
    if (!j.is_object() || !j["path"].is_string() || !j["err"].is_string())
        return {"", "unparsable: " + json};
    return {j["path"].get<std::string>(), j["err"].get<std::string>()};
}
