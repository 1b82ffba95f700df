// The tunnel's in-memory web build: which files it holds, the page marker, the limits and
// the messages of a failed load, and the answer written for an entry.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <filesystem>

#include "core/base/fd.h"
#include "core/netproto/answers.h"
#include "daemon/tunnel/internal.h"
#include "tunnel_test_util.h"

using namespace tunnel_internal;

namespace {

constexpr const char* INDEX = "<!doctype html><html><head><title>x</title></head></html>";

void sparse_file(const std::string& path, off_t size) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    ASSERT_TRUE(fd.valid());
    ASSERT_EQ(::ftruncate(fd.get(), size), 0);
}

std::vector<std::string> paths_of(const Static_Table& t) {
    std::vector<std::string> out;
    for (const auto& f : t) out.push_back(f.path);
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

TEST(StaticTable, HoldsOnlyServableTopLevelFiles) {
    Temp_Dir web;
    write_file(web.file("index.html"), INDEX);
    write_file(web.file("app.js"), "let a;");
    write_file(web.file("app-1.2_x.js"), "1");
    for (const char* skipped :
         {".DS_Store", "_private.js", "my file.js", "\xC3\xA9t\xC3\xA9.js", "fs", "ws", "vm"})
        write_file(web.file(skipped), "no");
    std::filesystem::create_directory(web.file("assets"));
    write_file(web.file("assets/deep.js"), "no");
    std::filesystem::create_symlink(web.file("app.js"), web.file("link.js"));

    Static_Table t;
    ASSERT_EQ(static_table_read(web.path(), t), std::nullopt);
    EXPECT_EQ(paths_of(t), (std::vector<std::string>{"/app-1.2_x.js", "/app.js", "/index.html"}));
    const Static_File* js = static_lookup(t, "/app.js");
    ASSERT_NE(js, nullptr);
    EXPECT_EQ(js->body, "let a;");
    EXPECT_EQ(js->content_type, "text/javascript; charset=utf-8");
    EXPECT_FALSE(js->is_html);
    EXPECT_EQ(static_lookup(t, "/assets/deep.js"), nullptr);
    EXPECT_EQ(static_lookup(t, "/APP.js"), nullptr);
}

TEST(StaticTable, NameRules) {
    EXPECT_TRUE(static_name_allowed("a"));
    EXPECT_TRUE(static_name_allowed("9lives.wasm"));
    EXPECT_TRUE(static_name_allowed(std::string(255, 'x')));
    EXPECT_FALSE(static_name_allowed(std::string(256, 'x')));
    EXPECT_FALSE(static_name_allowed(""));
    EXPECT_FALSE(static_name_allowed("-a"));
    EXPECT_FALSE(static_name_allowed("a+b"));
    EXPECT_TRUE(static_name_allowed("fsx"));
}

TEST(StaticTable, IndexGetsTheMarkerAfterItsHeadTag) {
    Temp_Dir web;
    write_file(web.file("index.html"), "<HTML><HEAD><title>t</title></HEAD>");
    Static_Table t;
    ASSERT_EQ(static_table_read(web.path(), t), std::nullopt);
    const Static_File* index = static_lookup(t, "/index.html");
    ASSERT_NE(index, nullptr);
    EXPECT_EQ(index->body,
              "<HTML><HEAD><meta name=\"quelmar\" content=\"tunnel\"><title>t</title></HEAD>");
    EXPECT_TRUE(index->is_html);
    EXPECT_EQ(index->content_type, "text/html; charset=utf-8");
}

TEST(StaticTable, InjectMarker) {
    std::string first = "<head><head>";
    ASSERT_TRUE(inject_marker(first));
    EXPECT_EQ(first, "<head>" + std::string(TUNNEL_PAGE_MARKER) + "<head>");
    std::string at_end = "xx<hEaD>";
    ASSERT_TRUE(inject_marker(at_end));
    EXPECT_EQ(at_end, "xx<hEaD>" + std::string(TUNNEL_PAGE_MARKER));
    for (std::string bad : {"", "<head", "<head lang=\"en\">", "< head>", "<headx>"})
        EXPECT_FALSE(inject_marker(bad)) << bad;
}

TEST(StaticTable, LoadFailures) {
    {
        Temp_Dir web;
        std::string missing = web.file("nope");
        Static_Table t;
        EXPECT_EQ(static_table_read(missing, t),
                  "cannot list the web build in " + missing + ": No such file or directory");
    }
    {
        Temp_Dir web;
        write_file(web.file("index.html"), "<html><head lang=\"en\"></html>");
        Static_Table t;
        EXPECT_EQ(static_table_read(web.path(), t),
                  web.file("index.html") +
                      " has no <head>, so the tunnel cannot mark it as a tunnel page");
        EXPECT_TRUE(t.empty());
    }
    {
        // A symbolic link is never followed, so the build has no index.html.
        Temp_Dir web, elsewhere;
        write_file(elsewhere.file("index.html"), INDEX);
        std::filesystem::create_symlink(elsewhere.file("index.html"), web.file("index.html"));
        write_file(web.file("app.js"), "1");
        Static_Table t;
        EXPECT_EQ(static_table_read(web.path(), t), "there is no web build in " + web.path() +
                                                        " (no index.html): run `make web` first");
    }
}

TEST(StaticTable, SizeLimits) {
    {
        Temp_Dir web;
        write_file(web.file("index.html"), INDEX);
        sparse_file(web.file("exact.wasm"), STATIC_FILE_LIMIT);
        Static_Table t;
        ASSERT_EQ(static_table_read(web.path(), t), std::nullopt);
        EXPECT_EQ(static_lookup(t, "/exact.wasm")->body.size(), STATIC_FILE_LIMIT);
    }
    {
        Temp_Dir web;
        write_file(web.file("index.html"), INDEX);
        sparse_file(web.file("big.wasm"), STATIC_FILE_LIMIT + 1);
        Static_Table t;
        EXPECT_EQ(static_table_read(web.path(), t),
                  web.file("big.wasm") + " is larger than the tunnel serves (32 MiB a file)");
    }
    {
        Temp_Dir web;
        write_file(web.file("index.html"), INDEX);
        sparse_file(web.file("a.wasm"), 30 << 20);
        sparse_file(web.file("b.wasm"), 30 << 20);
        sparse_file(web.file("c.wasm"), 5 << 20);
        Static_Table t;
        EXPECT_EQ(static_table_read(web.path(), t),
                  "the web build in " + web.path() + " is larger than the tunnel serves (64 MiB)");
    }
    {
        // Exactly 64 MiB in all, marker included, is accepted.
        Temp_Dir web;
        std::string index = INDEX;
        write_file(web.file("index.html"), index);
        size_t rest = STATIC_TOTAL_LIMIT - index.size() - TUNNEL_PAGE_MARKER.size();
        sparse_file(web.file("a.wasm"), STATIC_FILE_LIMIT);
        sparse_file(web.file("b.wasm"), static_cast<off_t>(rest - STATIC_FILE_LIMIT));
        Static_Table t;
        EXPECT_EQ(static_table_read(web.path(), t), std::nullopt);
        sparse_file(web.file("c.wasm"), 1);
        EXPECT_NE(static_table_read(web.path(), t), std::nullopt);
    }
}

TEST(StaticTable, FileShorterThanItsSizeChangedWhileBeingRead) {
    Temp_Dir dir;
    write_file(dir.file("short.js"), "0123456789");
    Fd fd(::open(dir.file("short.js").c_str(), O_RDONLY | O_CLOEXEC));
    Read_Result r = _read_exact(fd.get(), 20, dir.file("short.js"));
    EXPECT_EQ(r.outcome, Read_Outcome::Error);
    EXPECT_EQ(r.error, "cannot read " + dir.file("short.js") + ": it changed while being read");

    // Kernel files claim a size their contents do not reach: the same early end, for real.
    const std::string sys = "/sys/kernel/mm/transparent_hugepage/enabled";
    struct stat st;
    if (::stat(sys.c_str(), &st) == 0 && st.st_size > 1024) {
        Read_Result k = _read_regular(sys);
        EXPECT_EQ(k.error, "cannot read " + sys + ": it changed while being read");
    }
}

TEST(StaticTable, ReadRegularSkipsWhatIsNotAPlainFile) {
    Temp_Dir dir;
    std::filesystem::create_directory(dir.file("d"));
    write_file(dir.file("f"), "x");
    std::filesystem::create_symlink(dir.file("f"), dir.file("l"));
    EXPECT_EQ(_read_regular(dir.file("d")).outcome, Read_Outcome::Skip);
    EXPECT_EQ(_read_regular(dir.file("l")).outcome, Read_Outcome::Skip);
    EXPECT_EQ(_read_regular(dir.file("missing")).outcome, Read_Outcome::Skip);
    EXPECT_EQ(_read_regular("/dev/null").outcome, Read_Outcome::Skip);
    Read_Result ok = _read_regular(dir.file("f"));
    EXPECT_EQ(ok.outcome, Read_Outcome::Ok);
    EXPECT_EQ(ok.body, "x");
}

TEST(StaticTable, TunnelAnswerCarriesTheHeaderBlockOfItsKind) {
    Tunnel_State_Guard state;
    Temp_Dir web;
    write_file(web.file("index.html"), INDEX);
    write_file(web.file("app.js"), "js!");
    ASSERT_EQ(static_table_load(web.path()), std::nullopt);
    EXPECT_GT(g_tunnel.loaded_at, 0);
    EXPECT_EQ(tunnel_static_find("/"), tunnel_static_find("/index.html"));
    EXPECT_EQ(tunnel_static_find("/missing.js"), nullptr);

    auto answer_of = [](const Static_File& f) {
        int sv[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        Fd a(sv[0]), b(sv[1]);
        EXPECT_TRUE(tunnel_send_file(a.get(), f));
        a.reset();
        std::string got;
        char buf[4096];
        ssize_t n;
        while ((n = ::read(b.get(), buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
        return got;
    };
    const Static_File* index = tunnel_static_find("/");
    ASSERT_NE(index, nullptr);
    std::string page = answer_of(*index);
    EXPECT_EQ(page, tunnel_head("200 OK", "text/html; charset=utf-8", index->body.size(), true) +
                        index->body);
    EXPECT_NE(page.find(TUNNEL_HTML_HEADERS), std::string::npos);
    EXPECT_NE(page.find(TUNNEL_PAGE_MARKER), std::string::npos);
    EXPECT_EQ(TUNNEL_HTML_HEADERS.size(), 447u);

    std::string js = answer_of(*tunnel_static_find("/app.js"));
    EXPECT_NE(js.find(TUNNEL_PLAIN_HEADERS), std::string::npos);
    EXPECT_EQ(js.find("Cross-Origin-Opener-Policy"), std::string::npos);
    EXPECT_TRUE(js.ends_with("\r\n\r\njs!"));
    EXPECT_EQ(TUNNEL_PLAIN_HEADERS.size(), 226u);
}
