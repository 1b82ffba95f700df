// The command line: values, refusals with their exact messages, combination rules, the
// duration grammar and the usage text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/base/clock.h"
#include "daemon/front/options.h"
#include "daemon/tunnel/duration.h"

namespace {

Options parse(std::vector<std::string> args) {
    return parse_options(args);
}

std::string error_of(std::vector<std::string> args) {
    Options o = parse_options(args);
    EXPECT_FALSE(o.help);
    return o.error;
}

const std::string PORT_MSG = "--port needs a number from 0 to 65535 (0 picks a free port), not ";
const std::string SITE_URL_TAIL =
    " is not a page this daemon can trust: it must be https://host[:port]/path (http:// only for "
    "127.0.0.1 or localhost), with a host of letters, digits, dots and dashes and no user name, "
    "query (?), fragment (#), wildcard (*), backslash or space";
const std::string HOST_TAIL =
    " is not a host name: it must be the tunnel's public name exactly as browsers send it — "
    "lower-case letters, digits and dashes in at least two dot-separated labels, no port, no "
    "trailing dot (e.g. editor.example.com)";
const std::string IDLE_MSG =
    "--tunnel-idle needs 0 (never) or a whole number of seconds, minutes or hours — 90s, 30m, "
    "2h — at most 168h, not ";

}  // namespace

TEST(Options, Defaults) {
    Options o = parse({});
    EXPECT_EQ(o.error, "");
    EXPECT_FALSE(o.help);
    EXPECT_EQ(o.cfg.port, 8737);
    EXPECT_EQ(o.cfg.web, "");
    EXPECT_EQ(o.cfg.root, "");
    EXPECT_EQ(o.cfg.site_page, "");
    EXPECT_EQ(o.cfg.site_origin, "");
    EXPECT_EQ(o.cfg.tunnel, Tunnel_Mode::None);
}

TEST(Options, ValuesLastOneWins) {
    Options o =
        parse({"--port", "1", "--web", "w1", "--web", "-dash", "--root", "r", "--port", "00080",
               "--site-url", "https://A.example/x", "--site-url", "http://localhost:9000/p"});
    ASSERT_EQ(o.error, "");
    EXPECT_EQ(o.cfg.port, 80);  // leading zeros read as decimal
    EXPECT_EQ(o.cfg.web, "-dash");
    EXPECT_EQ(o.cfg.root, "r");
    EXPECT_EQ(o.cfg.site_page, "http://localhost:9000/p");
    EXPECT_EQ(o.cfg.site_origin, "http://localhost:9000");
    EXPECT_EQ(parse({"--port", "65535"}).cfg.port, 65535);
    EXPECT_EQ(parse({"--port", "0"}).cfg.port, 0);
    EXPECT_EQ(parse({"--web", ""}).cfg.web, "");
}

TEST(Options, SiteAndTunnelModes) {
    Options o = parse({"--site"});
    EXPECT_EQ(o.cfg.site_page, "https://quelmar.dev/editor/");
    EXPECT_EQ(o.cfg.site_origin, "https://quelmar.dev");
    o = parse({"--tunnel", "--tunnel-idle", "2h", "--cloudflared", "/bin/cf"});
    ASSERT_EQ(o.error, "");
    EXPECT_EQ(o.cfg.tunnel, Tunnel_Mode::Quick);
    EXPECT_EQ(o.cfg.tunnel_idle, 7200 * NS_PER_SEC);
    EXPECT_EQ(o.cfg.cloudflared, "/bin/cf");
    o = parse({"--tunnel-creds", "c.json", "--tunnel-host", "a.example.com"});
    ASSERT_EQ(o.error, "");
    EXPECT_EQ(o.cfg.tunnel, Tunnel_Mode::Named);
    EXPECT_EQ(o.cfg.tunnel_host, "a.example.com");
    EXPECT_EQ(o.cfg.tunnel_creds, "c.json");
}

TEST(Options, Help) {
    EXPECT_TRUE(parse({"-h"}).help);
    EXPECT_TRUE(parse({"--port", "1", "--help", "--bogus"}).help);  // later args not looked at
    EXPECT_TRUE(parse({"--site", "--site-url", "https://x.y/", "-h"}).help);  // before the rules
    EXPECT_FALSE(parse({"--port", "x", "--help"}).help);  // an earlier error stops first
    EXPECT_EQ(parse({"--port", "x", "--help"}).error, PORT_MSG + "\"x\"");
    EXPECT_FALSE(parse({"--HELP"}).help);
    // An option's value is taken whatever it looks like.
    EXPECT_FALSE(parse({"--web", "--help"}).help);
}

