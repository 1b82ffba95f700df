// Start-up with a tunnel: what cloudflared is given, the lines and links printed, the
// preparation failures that end the start before anything is printed, and the answers
// before the tunnel is up.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include "tests/support/net.h"
#include "tunnel_daemon.h"

namespace {

const std::string QUICK_HOST = "run1-quiet-lake.trycloudflare.com";

// A start that must fail: exit status 2, nothing on stdout, exactly one line on stderr
// (the install hint is one message of five lines).
struct Failed_Start {
    std::optional<int> status;
    std::string out, err;
};

Failed_Start start_failing(const std::vector<std::string>& args) {
    Temp_Dir root;
    std::vector<std::string> argv = {QUELMAR_BIN, "--port", "0", "--root", root.path()};
    argv.insert(argv.end(), args.begin(), args.end());
    Child_Process p(argv);
    Failed_Start f;
    f.status = p.wait_exit(15000);
    f.out = p.stdout_text();
    f.err = p.stderr_text();
    return f;
}

bool has_line(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

}  // namespace

TEST(TunnelStartup, QuickTunnelIsGivenItsArgumentsAndPublishesOneLink) {
    Tunnel_Options o;
    o.env = {"TUNNEL_TOKEN=secret", "EDITOR=vi", "HTTPS_PROXY=http://p:3128",
             "ssl_cert_file=/etc/ca.pem"};
    Tunnel_Daemon t(o);
    ASSERT_TRUE(t.ok());
    int tport = t.tunnel_port();
    ASSERT_GT(tport, 0);
    EXPECT_NE(tport, t.daemon().port());
    ASSERT_TRUE(t.wait_link());
    EXPECT_EQ(t.host(), QUICK_HOST);

    std::vector<std::string> expected = {t.fake_file("cloudflared"),
                                         "tunnel",
                                         "--no-autoupdate",
                                         "--config",
                                         "/dev/null",
                                         "--management-diagnostics=false",
                                         "--grace-period",
                                         "1s",
                                         "--loglevel",
                                         "info",
                                         "--protocol",
                                         "auto",
                                         "--url",
                                         "http://127.0.0.1:" + std::to_string(tport)};
    EXPECT_EQ(t.argv_of(1), expected);
    std::string env = read_file(t.fake_file("env.1"));
    EXPECT_NE(env.find("HTTPS_PROXY=http://p:3128\n"), std::string::npos);
    EXPECT_NE(env.find("ssl_cert_file=/etc/ca.pem\n"), std::string::npos);
    EXPECT_EQ(env.find("TUNNEL_TOKEN"), std::string::npos);
    EXPECT_EQ(env.find("EDITOR="), std::string::npos);

    // stdout: the local link, then the tunnel link, nothing else.
    std::string out = t.process().stdout_text();
    std::regex both("http://127\\.0\\.0\\.1:[0-9]+/\\?t=[0-9a-f]{32}\nhttps://" +
                    std::regex_replace(QUICK_HOST, std::regex("\\."), "\\.") +
                    "/#t=[0-9a-f]{64}\n");
    EXPECT_TRUE(std::regex_match(out, both)) << out;

    ASSERT_TRUE(t.process().wait_stderr_contains("tunnel up"));
    std::string err = t.process().stderr_text();
    size_t warn = err.find("quelmar: TUNNEL — anyone with the tunnel link can read and write");
    size_t quick = err.find(
        "quelmar: starting a Cloudflare quick tunnel — its link follows on stdout once it is up "
        "(a new link every run)\n");
    size_t up = err.find("quelmar: tunnel up: https://" + QUICK_HOST +
                         " — open the link just printed on stdout, in any browser (a new quick "
                         "tunnel can take a minute to become reachable)\n");
    ASSERT_NE(warn, std::string::npos) << err;
    ASSERT_NE(quick, std::string::npos) << err;
    ASSERT_NE(up, std::string::npos) << err;
    EXPECT_LT(err.find("quelmar: serving "), warn);
    EXPECT_LT(warn, quick);
    EXPECT_LT(quick, up);
    // Information lines of the program are not echoed.
    EXPECT_EQ(err.find("Starting tunnel"), std::string::npos);
    EXPECT_EQ(err.find("Registered tunnel connection"), std::string::npos);

    // The relay never connects back into the daemon, the tunnel listener included.
    Answer vm = ask(t.daemon().port(), "GET /vm?t=" + t.daemon().token() +
                                           "&to=ws://127.0.0.1:" + std::to_string(tport) +
                                           "/ HTTP/1.1\r\nHost: " + t.daemon().host() + "\r\n\r\n");
    EXPECT_EQ(vm.status, 403);
    EXPECT_EQ(vm.body, "bad target");
}

TEST(TunnelStartup, NamedTunnelRunsItsTunnelIdAndPublishesItsHost) {
    Tunnel_Options o;
    o.extra = {"--tunnel-idle", "7200s"};
    o.named = true;
    Tunnel_Daemon t(o);
    ASSERT_TRUE(t.ok());
    ASSERT_TRUE(t.wait_link());
    EXPECT_EQ(t.host(), NAMED_HOST);
    std::vector<std::string> argv = t.argv_of(1);
    ASSERT_GE(argv.size(), 6u);
    std::vector<std::string> tail(argv.end() - 6, argv.end());
    EXPECT_EQ(tail[0], "run");
    EXPECT_EQ(tail[1], "--credentials-file");
    EXPECT_EQ(tail[2][0], '/');
    EXPECT_EQ(tail[3], "--url");
    EXPECT_EQ(tail[4], "http://127.0.0.1:" + std::to_string(t.tunnel_port()));
    EXPECT_EQ(tail[5], NAMED_ID);
    // The public name is never passed to the program.
    for (const auto& a : argv) EXPECT_EQ(a.find(NAMED_HOST), std::string::npos) << a;

    ASSERT_TRUE(t.process().wait_stderr_contains("tunnel up"));
    std::string err = t.process().stderr_text();
    EXPECT_TRUE(has_line(err, std::string("quelmar: starting the named tunnel ") + NAMED_ID +
                                  " for https://" + NAMED_HOST +
                                  " — its link follows on stdout once it is up"))
        << err;
    EXPECT_TRUE(has_line(err, "quelmar: the tunnel closes once no tab has used it for 2h"));
    EXPECT_TRUE(has_line(err, std::string("quelmar: tunnel up: https://") + NAMED_HOST +
                                  " — open the link just printed on stdout, in any browser"));
}

TEST(TunnelStartup, PreparationFailuresEndTheStartBeforeAnythingIsPrinted) {
    Temp_Dir web, fake_dir;
    std::string fake = fake_dir.file("cloudflared");
    write_file(fake, "#!/bin/sh\necho 'cloudflared version 2024.2.1'\n");
    ::chmod(fake.c_str(), 0755);

    // No web build.
    Failed_Start f = start_failing({"--web", web.path(), "--tunnel", "--cloudflared", fake});
    EXPECT_EQ(f.status, 2);
    EXPECT_EQ(f.out, "");
    EXPECT_EQ(f.err, "quelmar: the tunnel serves this machine's own web build, and " + web.path() +
                         " has none (no index.html): run `make web` first, or pass --web DIR\n");

    // A page the tunnel cannot mark.
    write_file(web.file("index.html"), "<html><head lang=en></head></html>");
    f = start_failing({"--web", web.path(), "--tunnel", "--cloudflared", fake});
    EXPECT_EQ(f.status, 2);
    EXPECT_EQ(f.out, "");
    EXPECT_EQ(f.err, "quelmar: " + web.file("index.html") +
                         " has no <head>, so the tunnel cannot mark it as a tunnel page\n");

    // A cloudflared that is not a program: the install hint around the problem.
    write_file(web.file("index.html"), "<html><head></head></html>");
    std::string plain = fake_dir.file("plain");
    write_file(plain, "not a program");
    f = start_failing({"--web", web.path(), "--tunnel", "--cloudflared", plain});
    EXPECT_EQ(f.status, 2);
    EXPECT_EQ(f.out, "");
    EXPECT_EQ(f.err.rfind("quelmar: a tunnel needs cloudflared, Cloudflare's tunnel client, and " +
                              plain +
                              " is not an executable file. Install it, then start quelmar "
                              "again:\n",
                          0),
              0u)
        << f.err;
    EXPECT_TRUE(f.err.ends_with("\n  or name the binary with --cloudflared PATH\n")) << f.err;

    // A named tunnel whose credentials name no tunnel.
    std::string creds = fake_dir.file("creds.json");
    write_file(creds, "{\"TunnelID\":\"0123456789abcdef0123456789abcdef\"}");
    f = start_failing({"--web", web.path(), "--tunnel-host", "a.example.com", "--tunnel-creds",
                       creds, "--cloudflared", fake});
    EXPECT_EQ(f.status, 2);
    EXPECT_EQ(f.out, "");
    EXPECT_NE(f.err.find("quelmar: --tunnel-creds: " + creds + " has no TunnelID"),
              std::string::npos)
        << f.err;
}

TEST(TunnelStartup, BeforeTheTunnelIsUpEveryRequestIsNotReady) {
    Tunnel_Options o;
    o.hold = true;
    Tunnel_Daemon t(o);
    ASSERT_TRUE(t.ok());
    int port = t.tunnel_port();
    ASSERT_GT(port, 0);

    for (const std::string& host : {QUICK_HOST, std::string("127.0.0.1"), std::string()}) {
        Answer a = ask(port, tunnel_req("GET", "/", host));
        EXPECT_EQ(a.status, 503) << host;
        EXPECT_EQ(a.body, "tunnel not ready");
        EXPECT_EQ(header_of(a.head, "X-Robots-Tag"), "noindex");
    }
    Answer head = ask(port, tunnel_req("HEAD", "/", QUICK_HOST));
    EXPECT_EQ(head.status, 503);
    EXPECT_EQ(header_of(head.head, "Content-Length"), "0");
    EXPECT_EQ(head.body, "");

    t.release();
    ASSERT_TRUE(t.wait_link());
    head = ask(port, tunnel_req("HEAD", "/", t.host()));
    EXPECT_EQ(head.status, 405);
    EXPECT_EQ(header_of(head.head, "Content-Length"), "0");
    EXPECT_EQ(head.body, "");
}
