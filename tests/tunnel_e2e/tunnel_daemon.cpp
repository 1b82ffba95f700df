// A quelmar with a tunnel through a fake cloudflared, and a client of the tunnel listener.
#include "tunnel_daemon.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <regex>
#include <thread>

#include "tests/support/net.h"
#include "tests/support/tab.h"
#include "tests/support/ws_peer.h"

namespace {

// The fake: answers --version, records each run's argv, environment and pid, prints what
// cloudflared prints up to its registration (a new quick host every run), then `after`.
std::string _fake_script(const std::string& dir, const Tunnel_Options& o) {
    std::string s = "#!/bin/sh\nDIR='" + dir + "'\n";
    s += "if [ \"$1\" = --version ]; then\n"
         "  echo 'cloudflared version 2024.2.1 (built 2024-02-20-1200 UTC)'; exit 0\n"
         "fi\n"
         "n=$(( $(cat \"$DIR/runs\" 2>/dev/null || echo 0) + 1 ))\n"
         "printf '%s\\n' \"$0\" \"$@\" > \"$DIR/argv.$n.tmp\"\n"
         "env > \"$DIR/env.$n\"\n"
         "mv \"$DIR/argv.$n.tmp\" \"$DIR/argv.$n\"\n"
         "echo $$ >> \"$DIR/pids\"\n"
         "echo $n > \"$DIR/runs\"\n"
         "echo '2024-02-20T12:00:00Z INF Starting tunnel tunnelID=fake'\n"
         "echo '2024-02-20T12:00:00Z INF Configuration file /dev/null was empty'\n"
         "while [ -f \"$DIR/hold\" ]; do /bin/sleep 0.05; done\n"
         "echo '2024-02-20T12:00:01Z INF +--------------------------------------------+'\n"
         "echo \"2024-02-20T12:00:01Z INF |  https://run$n-quiet-lake.trycloudflare.com  |\"\n"
         "echo '2024-02-20T12:00:02Z INF +--------------------------------------------+'\n"
         "echo '2024-02-20T12:00:03Z INF Registered tunnel connection connIndex=0 "
         "location=ams01 protocol=quic'\n";
    s += o.after + "\n";
    return s;
}

bool _wait_for(const std::function<bool()>& cond, int timeout_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool _exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

Tunnel_Daemon::Tunnel_Daemon(Tunnel_Options o) {
    std::string fake = fake_.file("cloudflared");
    write_file(fake, _fake_script(fake_.path(), o));
    ::chmod(fake.c_str(), 0755);
    if (o.hold) write_file(fake_.file("hold"), "");
    if (!o.index_html.empty()) write_file(web_.file("index.html"), o.index_html);
    write_file(web_.file("app.js"), "console.log('app');\n");
    ::mkdir(web_.file("assets").c_str(), 0755);
    write_file(web_.file("assets") + "/deep.js", "deep\n");

    std::vector<std::string> args = {"--web", web_.path(), "--cloudflared", fake};
    if (o.named) {
        std::string creds = creds_.file("creds.json");
        write_file(creds,
                   std::string("{\"AccountTag\":\"a\",\"TunnelSecret\":\"s\",\"TunnelID\":\"") +
                       NAMED_ID + "\"}");
        args.insert(args.end(), {"--tunnel-host", NAMED_HOST, "--tunnel-creds", creds});
    } else {
        args.push_back("--tunnel");
    }
    args.insert(args.end(), o.extra.begin(), o.extra.end());
    daemon_ = std::make_unique<Daemon>(args, o.env);
}

Tunnel_Daemon::~Tunnel_Daemon() {
    if (daemon_) {
        daemon_->process().kill_now(SIGTERM);
        daemon_->process().wait_exit(10000);
    }
    for (pid_t pid : fake_pids()) kill_leftover(pid);
    daemon_.reset();
}

int Tunnel_Daemon::tunnel_port() {
    if (tunnel_port_ > 0) return tunnel_port_;
    if (!_wait_for([&] { return _exists(fake_.file("argv.1")); }, 10000)) return 0;
    std::vector<std::string> argv = argv_of(1);
    for (size_t i = 0; i + 1 < argv.size(); ++i) {
        const std::string origin = "http://127.0.0.1:";
        if (argv[i] == "--url" && argv[i + 1].rfind(origin, 0) == 0)
            tunnel_port_ = std::atoi(argv[i + 1].c_str() + origin.size());
    }
    return tunnel_port_;
}

bool Tunnel_Daemon::wait_link(int n, int timeout_ms) {
    static const std::regex link(R"(https://([a-z0-9.-]+)/#t=([0-9a-f]{64})\n)");
    bool found = _wait_for(
        [&] {
            std::string out = process().stdout_text();
            int seen = 0;
            for (std::sregex_iterator it(out.begin(), out.end(), link), end; it != end; ++it) {
                if (++seen == n) {
                    host_ = (*it)[1];
                    token_ = (*it)[2];
                    return true;
                }
            }
            return false;
        },
        timeout_ms);
    return found;
}

void Tunnel_Daemon::release() {
    ::unlink(fake_.file("hold").c_str());
}

int Tunnel_Daemon::runs() const {
    return std::atoi(read_file(fake_.file("runs")).c_str());
}

std::vector<std::string> Tunnel_Daemon::argv_of(int run) const {
    std::vector<std::string> out;
    std::string text = read_file(fake_.file("argv." + std::to_string(run)));
    size_t at = 0;
    for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
        out.push_back(text.substr(at, nl - at));
    return out;
}

std::vector<pid_t> Tunnel_Daemon::fake_pids() const {
    std::vector<pid_t> out;
    std::string text = read_file(fake_.file("pids"));
    size_t at = 0;
    for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
        out.push_back(static_cast<pid_t>(std::atol(text.substr(at, nl - at).c_str())));
    return out;
}

void kill_leftover(pid_t pid) {
    if (pid <= 0) return;
    // Only the fake's own program: a pid that has been reused is none of ours.
    std::string cmd = read_file("/proc/" + std::to_string(pid) + "/cmdline");
    if (cmd.find("sleep") == std::string::npos && cmd.find("cloudflared") == std::string::npos)
        return;
    ::kill(pid, SIGKILL);
}

std::string tunnel_req(const std::string& method, const std::string& target,
                       const std::string& host, const std::string& extra) {
    std::string r = method + " " + target + " HTTP/1.1\r\n";
    if (!host.empty()) r += "Host: " + host + "\r\n";
    return r + extra + "\r\n";
}

Answer parse_answer(const std::string& raw) {
    Answer a;
    a.raw = raw;
    size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos || raw.rfind("HTTP/1.1 ", 0) != 0) return a;
    a.head = raw.substr(0, end + 4);
    a.body = raw.substr(end + 4);
    a.status = std::atoi(raw.c_str() + 9);
    return a;
}

Answer ask(int port, const std::string& request) {
    return parse_answer(http_exchange(port, request));
}

std::string header_of(const std::string& head, const std::string& name) {
    std::string lower_head = head, lower_name = name + ":";
    for (auto& c : lower_head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (auto& c : lower_name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    size_t at = lower_head.find("\r\n" + lower_name);
    if (at == std::string::npos) return "";
    at += 2 + lower_name.size();
    size_t eol = head.find("\r\n", at);
    std::string v = head.substr(at, eol - at);
    while (!v.empty() && v.front() == ' ') v.erase(0, 1);
    return v;
}

std::string from_page(const std::string& host, const std::string& ip, const std::string& country) {
    return "Origin: https://" + host + "\r\ncf-connecting-ip: " + ip +
           "\r\ncf-ipcountry: " + country + "\r\n";
}

int tunnel_tab(int port, const std::string& host, const std::string& token, std::string& head,
               std::string& buf, const std::string& ip, const std::string& country) {
    int fd = connect_tcp(port);
    if (fd < 0) return -1;
    std::string req = tunnel_req("GET", "/ws", host,
                                 from_page(host, ip, country) +
                                     "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                                     "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                     "Sec-WebSocket-Version: 13\r\n"
                                     "Sec-WebSocket-Protocol: editor.v1, tok." +
                                     token + "\r\n");
    buf.clear();
    if (!send_bytes(fd, req)) {
        ::close(fd);
        return -1;
    }
    head = read_head(fd, buf);
    if (head.rfind("HTTP/1.1 101 ", 0) != 0) {
        head += buf + read_until_close(fd);  // the body may have come with the head
        ::close(fd);
        return -1;
    }
    return fd;
}

std::optional<std::string> next_message_of_kind(int fd, std::string& buf, uint8_t kind) {
    while (std::optional<Tab_Msg> m = read_tab_msg(fd, buf, -1))
        if (static_cast<uint8_t>(m->kind) == kind) return m->payload;
    return std::nullopt;
}
