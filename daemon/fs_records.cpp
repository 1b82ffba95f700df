// JSON of the file request records, read without exceptions and written compactly.
#include "daemon/fs_records.h"

#include <nlohmann/json.hpp>

#include "core/base/bytes.h"
#include "core/base/json_write.h"

using nlohmann::json;

namespace {

// Each reader leaves out untouched when the member is missing or null and fails only when
// it is present with another type.
bool _read_string(const json& obj, const char* name, std::string& out) {
    auto it = obj.find(name);
    if (it == obj.end() || it->is_null()) return true;
    if (!it->is_string()) return false;
    out = it->get_ref<const std::string&>();
    return true;
}

bool _read_bool(const json& obj, const char* name, bool& out) {
    auto it = obj.find(name);
    if (it == obj.end() || it->is_null()) return true;
    if (!it->is_boolean()) return false;
    out = it->get<bool>();
    return true;
}

bool _read_i64(const json& obj, const char* name, int64_t& out) {
    auto it = obj.find(name);
    if (it == obj.end() || it->is_null()) return true;
    if (it->is_number_integer()) {
        out = it->get<int64_t>();
        return true;
    }
    return false;
}

bool _read_strings(const json& obj, const char* name, std::vector<std::string>& out) {
    auto it = obj.find(name);
    if (it == obj.end() || it->is_null()) return true;
    if (!it->is_array()) return false;
    std::vector<std::string> items;
    items.reserve(it->size());
    for (const json& v : *it) {
        if (!v.is_string()) return false;
        items.push_back(v.get_ref<const std::string&>());
    }
    out = std::move(items);
    return true;
}

bool _read_entry(const json& v, Fs_Entry& e) {
    return v.is_object() && _read_string(v, "n", e.n) && _read_bool(v, "d", e.d) &&
           _read_i64(v, "s", e.s) && _read_i64(v, "m", e.m);
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
    if (!_read_string(doc, "op", r.op) || !_read_string(doc, "path", r.path) ||
        !_read_string(doc, "to", r.to) || !_read_strings(doc, "paths", r.paths))
        return false;
    out = std::move(r);
    return true;
}

bool unmarshal(std::string_view text, Fs_Reply& out) {
    json doc = json::parse(text.begin(), text.end(), nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) return false;
    Fs_Reply r;
    if (!_read_bool(doc, "ok", r.ok) || !_read_string(doc, "err", r.err) ||
        !_read_string(doc, "kind", r.kind) || !_read_i64(doc, "size", r.size) ||
        !_read_i64(doc, "mtime", r.mtime) || !_read_entries(doc, r.entries) ||
        !_read_string(doc, "kinds", r.kinds))
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
