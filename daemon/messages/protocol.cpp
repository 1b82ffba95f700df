// Session messages: the header, and the JSON of the records the protocol carries.
#include "daemon/messages/protocol.h"

#include <nlohmann/json.hpp>

#include "core/base/bytes.h"
#include "core/base/json_read.h"
#include "core/base/json_write.h"

using json = nlohmann::json;

std::string msg_header(Msg_Kind kind, uint32_t id) {
    std::string h;
    h.reserve(MSG_HEADER_SIZE);
    h.push_back(static_cast<char>(kind));
    put_u32le(h, id);
    return h;
}

std::string marshal(const Hello& h) {
    Json_Writer w;
    w.begin_object();
    w.key("version").value(h.version);
    w.key("root").value(h.root);
    w.key("home").value(h.home);
    w.key("platform").value(h.platform);
    w.key("perm_helper").value(h.perm_helper);
    w.key("has_anthropic_key").value(h.has_anthropic_key);
    w.key("vm_relay").value(h.vm_relay);
    w.key("features").string_array(h.features);
    w.end_object();
    return w.take();
}

std::string marshal(const Hook_Ready_Body& h) {
    Json_Writer w;
    w.begin_object();
    w.key("path").value(h.path);
    w.key("err").value(h.err);
    w.end_object();
    return w.take();
}

namespace {

bool _terminal_size(const json& obj, Terminal_Size& out) {
    if (!obj.is_object()) return false;
    int64_t cols = 0, rows = 0;
    if (!json_read_i64(obj, "cols", cols) || !json_read_i64(obj, "rows", rows)) return false;
    auto fits = [](int64_t n) { return n >= TERMINAL_SIZE_MIN && n <= TERMINAL_SIZE_MAX; };
    if (!fits(cols) || !fits(rows)) return false;
    out = {static_cast<int>(cols), static_cast<int>(rows)};
    return true;
}

// Missing or null: no terminal; anything else must be a size.
bool _read_pty(const json& doc, std::optional<Terminal_Size>& out) {
    auto it = doc.find("pty");
    if (it == doc.end() || it->is_null()) return true;
    Terminal_Size size;
    if (!_terminal_size(*it, size)) return false;
    out = size;
    return true;
}

}  // namespace

bool unmarshal(std::string_view text, Spawn_Request& out) {
    out = Spawn_Request{};
    json doc = json::parse(text.begin(), text.end(), nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) return false;
    Spawn_Request r;
    bool ok = json_read_strings(doc, "argv", r.argv) && json_read_string(doc, "cwd", r.cwd) &&
              json_read_string_map(doc, "env", r.env) &&
              json_read_string(doc, "stderr", r.stderr_mode) &&
              json_read_strings(doc, "unset", r.unset) && _read_pty(doc, r.pty);
    if (!ok) return false;
    out = std::move(r);
    return true;
}

bool unmarshal(std::string_view text, Terminal_Size& out) {
    json doc = json::parse(text.begin(), text.end(), nullptr, false);
    return !doc.is_discarded() && _terminal_size(doc, out);
}
