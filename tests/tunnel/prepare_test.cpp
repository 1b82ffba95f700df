// Tunnel preparation: finding and probing cloudflared, the version test, the credentials,
// the argument vector and environment it is given, and the banners.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "core/base/clock.h"
#include "core/base/log.h"
#include "daemon/tunnel/cloudflared.h"
#include "daemon/tunnel/internal.h"
#include "tunnel_test_util.h"

using namespace tunnel_internal;

namespace {

constexpr int64_t SEC = 1'000'000'000;
constexpr const char* GOOD_VERSION =
    "echo 'cloudflared version 2024.1.0 (built 2024-01-10-1200 UTC)'";

bool is_hex64(const std::string& s) {
    return s.size() == 64 && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// Runs from another working directory for the test's duration.
class Cwd_Guard {
  public:
    explicit Cwd_Guard(const std::string& dir) : old_(std::filesystem::current_path()) {
        std::filesystem::current_path(dir);
    }
    ~Cwd_Guard() { std::filesystem::current_path(old_); }

  private:
    std::filesystem::path old_;
};

// A web build with an index.html, for the preparation's first check.
struct Prepared_Cfg {
    Cfg_Guard cfg;
    Tunnel_State_Guard state;
    Temp_Dir web;
    Prepared_Cfg(const std::string& cloudflared, Tunnel_Mode mode = Tunnel_Mode::Quick) {
        write_file(web.file("index.html"), "<head>");
        g_cfg.web = web.path();
        g_cfg.cloudflared = cloudflared;
        g_cfg.tunnel = mode;
    }
};

}  // namespace

TEST(Probe, AnswersWithItsVersionLine) {
    Fake_Cloudflared fake(std::string(GOOD_VERSION) + "\necho 'second line'");
    Text_Result r = _cloudflared_probe(fake.path());
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.text, "cloudflared version 2024.1.0 (built 2024-01-10-1200 UTC)");
}

TEST(Probe, FailuresNameTheProblem) {
    {
        // Trimmed as a whole, then cut at the first newline.
        Fake_Cloudflared fake("echo '  boom  '; echo second >&2; exit 1");
        EXPECT_EQ(
            _cloudflared_probe(fake.path()).error,
            "`" + fake.path() + " --version` does not work (exit status 1, output \"boom  \")");
    }
    {
        Fake_Cloudflared fake("echo 'v1.0'");
        EXPECT_EQ(_cloudflared_probe(fake.path()).error,
                  "`" + fake.path() + " --version` does not work (exit status 0, output \"v1.0\")");
    }
    {
        Fake_Cloudflared fake("exit 0");
        write_file(fake.path(),
                   "\x7f"
                   "ELF not really");
        EXPECT_EQ(_cloudflared_probe(fake.path()).error,
                  fake.path() + " does not run (Exec format error)");
    }
}

TEST(Probe, VersionLineIsCutTo200Bytes) {
    std::string tail(300, 'x');
    Fake_Cloudflared fake("echo 'cloudflared version 2023.6.9 " + tail + "'; exit 3");
    std::string line = _version_line("cloudflared version 2023.6.9 " + tail + "\n");
    EXPECT_EQ(line.size(), 200u);
    EXPECT_EQ(_cloudflared_probe(fake.path()).error,
              "`" + fake.path() + " --version` does not work (exit status 3, output " +
                  quote(line) + ")");
}

TEST(Probe, SilentProgramIsKilledAtTheDeadline) {
    Fake_Cloudflared fake("echo $$ > \"$DIR/pid\"\nexec sleep 30");
    int64_t t0 = mono_ns();
    Text_Result r = _cloudflared_probe(fake.path(), SEC, SEC);
    EXPECT_LT(mono_ns() - t0, 10 * SEC);
    EXPECT_EQ(r.error, "`" + fake.path() + " --version` did not answer within 1s");
    EXPECT_TRUE(process_gone(fake.recorded_pid()));
}

