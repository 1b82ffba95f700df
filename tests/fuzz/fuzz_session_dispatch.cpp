// A tab's session messages through session_dispatch, on a session whose socket is one end
// of a socket pair. The input is a sequence of [kind][id][u16le length][payload].
//
// Confinement, so the fuzzer can neither run programs nor touch files outside a scratch
// tree: a Spawn that parses gets a program name found nowhere on PATH (its terminal, if it
// asks for one, is still opened and closed), one that does not goes through as it is; every
// path of a well-formed Fs request is put under the scratch tree (its "..", "." and empty
// components removed); an Fs payload that does not parse goes through as it is, since the
// service refuses it before looking at any path; hooks live under a scratch
// XDG_RUNTIME_DIR. Resize and the other channel kinds go through as they are. Every Spawn
// gets exactly one Exit -1 with its id ("bad spawn request" exactly for one that does not
// parse), every Fs exactly one Fs_Reply with its id and a valid envelope, every
// Hook_Listen one Hook_Ready, and the session is freed at the end.
#include <ftw.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/base/bytes.h"
#include "core/netproto/ws.h"
#include "daemon/config/config.h"
#include "daemon/files/records.h"
#include "daemon/hooks/hooks.h"
#include "daemon/session/dispatch.h"
#include "daemon/session/session.h"
#include "fuzz_support.h"

