// Session messages: the header, and the JSON of the records the protocol carries.
#include "daemon/protocol.h"

#include <nlohmann/json.hpp>

#include "core/base/bytes.h"
#include "core/base/json_write.h"

namespace {

using json = nlohmann::json;

// Fields read from JSON follow one rule: a missing member (or null) keeps the zero value,
// a member of the wrong type fails the whole record.
bool _read_string(const json& obj, const char* name, std::string& out) {
    auto it = obj.find(name);
    if (it == obj.end() || it->is_null()) return true;
    if (!it->is_string()) return false;
    out = it->get_ref<const std::string&>();
    return true;
}

bool _read_string_list(const json& obj, const char* name, std::vector<std::string>& out) {
    auto it = obj.find(name);
    if (it == obj.end() || it->is_null()) return true;
    if (!it->is_array()) return false;
    out.clear();
    out.reserve(it->size());
    for (const auto& item : *it) {
        if (!item.is_string()) return false;
        out.push_back(item.get_ref<const std::string&>());
    }
    return true;
}

bool _read_string_map(const json& obj, const char* name, std::map<std::string, std::string>& out) {
    auto it = obj.find(name);
    if (it == obj.end() || it->is_null()) return true;
    if (!it->is_object()) return false;
    out.clear();
    for (const auto& [k, v] : it->items()) {
        if (!v.is_string()) return false;
        out[k] = v.get_ref<const std::string&>();
    }
    return true;
}

}  // namespace

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

bool unmarshal(std::string_view text, Spawn_Request& out) {
    out = Spawn_Request{};
    json doc = json::parse(text.begin(), text.end(), nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) return false;
    Spawn_Request r;
    bool ok = _read_string_list(doc, "argv", r.argv) && _read_string(doc, "cwd", r.cwd) &&
              _read_string_map(doc, "env", r.env) && _read_string(doc, "stderr", r.stderr_mode) &&
              _read_string_list(doc, "unset", r.unset);
    if (!ok) return false;
    out = std::move(r);
    return true;
}

std::string_view build_platform() {
#if defined(__APPLE__)
    return "darwin";
#elif defined(__linux__)
    return "linux";
#elif defined(__FreeBSD__)
    return "freebsd";
#elif defined(__OpenBSD__)
    return "openbsd";
#elif defined(__NetBSD__)
    return "netbsd";
#else
    return "unknown";
#endif
}
