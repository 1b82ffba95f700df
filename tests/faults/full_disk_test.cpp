// A write that runs out of room: on a full file system (a small tmpfs) and under a file
// size limit. The tab hears "write failed", the old file is untouched and no temporary
// file is left; the daemon goes on serving.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "fault_support.h"
#include "tests/support/daemon_process.h"
#include "tests/support/tab.h"

namespace {

std::vector<std::string> _names_in(const std::string& dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec))
        out.push_back(e.path().filename().string());
    return out;
}

// The reply JSON of one Fs write through a fresh tab.
std::string _write_through_tab(const Daemon& d, const std::string& path, const std::string& data) {
    Tab tab(d.port(), d.token());
    std::optional<Tab_Msg> r;
    std::string json, rest;
    if (!tab.ok() || !tab.send(Msg_Kind::Fs, 1, fs_request("write", path, data)) ||
        !(r = tab.next_of(Msg_Kind::Fs_Reply, 1)) || !split_reply(r->payload, json, rest))
        return "no reply";
    return json;
}

// The file size limit (and, if asked, SIGXFSZ ignored) for children started while it lives.
class Child_Limits {
  public:
    Child_Limits(rlim_t fsize, bool ignore_xfsz) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit r = saved_;
        r.rlim_cur = fsize;
        setrlimit(RLIMIT_FSIZE, &r);
        if (ignore_xfsz) old_handler_ = signal(SIGXFSZ, SIG_IGN);
        ignored_ = ignore_xfsz;
    }
    ~Child_Limits() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        if (ignored_) signal(SIGXFSZ, old_handler_);
    }

  private:
    rlimit saved_{};
    bool ignored_ = false;
    sighandler_t old_handler_ = SIG_DFL;
};

constexpr const char* WRITE_FAILED = "{\"ok\":false,\"err\":\"write failed\"";

}  // namespace

TEST(FullDisk, SmallTmpfsRefusesTheWriteAndKeepsTheOldFile) {
    Temp_Dir mount_point;
    if (mount("tmpfs", mount_point.path().c_str(), "tmpfs", 0, "size=8m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    {
        Daemon d({"--root", mount_point.path()});
        ASSERT_TRUE(d.ok());
        const std::string target = mount_point.file("doc.txt");
        const std::string old_data(1 << 20, 'o');
        write_file(target, old_data);

        std::string reply = _write_through_tab(d, target, std::string(16 << 20, 'n'));
        EXPECT_EQ(reply.rfind(WRITE_FAILED, 0), 0u) << reply;
        EXPECT_EQ(read_file(target), old_data);
        EXPECT_EQ(_names_in(mount_point.path()), std::vector<std::string>{"doc.txt"});

        // The room the failed write took is given back: a small write still succeeds.
        reply = _write_through_tab(d, target, "small");
        EXPECT_EQ(reply.rfind("{\"ok\":true", 0), 0u) << reply;
        EXPECT_EQ(read_file(target), "small");
        EXPECT_EQ(_names_in(mount_point.path()), std::vector<std::string>{"doc.txt"});
    }
    umount2(mount_point.path().c_str(), MNT_DETACH);
}

TEST(FullDisk, FileSizeLimitRefusesTheWriteAndKeepsTheOldFile) {
    std::unique_ptr<Daemon> d;
    {
        // SIGXFSZ ignored, as a daemon that survives the limit would have it.
        Child_Limits limits(4 << 20, true);
        d = std::make_unique<Daemon>();
    }
    ASSERT_TRUE(d->ok());
    const std::string target = d->root() + "/doc.txt";
    const std::string old_data(1 << 20, 'o');
    write_file(target, old_data);

    std::string reply = _write_through_tab(*d, target, std::string(8 << 20, 'n'));
    EXPECT_EQ(reply.rfind(WRITE_FAILED, 0), 0u) << reply;
    EXPECT_EQ(read_file(target), old_data);
    EXPECT_EQ(_names_in(d->root()), std::vector<std::string>{"doc.txt"});
    EXPECT_TRUE(serves_a_tab(d->port(), d->token()));
}

// A write past a file size limit the daemon was started under fails that one write; the
// default action of SIGXFSZ would end the whole daemon instead.
TEST(FullDisk, FileSizeLimitDoesNotKillTheDaemon) {
    std::unique_ptr<Daemon> d;
    {
        Child_Limits limits(4 << 20, false);
        d = std::make_unique<Daemon>();
    }
    ASSERT_TRUE(d->ok());
    const std::string target = d->root() + "/doc.txt";
    write_file(target, "old");
    std::string reply = _write_through_tab(*d, target, std::string(8 << 20, 'n'));
    EXPECT_EQ(reply.rfind(WRITE_FAILED, 0), 0u) << reply;
    EXPECT_EQ(read_file(target), "old");
    EXPECT_TRUE(serves_a_tab(d->port(), d->token()));
    EXPECT_EQ(d->process().wait_exit(200), std::nullopt) << "the daemon ended (128 + signal)";
}