namespace {

constexpr int HOOKS_PER_INPUT = 4;
constexpr const char* NO_PROGRAM = "quelmar-fuzz-no-such-program";
constexpr int SEND_ROOM = 8 << 20;

struct Scratch {
    std::string base, work;
};

// Made once and never destroyed, so the removal at exit still finds the paths.
const Scratch* _scratch = nullptr;

int _remove_entry(const char* path, const struct stat*, int, struct FTW*) {
    remove(path);
    return 0;
}

void _remove_tree(const std::string& path) {
    nftw(path.c_str(), _remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

void _remove_scratch() {
    _remove_tree(_scratch->base);
}

void _make_scratch() {
    auto* made = new Scratch;
    char tmpl[] = "/tmp/quelmar-fuzz-XXXXXX";
    FUZZ_CHECK(mkdtemp(tmpl));
    made->base = tmpl;
    made->work = made->base + "/work";
    std::string xdg = made->base + "/xdg";
    FUZZ_CHECK(mkdir(xdg.c_str(), 0700) == 0);
    setenv("XDG_RUNTIME_DIR", xdg.c_str(), 1);
    g_cfg.root = made->work;
    _scratch = made;
    std::atexit(_remove_scratch);
}

void _fresh_work_tree(const std::string& work) {
    _remove_tree(work);
    FUZZ_CHECK(mkdir(work.c_str(), 0755) == 0);
}

std::string _confined(const std::string& work, std::string_view path) {
    std::string out = work;
    while (!path.empty()) {
        size_t slash = path.find('/');
        std::string_view part = path.substr(0, slash);
        path = slash == std::string_view::npos ? std::string_view{} : path.substr(slash + 1);
        if (part.empty() || part == "." || part == "..") continue;
        out.append("/").append(part);
    }
    return out;
}

struct Expected {
    std::map<uint32_t, int> fs_replies;  // id -> replies still owed
    std::map<uint32_t, int> exits;       // id -> Exit messages still owed
    bool spawn_bad = false;              // the last Spawn does not parse
    int hook_ready = 0;
    std::string last_op;    // of the last Fs sent
    bool last_bad = false;  // it cannot be used: no envelope, no JSON, or a NUL in a path
};

bool _has_nul(const Fs_Request& req) {
    bool nul = req.path.find('\0') != std::string::npos || req.to.find('\0') != std::string::npos;
    for (const std::string& p : req.paths) nul = nul || p.find('\0') != std::string::npos;
    return nul;
}

// The Fs payload to hand on: confined when it parses, else unchanged; notes what the reply
// must say.
std::string _fs_payload(const std::string& work, std::string_view payload, Expected& owed) {
    std::string_view json, body;
    Fs_Request req;
    owed.last_op.clear();
    owed.last_bad = !split_fs_envelope(payload, json, body) || !unmarshal(json, req);
    if (owed.last_bad) return std::string(payload);
    owed.last_op = req.op;
    owed.last_bad = _has_nul(req);
    req.path = _confined(work, req.path);
    if (!req.to.empty()) req.to = _confined(work, req.to);
    for (std::string& p : req.paths) p = _confined(work, p);
    return fs_envelope(marshal(req), body);
}

// The Spawn payload to hand on: one that parses runs NO_PROGRAM instead; notes whether it
// parses.
std::string _spawn_payload(std::string_view payload, Expected& owed) {
    Spawn_Request req;
    owed.spawn_bad = !unmarshal(payload, req) || req.argv.empty();
    if (owed.spawn_bad) return std::string(payload);
    nlohmann::json doc = nlohmann::json::parse(payload.begin(), payload.end());
    doc["argv"][0] = NO_PROGRAM;
    return doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// A Spawn answer: status -1 and the text the request deserves.
void _check_exit(std::string_view payload, bool bad) {
    FUZZ_CHECK(payload.size() > 4 && get_u32le(payload) == 0xffffffffu);
    std::string_view text = payload.substr(4);
    if (bad) {
        FUZZ_CHECK(text == "bad spawn request");
        return;
    }
    FUZZ_CHECK(text == std::string("cannot start ") + NO_PROGRAM + ": ENOENT" ||
               text == "pty failed" || text == "pipe failed");
}

bool _fails_by_ok_alone(std::string_view op) {
    return op == "mkdir" || op == "remove" || op == "remove_all" || op == "rename";
}

// Reads every frame the session has written so far and checks it against what is owed.
void _drain(int peer, std::string& pending, Expected& owed) {
    char chunk[65536];
    for (ssize_t n; (n = recv(peer, chunk, sizeof chunk, MSG_DONTWAIT)) > 0;)
        pending.append(chunk, static_cast<size_t>(n));
    for (;;) {
        WS_Frame_Header h;
        size_t header = ws_parse_frame_header(pending, h);
        if (header == 0 || pending.size() - header < h.length) return;
        FUZZ_CHECK(h.fin && !h.masked && h.opcode == static_cast<uint8_t>(WS_Op::Binary));
        std::string_view msg = std::string_view(pending).substr(header, h.length);
        FUZZ_CHECK(msg.size() >= MSG_HEADER_SIZE);
        auto kind = static_cast<Msg_Kind>(msg[0]);
        uint32_t id = get_u32le(msg.substr(1));
        if (kind == Msg_Kind::Fs_Reply) {
            FUZZ_CHECK(owed.fs_replies[id]-- > 0);
            std::string_view json, body;
            Fs_Reply reply;
            FUZZ_CHECK(split_fs_envelope(msg.substr(MSG_HEADER_SIZE), json, body));
            FUZZ_CHECK(unmarshal(json, reply));
            if (owed.last_bad) FUZZ_CHECK(!reply.ok && reply.err == "bad request");
            if (!reply.ok && reply.err.empty()) FUZZ_CHECK(_fails_by_ok_alone(owed.last_op));
        } else if (kind == Msg_Kind::Hook_Ready) {
            FUZZ_CHECK(owed.hook_ready-- > 0);
        } else {
            FUZZ_CHECK(kind == Msg_Kind::Exit && owed.exits[id]-- > 0);
            _check_exit(msg.substr(MSG_HEADER_SIZE), owed.spawn_bad);
        }
        pending.erase(0, header + h.length);
    }
}

void _close_hooks(Session& s) {
    std::vector<uint32_t> ids;
    {
        std::lock_guard lock(s.mu);
        FUZZ_CHECK(s.channels.empty());
        for (auto& [id, hook] : s.hooks) ids.push_back(id);
    }
    for (uint32_t id : ids) hook_close(s, id);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    _make_scratch();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Scratch& scratch = *_scratch;
    _fresh_work_tree(scratch.work);
    int sv[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0);
    Fd sock(sv[0]), peer(sv[1]);
    setsockopt(sock.get(), SOL_SOCKET, SO_SNDBUF, &SEND_ROOM, sizeof SEND_ROOM);
    setsockopt(peer.get(), SOL_SOCKET, SO_RCVBUF, &SEND_ROOM, sizeof SEND_ROOM);

    auto* s = new Session;
    s->sock = sock.get();
    s->root = scratch.work;
    Expected owed;
    std::string pending;
    int hooks = 0;
    std::string_view in = fuzz_bytes(data, size);
    while (in.size() >= 4) {
        auto kind = static_cast<Msg_Kind>(in[0]);
        uint32_t id = static_cast<uint8_t>(in[1]);
        size_t len = static_cast<uint8_t>(in[2]) | static_cast<size_t>(in[3]) << 8;
        in.remove_prefix(4);
        std::string_view payload = in.substr(0, len);
        in.remove_prefix(payload.size());
        if (kind == Msg_Kind::Hook_Listen && ++hooks > HOOKS_PER_INPUT) continue;
        std::string rewritten;
        if (kind == Msg_Kind::Fs) {
            rewritten = _fs_payload(scratch.work, payload, owed);
            payload = rewritten;
            ++owed.fs_replies[id];
        }
        if (kind == Msg_Kind::Spawn) {
            rewritten = _spawn_payload(payload, owed);
            payload = rewritten;
            ++owed.exits[id];
        }
        if (kind == Msg_Kind::Hook_Listen) ++owed.hook_ready;
        session_dispatch(*s, kind, id, payload);
        _drain(peer.get(), pending, owed);
    }
    _close_hooks(*s);
    _drain(peer.get(), pending, owed);
    FUZZ_CHECK(pending.empty() && owed.hook_ready == 0);
    for (auto& [id, n] : owed.fs_replies) FUZZ_CHECK(n == 0);
    for (auto& [id, n] : owed.exits) FUZZ_CHECK(n == 0);
    FUZZ_CHECK(s->refs.load() == 1);
    session_unref(*s);
    return 0;
}