TEST(Options, ArgumentRefusals) {
    EXPECT_EQ(error_of({"--port"}), "--port needs a value (see --help)");
    EXPECT_EQ(error_of({"--root", "x", "--tunnel-idle"}),
              "--tunnel-idle needs a value (see --help)");
    EXPECT_EQ(error_of({"--site", "foo"}),
              "unknown argument: foo (--site takes no value; for another page use --site-url URL)");
    EXPECT_EQ(error_of({"--tunnel", "yes"}),
              "unknown argument: yes (--tunnel takes no value; for a named tunnel use "
              "--tunnel-host HOST --tunnel-creds FILE)");
    EXPECT_EQ(error_of({"--web", "--site", "foo"}), "unknown argument: foo (see --help)");
    EXPECT_EQ(error_of({"--port=1"}), "unknown argument: --port=1 (see --help)");
    EXPECT_EQ(error_of({"-p", "1"}), "unknown argument: -p (see --help)");
    EXPECT_EQ(error_of({"--Port", "1"}), "unknown argument: --Port (see --help)");
    for (std::string bad : {"65536", "-1", "12a", "", " 1", "99999999999999999999"})
        EXPECT_EQ(error_of({"--port", bad}), PORT_MSG + "\"" + bad + "\"") << bad;
    EXPECT_EQ(error_of({"--port", "a\"\n"}), PORT_MSG + "\"a\\\"\\n\"");
    EXPECT_EQ(error_of({"--tunnel-creds", ""}),
              "--tunnel-creds needs the path of the tunnel's credentials JSON");
    EXPECT_EQ(error_of({"--cloudflared", ""}),
              "--cloudflared needs the path of the cloudflared binary");
    EXPECT_EQ(error_of({"--tunnel-idle", "1h30m"}), IDLE_MSG + "\"1h30m\"");
    EXPECT_EQ(error_of({"--site-url", ""}), "--site-url \"\"" + SITE_URL_TAIL);
    EXPECT_EQ(error_of({"--site-url", "https://a b/"}),
              "--site-url \"https://a b/\"" + SITE_URL_TAIL);
    EXPECT_EQ(error_of({"--tunnel-host", "Editor.example.com"}),
              "--tunnel-host \"Editor.example.com\"" + HOST_TAIL);
    // The first bad argument is the one reported.
    EXPECT_EQ(error_of({"--port", "x", "--bogus"}), PORT_MSG + "\"x\"");
    EXPECT_EQ(error_of({"--bogus", "--port", "x"}), "unknown argument: --bogus (see --help)");
}

TEST(Options, CombinationRules) {
    const std::string both_sites =
        "--site and --site-url cannot be combined (--site means --site-url "
        "https://quelmar.dev/editor/)";
    EXPECT_EQ(error_of({"--site", "--site-url", "https://x.y/"}), both_sites);
    EXPECT_EQ(error_of({"--site-url", "https://x.y/", "--site"}), both_sites);
    EXPECT_EQ(error_of({"--tunnel", "--tunnel-host", "a.b", "--tunnel-creds", "f"}),
              "--tunnel (a quick tunnel) and --tunnel-host (a named tunnel) cannot be combined");
    EXPECT_EQ(error_of({"--tunnel-host", "a.b"}),
              "--tunnel-host needs --tunnel-creds FILE: the credentials JSON that `cloudflared "
              "tunnel create` wrote");
    EXPECT_EQ(error_of({"--tunnel-creds", "f"}),
              "--tunnel-creds needs --tunnel-host HOST: the named tunnel's public name");
    const std::string idle =
        "--tunnel-idle only applies to a tunnel: add --tunnel (or --tunnel-host HOST "
        "--tunnel-creds FILE)";
    EXPECT_EQ(error_of({"--tunnel-idle", "0"}), idle);
    EXPECT_EQ(error_of({"--cloudflared", "cf", "--tunnel-idle", "5m"}), idle);  // idle first
    EXPECT_EQ(error_of({"--cloudflared", "cf"}),
              "--cloudflared only applies to a tunnel: add --tunnel (or --tunnel-host HOST "
              "--tunnel-creds FILE)");
    // Rules are checked in order: the site rule before the tunnel rules.
    EXPECT_EQ(error_of({"--tunnel-creds", "f", "--site", "--site-url", "https://x.y/"}),
              both_sites);
}

