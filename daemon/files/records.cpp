// JSON of the file request records, read without exceptions and written compactly.
#include "daemon/files/records.h"

#include <nlohmann/json.hpp>

#include "core/base/bytes.h"
#include "core/base/json_read.h"
#include "core/base/json_write.h"

using nlohmann::json;

namespace {

bool _read_entry(const json& v, Fs_Entry& e) {
    return v.is_object() && json_read_string(v, "n", e.n) && json_read_bool(v, "d", e.d) &&
           json_read_i64(v, "s", e.s) && json_read_i64(v, "m", e.m);
}

bool _read_entries(const json& obj, std::vector<Fs_Entry>& out) {
    auto it = obj.find("entries");
    if (it == obj.end() || it->is_null()) return true;
    if (!it->is_array()) return false;
    for (const json& v : *it) {
        Fs_Entry e;
        if (!_read_entry(v, e)) return false;
        out.push_back(std::move(e));
    }
    return true;
}

void _write_entry(Json_Writer& w, const Fs_Entry& e) {
    w.begin_object();
    w.key("n").value(e.n).key("d").value(e.d).key("s").value(e.s).key("m").value(e.m);
    w.end_object();
}

}  // namespace

std::string marshal(const Fs_Request& r) {
    Json_Writer w;
    w.begin_object();
    w.key("op").value(r.op).key("path").value(r.path).key("to").value(r.to);
    w.key("paths").string_array(r.paths);
    w.end_object();
    return w.take();
}

std::string marshal(const Fs_Entry& e) {
    Json_Writer w;
    _write_entry(w, e);
    return w.take();
}

std::string marshal(const Fs_Reply& r) {
    Json_Writer w;
    w.begin_object();
    w.key("ok").value(r.ok).key("err").value(r.err).key("kind").value(r.kind);
    w.key("size").value(r.size).key("mtime").value(r.mtime);
    w.key("entries").begin_array();
    for (const Fs_Entry& e : r.entries) _write_entry(w, e);
    w.end_array();
    w.key("kinds").value(r.kinds);
    w.end_object();
    return w.take();
}

bool unmarshal(std::string_view text, Fs_Request& out) {
    json doc = json::parse(text.begin(), text.end(), nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) return false;
    Fs_Request r;
    if (!json_read_string(doc, "op", r.op) || !json_read_string(doc, "path", r.path) ||
        !json_read_string(doc, "to", r.to) || !json_read_strings(doc, "paths", r.paths))
        return false;
    out = std::move(r);
    return true;
}

bool unmarshal(std::string_view text, Fs_Reply& out) {
    json doc = json::parse(text.begin(), text.end(), nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) return false;
    Fs_Reply r;
    if (!json_read_bool(doc, "ok", r.ok) || !json_read_string(doc, "err", r.err) ||
        !json_read_string(doc, "kind", r.kind) || !json_read_i64(doc, "size", r.size) ||
        !json_read_i64(doc, "mtime", r.mtime) || !_read_entries(doc, r.entries) ||
        !json_read_string(doc, "kinds", r.kinds))
        return false;
    out = std::move(r);
    return true;
}

bool split_fs_envelope(std::string_view envelope, std::string_view& json_part,
                       std::string_view& data) {
    if (envelope.size() < FS_ENVELOPE_HEAD) return false;
    uint64_t n = get_u32le(envelope);
    if (n > envelope.size() - FS_ENVELOPE_HEAD) return false;
    json_part = envelope.substr(FS_ENVELOPE_HEAD, n);
    data = envelope.substr(FS_ENVELOPE_HEAD + n);
    return true;
}

std::string fs_envelope_head(std::string_view json_part) {
    std::string out;
    out.reserve(FS_ENVELOPE_HEAD + json_part.size());
    put_u32le(out, static_cast<uint32_t>(json_part.size()));
    out.append(json_part);
    return out;
}

std::string fs_envelope(std::string_view json_part, std::string_view data) {
    std::string out;
    out.reserve(FS_ENVELOPE_HEAD + json_part.size() + data.size());
    put_u32le(out, static_cast<uint32_t>(json_part.size()));
    out.append(json_part);
    out.append(data);
    return out;
}