TEST(Probe, AnswerWithoutExitIsKilledAfterTheExitLimit) {
    // Answers, closes its output, and lingers; a forgotten child of it goes too.
    Fake_Cloudflared fake(
        std::string(GOOD_VERSION) +
        "\nsleep 30 >/dev/null 2>&1 &\necho $! > \"$DIR/child\"\necho $$ > \"$DIR/pid\"\n"
        "exec >/dev/null 2>&1\nexec sleep 30");
    Text_Result r = _cloudflared_probe(fake.path(), 5 * SEC, SEC / 5);
    EXPECT_NE(r.error.find("does not work (exit status 137"), std::string::npos) << r.error;
    EXPECT_TRUE(process_gone(fake.recorded_pid()));
    pid_t child = static_cast<pid_t>(std::atol(read_file(fake.file("child")).c_str()));
    // The forgotten child is killed with the group; init reaps it shortly after.
    for (int i = 0; i < 200 && !process_dead(child); ++i) sleep_ns(10'000'000);
    EXPECT_TRUE(process_dead(child));
}

TEST(Version, MinimumIs2023_7_0) {
    const std::string p = "/x/cloudflared";
    EXPECT_EQ(_version_problem(p, "cloudflared version 2023.6.9 (built 2023-06-30)"),
              "/x/cloudflared is version 2023.6.9, older than the 2023.7.0 it needs");
    EXPECT_EQ(_version_problem(p, "cloudflared version 2022.12.1"),
              "/x/cloudflared is version 2022.12.1, older than the 2023.7.0 it needs");
    for (const char* ok : {"cloudflared version 2023.7.0", "cloudflared version 2024.1.0 (built x)",
                           "cloudflared version 2023.10.0-beta", "cloudflared 2019.1.1",
                           "cloudflared version 2019.1", "cloudflared version 2019..1",
                           "cloudflared version 2019.1.1000001", "cloudflared version x.y.z"})
        EXPECT_EQ(_version_problem(p, ok), "") << ok;
}

TEST(Find, PathSearchSkipsEmptyEntriesAndNonExecutables) {
    Temp_Dir a, b;
    write_file(a.file("cloudflared"), "#!/bin/sh\n");
    ::chmod(a.file("cloudflared").c_str(), 0644);
    std::filesystem::create_directory(b.file("cloudflared"));  // a directory is no program
    Fake_Cloudflared good(GOOD_VERSION);
    std::string dir = std::filesystem::path(good.path()).parent_path().string();
    std::string path = "::" + a.path() + "::" + b.path() + ":" + dir + "/./:";
    Env_Guard env("PATH", path.c_str());
    Text_Result r = _find_cloudflared("cloudflared");
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.text, good.path());
    EXPECT_EQ(_find_cloudflared("cloudflared-nope").error, "there is no cloudflared-nope on PATH");
}

TEST(Find, PathWithSlashIsResolvedAgainstTheWorkingDirectory) {
    Fake_Cloudflared fake(GOOD_VERSION, "cf");
    std::string dir = std::filesystem::path(fake.path()).parent_path().string();
    Cwd_Guard cwd(dir);
    Text_Result r = _find_cloudflared("./cf");
    EXPECT_EQ(r.text, fake.path());
    EXPECT_EQ(_find_cloudflared("./nope").error, dir + "/nope is not an executable file");
    Env_Guard env("PATH", nullptr);
    EXPECT_EQ(_find_cloudflared("cf").error, "there is no cf on PATH");
}

TEST(Prepare, FailuresComeWrappedInTheInstallHint) {
    Fake_Cloudflared old("echo 'cloudflared version 2023.6.9 (built 2023-06-30)'");
    Prepared_Cfg p(old.path());
    std::optional<std::string> err = tunnel_prepare();
    ASSERT_TRUE(err);
    EXPECT_EQ(*err,
              _install_hint(old.path() + " is version 2023.6.9, older than the 2023.7.0 it needs"));
    EXPECT_TRUE(err->starts_with("a tunnel needs cloudflared, Cloudflare's tunnel client, and " +
                                 old.path() + " is version 2023.6.9"));
    std::vector<std::string> lines;
    for (size_t at = 0, nl; at <= err->size(); at = nl + 1) {
        nl = err->find('\n', at);
        if (nl == std::string::npos) nl = err->size();
        lines.push_back(err->substr(at, nl - at));
    }
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_TRUE(lines[0].ends_with(". Install it, then start quelmar again:"));
    EXPECT_EQ(lines[2], "  macOS          brew install cloudflared");
    EXPECT_NE(lines[3].find("cloudflared-linux-arm64"), std::string::npos);
    EXPECT_EQ(lines[4], "  or name the binary with --cloudflared PATH");
    EXPECT_EQ(g_cfg.cloudflared, old.path());  // not replaced on failure

    g_cfg.cloudflared = old.path() + "-missing";
    EXPECT_EQ(tunnel_prepare(), _install_hint(old.path() + "-missing is not an executable file"));
}