TEST(TunnelHost, Names) {
    for (const char* ok : {"a.b", "editor.example.com", "x-1.y2.z", "a.b-c", "1.a"})
        EXPECT_TRUE(tunnel_host_ok(ok)) << ok;
    std::string label63(63, 'a'), label64(64, 'a');
    EXPECT_TRUE(tunnel_host_ok(label63 + ".com"));
    EXPECT_FALSE(tunnel_host_ok(label64 + ".com"));
    std::string long_name;
    while (long_name.size() < 250) long_name += "abcdefghi.";
    long_name += "abc";
    ASSERT_EQ(long_name.size(), 253u);
    EXPECT_TRUE(tunnel_host_ok(long_name)) << long_name;
    EXPECT_FALSE(tunnel_host_ok(long_name + "x"));
    for (const char* bad : {"", "localhost", "Editor.example.com", "a.b.", ".a.b", "a-.b", "a.-b",
                            "1.2.3.4", "a.b:443", "a_b.c", "a..b", "a.123", "a b.c", "a.b/"})
        EXPECT_FALSE(tunnel_host_ok(bad)) << bad;
}

TEST(Duration, Grammar) {
    EXPECT_EQ(parse_duration("0"), 0);
    EXPECT_EQ(parse_duration("0s"), 0);
    EXPECT_EQ(parse_duration("0h"), 0);
    EXPECT_EQ(parse_duration("90s"), 90 * NS_PER_SEC);
    EXPECT_EQ(parse_duration("30m"), 1800 * NS_PER_SEC);
    EXPECT_EQ(parse_duration("2h"), 7200 * NS_PER_SEC);
    EXPECT_EQ(parse_duration("007m"), 420 * NS_PER_SEC);
    EXPECT_EQ(parse_duration("168h"), 604800 * NS_PER_SEC);
    EXPECT_EQ(parse_duration("10080m"), 604800 * NS_PER_SEC);
    EXPECT_EQ(parse_duration("604800s"), 604800 * NS_PER_SEC);
    for (const char* bad : {"169h", "10081m", "604801s", "1h30m", "-5s", "+5s", "5", "5S", "", "s",
                            "00", " 5s", "5s ", "1.5h", "5d", "99999999999999999999999h"})
        EXPECT_FALSE(parse_duration(bad).has_value()) << bad;
}

TEST(Duration, Format) {
    EXPECT_EQ(format_duration(7200 * NS_PER_SEC), "2h");
    EXPECT_EQ(format_duration(5400 * NS_PER_SEC), "90m");
    EXPECT_EQ(format_duration(90 * NS_PER_SEC), "90s");
    EXPECT_EQ(format_duration(1500 * NS_PER_MS), "1s");
    EXPECT_EQ(format_duration(0), "0s");
}

TEST(Usage, LayoutAndFixedTexts) {
    std::string u = usage_text();
    ASSERT_FALSE(u.empty());
    EXPECT_NE(u.back(), '\n');
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = u.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(u.substr(start, nl - start));
    lines.push_back(u.substr(start));
    ASSERT_EQ(lines.size(), 25u);
    EXPECT_EQ(lines[0],
              "usage: quelmar [--port N] [--web DIR] [--root DIR] [--site | --site-url URL]");
    EXPECT_EQ(lines[1].substr(0, 22), std::string(21, ' ') + "[");
    EXPECT_EQ(lines[6],
              "  --site          also let https://quelmar.dev/editor/ use this daemon, and");
    EXPECT_EQ(lines[11],
              "                  print a https://<words>.trycloudflare.com/#t=<token> link that");
    EXPECT_EQ(lines[18],
              "                  (e.g. editor.example.com), FILE the credentials JSON that");
    EXPECT_EQ(lines[19], "                  \"cloudflared tunnel create\" wrote");
    EXPECT_EQ(lines[24], "                  the cloudflared to run (default: cloudflared on PATH)");
    // Option names in column 3, descriptions and their continuations in column 19.
    for (size_t i = 3; i < lines.size(); ++i) {
        const std::string& l = lines[i];
        if (l.substr(0, 4) == "  --") {
            if (l.size() > 18 && l[17] == ' ') {
                EXPECT_NE(l[18], ' ') << i;
            }
        } else {
            EXPECT_EQ(l.substr(0, 18), std::string(18, ' ')) << i;
            EXPECT_NE(l[18], ' ') << i;
        }
    }
}