TEST(Prepare, NeedsAnIndexHtml) {
    Fake_Cloudflared fake(GOOD_VERSION);
    Prepared_Cfg p(fake.path());
    std::filesystem::remove(p.web.file("index.html"));
    std::filesystem::create_directory(p.web.file("index.html"));
    EXPECT_EQ(tunnel_prepare(),
              "the tunnel serves this machine's own web build, and " + p.web.path() +
                  " has none (no index.html): run `make web` first, or pass --web DIR");
}

TEST(Prepare, QuickTunnelStoresTheAbsoluteProgram) {
    Fake_Cloudflared fake(GOOD_VERSION);
    Prepared_Cfg p("");
    std::string dir = std::filesystem::path(fake.path()).parent_path().string();
    Env_Guard env("PATH", dir.c_str());
    EXPECT_EQ(tunnel_prepare(), std::nullopt);
    EXPECT_EQ(g_cfg.cloudflared, fake.path());
    EXPECT_EQ(g_tunnel.named_token, "");
}

TEST(Prepare, NamedTunnelReadsItsCredentials) {
    Fake_Cloudflared fake(GOOD_VERSION);
    Prepared_Cfg p(fake.path(), Tunnel_Mode::Named);
    Temp_Dir creds;
    write_file(
        creds.file("c.json"),
        R"({"AccountTag":"x","TunnelSecret":"s","TunnelID":"0A1B2C3D-4E5F-6A7B-8C9D-0E1F2A3B4C5D"})");
    Cwd_Guard cwd(creds.path());
    g_cfg.tunnel_creds = "c.json";
    ASSERT_EQ(tunnel_prepare(), std::nullopt);
    EXPECT_EQ(g_cfg.tunnel_creds, creds.file("c.json"));
    EXPECT_EQ(g_cfg.tunnel_id, "0A1B2C3D-4E5F-6A7B-8C9D-0E1F2A3B4C5D");
    EXPECT_TRUE(is_hex64(g_tunnel.named_token));

    g_cfg.tunnel_creds = "missing.json";
    EXPECT_EQ(tunnel_prepare(), "--tunnel-creds: cannot read " + creds.file("missing.json") +
                                    ": No such file or directory");
    write_file(creds.file("bad.json"), R"({"TunnelID":"0a1b2c3d4e5f6a7b8c9d0e1f2a3b4c5d"})");
    g_cfg.tunnel_creds = creds.file("bad.json");
    EXPECT_EQ(tunnel_prepare(),
              "--tunnel-creds: " + creds.file("bad.json") +
                  " has no TunnelID — it should be the credentials JSON that `cloudflared tunnel "
                  "create NAME` wrote (~/.cloudflared/<UUID>.json)");
}

TEST(Credentials, TunnelIdMustBeAUuid) {
    EXPECT_EQ(tunnel_id_of(R"({"TunnelID":"0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5d"})"),
              "0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5d");
    for (const char* bad : {
             R"({"TunnelID":"0a1b2c3d4e5f6a7b8c9d0e1f2a3b4c5d"})",
             R"({"TunnelID":"0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5"})",
             R"({"TunnelID":"0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5g"})",
             R"({"TunnelID":"0a1b2c3d_4e5f-6a7b-8c9d-0e1f2a3b4c5d"})",
             R"({"TunnelID":12})",
             R"({"tunnelid":"0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5d"})",
             R"(["0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5d"])",
             "{",
             "",
         })
        EXPECT_EQ(tunnel_id_of(bad), std::nullopt) << bad;
}

TEST(Cloudflared, ArgumentVectors) {
    Cfg_Guard cfg;
    g_cfg.cloudflared = "/opt/cf";
    g_cfg.tunnel_port = 41234;
    g_cfg.tunnel_host = "code.example.org";
    g_cfg.tunnel = Tunnel_Mode::Quick;
    std::vector<std::string> fixed = {
        "/opt/cf",        "tunnel",     "--no-autoupdate",
        "--config",       "/dev/null",  "--management-diagnostics=false",
        "--grace-period", "1s",         "--loglevel",
        "info",           "--protocol", "auto"};
    std::vector<std::string> quick = fixed;
    quick.insert(quick.end(), {"--url", "http://127.0.0.1:41234"});
    EXPECT_EQ(cloudflared_argv(), quick);

    g_cfg.tunnel = Tunnel_Mode::Named;
    g_cfg.tunnel_creds = "/home/u/.cloudflared/id.json";
    g_cfg.tunnel_id = "0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5d";
    std::vector<std::string> named = fixed;
    named.insert(named.end(), {"run", "--credentials-file", "/home/u/.cloudflared/id.json", "--url",
                               "http://127.0.0.1:41234", "0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5d"});
    EXPECT_EQ(cloudflared_argv(), named);
}

TEST(Cloudflared, EnvironmentKeepsOnlyWhatItNeeds) {
    std::vector<std::string> env = {"HOME=/home/u",
                                    "LANG=C.UTF-8",
                                    "HTTPS_PROXY=http://p:3128",
                                    "ssl_cert_file=/c.pem",
                                    "TUNNEL_TOKEN=secret",
                                    "TUNNEL_HTTPS_PROXY=x",
                                    "EDITOR=vi",
                                    "PATHX=1",
                                    "PATH=/bin",
                                    "TZ=UTC",
                                    "LC_ALL=C",
                                    "TMPDIR=/tmp",
                                    "no_proxy=localhost",
                                    "SSL_CERT_DIR=/d",
                                    "SSL_CERT_=short",
                                    "_PROXY=",
                                    "=nameless",
                                    "noequals",
                                    "tunnel_x_proxy=y",
                                    "path=/lower"};
    EXPECT_EQ(cloudflared_env(env),
              (std::vector<std::string>{"HOME=/home/u", "LANG=C.UTF-8", "HTTPS_PROXY=http://p:3128",
                                        "ssl_cert_file=/c.pem", "PATH=/bin", "TZ=UTC", "LC_ALL=C",
                                        "TMPDIR=/tmp", "no_proxy=localhost", "SSL_CERT_DIR=/d",
                                        "SSL_CERT_=short", "_PROXY="}));
}

TEST(Banners, QuickNamedAndIdle) {
    Cfg_Guard cfg;
    g_cfg.tunnel = Tunnel_Mode::Quick;
    g_cfg.tunnel_idle = 0;
    std::vector<std::string> quick = tunnel_banners();
    ASSERT_EQ(quick.size(), 2u);
    EXPECT_TRUE(quick[0].starts_with("TUNNEL — anyone with the tunnel link can read and write"));
    EXPECT_TRUE(quick[0].ends_with("so on a computer that is not yours use a private window."));
    EXPECT_EQ(
        quick[1],
        "starting a Cloudflare quick tunnel — its link follows on stdout once it is up (a new "
        "link every run)");

    g_cfg.tunnel = Tunnel_Mode::Named;
    g_cfg.tunnel_id = "0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5d";
    g_cfg.tunnel_host = "code.example.org";
    g_cfg.tunnel_idle = 7200 * SEC;
    std::vector<std::string> named = tunnel_banners();
    ASSERT_EQ(named.size(), 3u);
    EXPECT_EQ(named[1],
              "starting the named tunnel 0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5d for "
              "https://code.example.org — its link follows on stdout once it is up");
    EXPECT_EQ(named[2], "the tunnel closes once no tab has used it for 2h");
    g_cfg.tunnel_idle = 5400 * SEC;
    EXPECT_EQ(tunnel_banners()[2], "the tunnel closes once no tab has used it for 90m");
}

TEST(Token, TunnelTokensAre64FreshHexDigits) {
    std::string a = new_tunnel_token(), b = new_tunnel_token();
    EXPECT_TRUE(is_hex64(a));
    EXPECT_TRUE(is_hex64(b));
    EXPECT_NE(a, b);
}
