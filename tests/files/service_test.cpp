// The file service: envelope and JSON handling, each operation, and the write that never
// leaves a file half-written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <atomic>
#include <thread>

#include "core/base/bytes.h"
#include "tests/files/fs_test_util.h"

namespace {

const std::string BAD_REQUEST_JSON =
    R"({"ok":false,"err":"bad request","kind":"","size":0,"mtime":0,"entries":[],"kinds":""})";

std::string raw_envelope(const std::string& json, const std::string& data = "") {
    return fs_envelope(json, data);
}

int64_t mtime_of(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return 0;
    return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

mode_t mode_of(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

mode_t current_umask() {
    mode_t m = umask(0);
    umask(m);
    return m;
}

uid_t owner_of(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
}

// The temporary name a write from this thread once took beside path, which anyone could
// foresee.
std::string predictable_tmp_name(const std::string& path) {
    return path + "." + std::to_string(syscall(SYS_gettid)) + ".tmp";
}

bool no_tmp_left(const std::string& dir) {
    for (const std::string& n : names_in(dir))
        if (n.size() >= 4 && n.compare(n.size() - 4, 4, ".tmp") == 0) return false;
    return true;
}

}  // namespace

// --- envelope and JSON -------------------------------------------------------------------

TEST(FsEnvelope, UnreadableRequestsAreBadRequestWithEverythingElseZero) {
    std::string short_len = raw_envelope(R"({"op":"stat"})");
    short_len[0] = static_cast<char>(short_len[0] + 1);  // N one past the end
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"three bytes", std::string("\x01\x00\x00", 3)},
        {"empty", ""},
        {"length past the end", short_len},
        {"array", raw_envelope(R"(["op","stat"])")},
        {"not json", raw_envelope("op=stat")},
        {"truncated json", raw_envelope(R"({"op":"stat")")},
        {"empty json", raw_envelope("")},
        {"op of wrong type", raw_envelope(R"({"op":1,"path":"/"})")},
        {"path of wrong type", raw_envelope(R"({"op":"stat","path":["/"]})")},
        {"paths not an array", raw_envelope(R"({"op":"stat_many","paths":"/"})")},
        {"paths with a number", raw_envelope(R"({"op":"stat_many","paths":["/",2]})")},
        {"NUL inside path", raw_envelope(R"({"op":"read","path":"/etc/hostname\u0000x"})")},
        {"NUL inside to", raw_envelope(R"({"op":"rename","path":"/a","to":"/b\u0000"})")},
        {"invalid UTF-8", raw_envelope("{\"op\":\"stat\",\"path\":\"\xff\"}")},
    };
    for (const auto& [name, env] : cases) {
        Fs_Result r = fs_execute(env);
        EXPECT_EQ(marshal(r.reply), BAD_REQUEST_JSON) << name;
        EXPECT_TRUE(r.data.empty()) << name;
    }
}

TEST(FsEnvelope, UnknownMembersAreSkippedAndMissingOnesAreZero) {
    Temp_Dir t;
    put_file(t.file("f"), "abc");
    Fs_Result r = fs_execute(raw_envelope(R"({"x":{"y":[1]},"op":"read","path":")" + t.file("f") +
                                          R"(","paths":null})"));
    EXPECT_TRUE(r.reply.ok);
    EXPECT_EQ(r.data, "abc");
    EXPECT_EQ(
        marshal(fs_execute(raw_envelope("{}")).reply),
        R"({"ok":false,"err":"unknown op","kind":"","size":0,"mtime":0,"entries":[],"kinds":""})");
}

TEST(FsRecords, ReplyJsonIsCompactInDeclarationOrder) {
    Fs_Reply r;
    r.ok = true;
    r.size = 3;
    r.mtime = -1;
    r.entries.push_back({"a\"b", true, 4096, 17});
    r.entries.push_back({"\xff", false, 0, 0});
    EXPECT_EQ(marshal(r), R"({"ok":true,"err":"","kind":"","size":3,"mtime":-1,"entries":[)"
                          R"({"n":"a\"b","d":true,"s":4096,"m":17},)"
                          "{\"n\":\"\xEF\xBF\xBD\",\"d\":false,\"s\":0,\"m\":0}],"
                          R"("kinds":""})");
    Fs_Reply back;
    ASSERT_TRUE(unmarshal(marshal(r), back));
    ASSERT_EQ(back.entries.size(), 2u);
    EXPECT_EQ(back.entries[0].n, "a\"b");
    EXPECT_TRUE(back.entries[0].d);
    EXPECT_EQ(back.entries[0].s, 4096);
}

// --- read --------------------------------------------------------------------------------

TEST(FsRead, ReturnsContentSizeAndMtime) {
    Temp_Dir t;
    put_file(t.file("f"), "hello");
    Fs_Result r = run_fs("read", t.file("f"));
    EXPECT_TRUE(r.reply.ok);
    EXPECT_EQ(r.data, "hello");
    EXPECT_EQ(r.reply.size, 5);
    EXPECT_EQ(r.reply.mtime, mtime_of(t.file("f")));
    EXPECT_NE(r.reply.mtime, 0);
}

TEST(FsRead, FailuresCarryTheErrorName) {
    Temp_Dir t;
    put_file(t.file("file"));
    EXPECT_EQ(run_fs("read", t.file("missing")).reply.err, "Not_Exist");
    EXPECT_EQ(run_fs("read", t.path()).reply.err, "EISDIR");
    EXPECT_EQ(run_fs("read", t.file("file/below")).reply.err, "ENOTDIR");
    Fs_Result r = run_fs("read", t.file("missing"));
    EXPECT_FALSE(r.reply.ok);
    EXPECT_TRUE(r.data.empty());
    EXPECT_EQ(r.reply.size, 0);
    EXPECT_EQ(r.reply.mtime, 0);
}

TEST(FsRead, LimitIsExactlyTwoHundredFiftySixMebibytes) {
    Temp_Dir t;
    for (int64_t size : {FS_READ_MAX, FS_READ_MAX + 1}) {
        std::string path = t.file("sparse" + std::to_string(size));
        int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0666);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, size), 0);
        close(fd);
    }
    Fs_Result ok = run_fs("read", t.file("sparse" + std::to_string(FS_READ_MAX)));
    EXPECT_TRUE(ok.reply.ok);
    EXPECT_EQ(ok.reply.size, FS_READ_MAX);
    // Left in the file, to be sent from it: nothing of it is held in memory.
    EXPECT_TRUE(ok.file.fd.valid());
    EXPECT_EQ(static_cast<int64_t>(ok.file.size), FS_READ_MAX);
    EXPECT_TRUE(ok.data.empty());
    ok = {};
    Fs_Result big = run_fs("read", t.file("sparse" + std::to_string(FS_READ_MAX + 1)));
    EXPECT_FALSE(big.reply.ok);
    EXPECT_EQ(big.reply.err, "file too large");
    EXPECT_TRUE(big.data.empty());
    EXPECT_FALSE(big.file.fd.valid());
}

// Small files and files whose size says nothing come in memory; larger ones as a file part
// with the same bytes.
TEST(FsRead, LargerRegularFilesAreLeftInTheirFile) {
    Temp_Dir t;
    std::string at_limit(FS_READ_INLINE_MAX, 'a'), above(FS_READ_INLINE_MAX + 1, 'b');
    above.back() = 'z';
    put_file(t.file("at"), at_limit);
    put_file(t.file("above"), above);
    Fs_Result r = run_fs("read", t.file("at"));
    EXPECT_EQ(r.data, at_limit);
    EXPECT_FALSE(r.file.fd.valid());
    r = run_fs("read", t.file("above"));
    EXPECT_TRUE(r.data.empty());
    EXPECT_EQ(r.file.size, above.size());
    EXPECT_EQ(data_part(r), above);
    EXPECT_EQ(r.reply.size, static_cast<int64_t>(above.size()));
    EXPECT_EQ(r.reply.mtime, mtime_of(t.file("above")));
    r = run_fs("read", "/proc/self/status");
    EXPECT_NE(r.data.find("VmHWM"), std::string::npos);
    EXPECT_EQ(r.reply.size, static_cast<int64_t>(r.data.size()));
}

// A file whose size says nothing (a device, a growing file) is still cut off at the limit.
TEST(FsRead, EndlessFileStopsAtTheLimit) {
    Fs_Result r = run_fs("read", "/dev/zero");
    EXPECT_FALSE(r.reply.ok);
    EXPECT_EQ(r.reply.err, "file too large");
    EXPECT_TRUE(r.data.empty());
}

TEST(FsRead, FifoWithoutWriterDoesNotHang) {
    Temp_Dir t;
    ASSERT_EQ(mkfifo(t.file("fifo").c_str(), 0666), 0);
    Fs_Result r = run_fs("read", t.file("fifo"));
    EXPECT_TRUE(r.reply.ok);
    EXPECT_TRUE(r.data.empty());
}

// --- write -------------------------------------------------------------------------------

TEST(FsWrite, CreatesMissingParentsAndLeavesNoTemporaryFile) {
    Temp_Dir t;
    Fs_Result r = run_fs("write", t.file("a/b/c.txt"), "content");
    EXPECT_TRUE(r.reply.ok);
    EXPECT_EQ(r.reply.err, "");
    EXPECT_EQ(read_file(t.file("a/b/c.txt")), "content");
    EXPECT_EQ(r.reply.mtime, mtime_of(t.file("a/b/c.txt")));
    EXPECT_EQ(names_in(t.file("a/b")), std::vector<std::string>{"c.txt"});
}

// The replacement takes over the old file's permission bits, less set-id and sticky bits.
TEST(FsWrite, ReplacementKeepsTheFilesPermissions) {
    Temp_Dir t;
    put_file(t.file("tool"), "#!/bin/sh\n");
    ASSERT_EQ(chmod(t.file("tool").c_str(), 0755), 0);
    EXPECT_TRUE(run_fs("write", t.file("tool"), "new").reply.ok);
    EXPECT_EQ(mode_of(t.file("tool")) & 07777, 0755u);
    ASSERT_EQ(chmod(t.file("tool").c_str(), 06640), 0);
    EXPECT_TRUE(run_fs("write", t.file("tool"), "").reply.ok);
    EXPECT_EQ(mode_of(t.file("tool")) & 07777, 0640u);
    EXPECT_EQ(read_file(t.file("tool")), "");
    EXPECT_TRUE(run_fs("write", t.file("fresh"), "x").reply.ok);
    EXPECT_EQ(mode_of(t.file("fresh")) & 07777, 0666 & ~current_umask());
    EXPECT_TRUE(no_tmp_left(t.path()));
}

TEST(FsWrite, ALinkAtThePathIsReplacedNotWrittenThrough) {
    Temp_Dir t;
    put_file(t.file("target"), "keep");
    ASSERT_EQ(symlink(t.file("target").c_str(), t.file("link").c_str()), 0);
    EXPECT_TRUE(run_fs("write", t.file("link"), "new").reply.ok);
    EXPECT_EQ(read_file(t.file("target")), "keep");
    EXPECT_TRUE(S_ISREG(mode_of(t.file("link"))));
    EXPECT_EQ(read_file(t.file("link")), "new");
}

// Whatever another user plants at the temporary name a write once took (predictable from
// the thread id) is never opened: not a symbolic or hard link to a victim, not a file of
// theirs open to everyone, not a directory. The write succeeds and leaves them all alone.
TEST(FsWrite, NothingPlantedBesideTheTargetIsWrittenThrough) {
    Temp_Dir t;
    put_file(t.file("victim"), "precious");
    std::string old_name = predictable_tmp_name(t.file("f"));
    auto write_f = [&] {
        put_file(t.file("f"), "old");
        Fs_Result r = run_fs("write", t.file("f"), "mine");
        EXPECT_TRUE(r.reply.ok) << r.reply.err;
        EXPECT_EQ(read_file(t.file("f")), "mine");
        EXPECT_EQ(owner_of(t.file("f")), geteuid());
    };

    ASSERT_EQ(symlink(t.file("victim").c_str(), old_name.c_str()), 0);
    write_f();
    EXPECT_EQ(read_file(t.file("victim")), "precious");
    ASSERT_EQ(unlink(old_name.c_str()), 0);

    ASSERT_EQ(link(t.file("victim").c_str(), old_name.c_str()), 0);
    write_f();
    EXPECT_EQ(read_file(t.file("victim")), "precious");
    ASSERT_EQ(unlink(old_name.c_str()), 0);

    put_file(old_name, "planted");
    ASSERT_EQ(chmod(old_name.c_str(), 0666), 0);
    const uid_t other = 65534;  // nobody
    bool as_root = geteuid() == 0;
    if (as_root) {
        ASSERT_EQ(chown(old_name.c_str(), other, static_cast<gid_t>(-1)), 0);
    }
    write_f();
    EXPECT_EQ(read_file(old_name), "planted");
    if (as_root) {
        EXPECT_EQ(owner_of(old_name), other);
    }
    ASSERT_EQ(unlink(old_name.c_str()), 0);

    ASSERT_EQ(mkdir(old_name.c_str(), 0777), 0);
    write_f();
    EXPECT_EQ(names_in(old_name), std::vector<std::string>{});
    ASSERT_EQ(rmdir(old_name.c_str()), 0);
    EXPECT_EQ(names_in(t.path()), (std::vector<std::string>{"f", "victim"}));
}

TEST(FsWrite, FailuresLeaveTheOldStateAndNoTemporaryFile) {
    Temp_Dir t;
    // A directory where the file should go: the rename fails after the data was written.
    put_file(t.file("dir/inside"), "x");
    Fs_Result r = run_fs("write", t.file("dir"), "data");
    EXPECT_EQ(r.reply.err, "write failed");
    EXPECT_EQ(read_file(t.file("dir/inside")), "x");
    EXPECT_NE(r.reply.mtime, 0);  // the directory's, examined after the attempt
    EXPECT_TRUE(no_tmp_left(t.path()));

    put_file(t.file("f"), "old");

    // A parent that is a file.
    r = run_fs("write", t.file("f/child"), "new");
    EXPECT_EQ(r.reply.err, "write failed");
    EXPECT_EQ(r.reply.mtime, 0);
    EXPECT_EQ(read_file(t.file("f")), "old");
}

TEST(FsWrite, ReadOnlyDirectoryFailsCleanly) {
    if (geteuid() == 0) GTEST_SKIP() << "permission bits do not stop root";
    Temp_Dir t;
    put_file(t.file("ro/f"), "old");
    ASSERT_EQ(chmod(t.file("ro").c_str(), 0555), 0);
    EXPECT_EQ(run_fs("write", t.file("ro/f"), "new").reply.err, "write failed");
    EXPECT_EQ(read_file(t.file("ro/f")), "old");
    EXPECT_TRUE(no_tmp_left(t.file("ro")));
}

// Readers never see a mixture: only one of the complete versions, from any thread.
TEST(FsWrite, ConcurrentWritesAndReadsSeeWholeVersions) {
    Temp_Dir t;
    const std::string a(100000, 'a'), b(50000, 'b');
    std::string path = t.file("shared");
    ASSERT_TRUE(run_fs("write", path, a).reply.ok);
    std::atomic<bool> torn{false};
    std::atomic<int> failed{0};
    auto writer = [&](const std::string& content) {
        for (int i = 0; i < 40; ++i)
            if (!run_fs("write", path, content).reply.ok) ++failed;
    };
    std::thread w1(writer, a), w2(writer, b);
    std::thread reader([&] {
        for (int i = 0; i < 200; ++i) {
            Fs_Result r = run_fs("read", path);
            std::string data = data_part(r);
            if (!r.reply.ok || (data != a && data != b)) torn = true;
        }
    });
    w1.join();
    w2.join();
    reader.join();
    EXPECT_FALSE(torn);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(names_in(t.path()), std::vector<std::string>{"shared"});
}

// --- list, stat, stat_many -----------------------------------------------------------------

TEST(FsList, EntriesDescribeThemselvesWithoutFollowingLinks) {
    Temp_Dir t;
    put_file(t.file("d/f"), "12345");
    put_file(t.file("d/sub/x"));
    ASSERT_EQ(symlink(t.file("d/sub").c_str(), t.file("d/link").c_str()), 0);
    Fs_Result r = run_fs("list", t.file("d"));
    ASSERT_TRUE(r.reply.ok);
    std::map<std::string, Fs_Entry> by_name;
    for (const Fs_Entry& e : r.reply.entries) by_name[e.n] = e;
    ASSERT_EQ(by_name.size(), 3u);
    EXPECT_FALSE(by_name["f"].d);
    EXPECT_EQ(by_name["f"].s, 5);
    EXPECT_EQ(by_name["f"].m, mtime_of(t.file("d/f")));
    EXPECT_TRUE(by_name["sub"].d);
    EXPECT_FALSE(by_name["link"].d);
    EXPECT_EQ(by_name["link"].s, static_cast<int64_t>(t.file("d/sub").size()));
    EXPECT_EQ(run_fs("list", t.file("d/f")).reply.err, "ENOTDIR");
    EXPECT_EQ(run_fs("list", t.file("missing")).reply.err, "Not_Exist");
}

TEST(FsList, InvalidUtf8NamesBecomeReplacementCharactersInJson) {
    Temp_Dir t;
    put_file(t.file("a\xff\xfe"));
    std::string json = marshal(run_fs("list", t.path()).reply);
    EXPECT_NE(json.find("\"n\":\"a\xEF\xBF\xBD\xEF\xBF\xBD\""), std::string::npos) << json;
}

TEST(FsStat, KindsSizesAndMissingPaths) {
    Temp_Dir t;
    put_file(t.file("f"), "123");
    put_file(t.file("d/x"));
    ASSERT_EQ(symlink(t.file("d").c_str(), t.file("dlink").c_str()), 0);
    Fs_Result f = run_fs("stat", t.file("f"));
    EXPECT_TRUE(f.reply.ok);
    EXPECT_EQ(f.reply.kind, "file");
    EXPECT_EQ(f.reply.size, 3);
    EXPECT_EQ(f.reply.mtime, mtime_of(t.file("f")));
    EXPECT_EQ(run_fs("stat", t.file("dlink")).reply.kind, "dir");
    EXPECT_EQ(marshal(run_fs("stat", t.file("missing")).reply),
              R"({"ok":true,"err":"","kind":"","size":0,"mtime":0,"entries":[],"kinds":""})");
}

TEST(FsStatMany, OneBytePerPathUpToTheLimit) {
    Temp_Dir t;
    put_file(t.file("f"));
    Fs_Request req;
    req.op = "stat_many";
    req.paths = {t.path(), t.file("f"), t.file("missing")};
    EXPECT_EQ(run_fs(req).reply.kinds, "df-");
    req.paths.clear();
    Fs_Result empty = run_fs(req);
    EXPECT_TRUE(empty.reply.ok);
    EXPECT_EQ(empty.reply.kinds, "");
    req.paths.assign(FS_STAT_MANY_MAX, t.file("f"));
    EXPECT_EQ(run_fs(req).reply.kinds, std::string(FS_STAT_MANY_MAX, 'f'));
    req.paths.push_back(t.file("f"));
    Fs_Result over = run_fs(req);
    EXPECT_FALSE(over.reply.ok);
    EXPECT_EQ(over.reply.err, "too many paths");
    EXPECT_EQ(over.reply.kinds, "");
}

// --- walk ----------------------------------------------------------------------------------

TEST(FsWalk, PathsJoinedByNulWithTheirCount) {
    Temp_Dir t;
    put_file(t.file("a"));
    put_file(t.file("sub/b\xff"));
    put_file(t.file("node_modules/c"));
    Fs_Result r = run_fs("walk", t.path());
    EXPECT_TRUE(r.reply.ok);
    EXPECT_EQ(r.reply.size, 2);
    EXPECT_EQ(r.data, std::string("a\0sub/b\xff", 8));
}

TEST(FsWalk, MissingRootIsAnEmptySuccess) {
    Temp_Dir t;
    for (const std::string& root : {t.file("missing"), std::string()}) {
        Fs_Result r = run_fs("walk", root);
        EXPECT_TRUE(r.reply.ok);
        EXPECT_EQ(r.reply.size, 0);
        EXPECT_TRUE(r.data.empty());
    }
}

// --- create_new, mkdir, remove, remove_all, rename -------------------------------------------

TEST(FsCreateNew, CreatesOnceThenReportsExists) {
    Temp_Dir t;
    EXPECT_EQ(marshal(run_fs("create_new", t.file("p/q/new")).reply),
              R"({"ok":true,"err":"","kind":"","size":0,"mtime":0,"entries":[],"kinds":""})");
    EXPECT_EQ(read_file(t.file("p/q/new")), "");
    EXPECT_EQ(run_fs("create_new", t.file("p/q/new")).reply.err, "exists");
    // A dangling link counts as existing: nothing is created where it points.
    ASSERT_EQ(symlink(t.file("elsewhere").c_str(), t.file("dangling").c_str()), 0);
    EXPECT_EQ(run_fs("create_new", t.file("dangling")).reply.err, "exists");
    EXPECT_FALSE(exists(t.file("elsewhere")));
    put_file(t.file("file"));
    EXPECT_EQ(run_fs("create_new", t.file("file/x")).reply.err, "ENOTDIR");
}

TEST(FsMkdir, SucceedsWhenTheDirectoryIsThereAfterwards) {
    Temp_Dir t;
    Fs_Result r = run_fs("mkdir", t.file("a/b/c"));
    EXPECT_TRUE(r.reply.ok);
    EXPECT_TRUE(S_ISDIR(mode_of(t.file("a/b/c"))));
    EXPECT_TRUE(run_fs("mkdir", t.file("a/b/c")).reply.ok);
    EXPECT_TRUE(run_fs("mkdir", t.file("a//b/d/")).reply.ok);
    EXPECT_TRUE(S_ISDIR(mode_of(t.file("a/b/d"))));
    put_file(t.file("file"));
    r = run_fs("mkdir", t.file("file"));
    EXPECT_FALSE(r.reply.ok);
    EXPECT_EQ(r.reply.err, "");
    EXPECT_FALSE(run_fs("mkdir", t.file("file/sub")).reply.ok);
    EXPECT_FALSE(run_fs("mkdir", "").reply.ok);
}

TEST(FsRemove, FilesAndEmptyDirectoriesOnly) {
    Temp_Dir t;
    put_file(t.file("f"));
    put_file(t.file("full/x"));
    ASSERT_EQ(mkdir(t.file("empty").c_str(), 0777), 0);
    ASSERT_EQ(symlink(t.file("full").c_str(), t.file("link").c_str()), 0);
    EXPECT_TRUE(run_fs("remove", t.file("f")).reply.ok);
    EXPECT_TRUE(run_fs("remove", t.file("empty")).reply.ok);
    EXPECT_TRUE(run_fs("remove", t.file("link")).reply.ok);  // the link, not its target
    Fs_Result r = run_fs("remove", t.file("full"));
    EXPECT_FALSE(r.reply.ok);
    EXPECT_EQ(r.reply.err, "");
    EXPECT_FALSE(run_fs("remove", t.file("missing")).reply.ok);
    EXPECT_EQ(names_in(t.path()), std::vector<std::string>{"full"});
    EXPECT_TRUE(exists(t.file("full/x")));
}

TEST(FsRemoveAll, RemovesTheTreeButNeverFollowsLinks) {
    Temp_Dir t;
    Temp_Dir outside;
    put_file(outside.file("keep"), "k");
    put_file(t.file("tree/a/b/c"));
    put_file(t.file("tree/.hidden"));
    ASSERT_EQ(symlink(outside.path().c_str(), t.file("tree/a/out").c_str()), 0);
    ASSERT_EQ(symlink(outside.path().c_str(), t.file("toplink").c_str()), 0);
    EXPECT_TRUE(run_fs("remove_all", t.file("tree")).reply.ok);
    EXPECT_FALSE(exists(t.file("tree")));
    // A link given as the path is not a directory: it fails and its target stays whole.
    Fs_Result r = run_fs("remove_all", t.file("toplink"));
    EXPECT_FALSE(r.reply.ok);
    EXPECT_EQ(r.reply.err, "");
    EXPECT_FALSE(run_fs("remove_all", t.file("toplink") + "//").reply.ok);
    EXPECT_EQ(read_file(outside.file("keep")), "k");
    put_file(t.file("plain"));
    EXPECT_FALSE(run_fs("remove_all", t.file("plain")).reply.ok);
    EXPECT_TRUE(exists(t.file("plain")));
    EXPECT_FALSE(run_fs("remove_all", t.file("missing")).reply.ok);
}

TEST(FsRename, MovesAndReplaces) {
    Temp_Dir t;
    put_file(t.file("a"), "A");
    put_file(t.file("b"), "B");
    Fs_Request req;
    req.op = "rename";
    req.path = t.file("a");
    req.to = t.file("b");
    EXPECT_TRUE(run_fs(req).reply.ok);
    EXPECT_EQ(read_file(t.file("b")), "A");
    EXPECT_FALSE(exists(t.file("a")));
    Fs_Result r = run_fs(req);
    EXPECT_FALSE(r.reply.ok);
    EXPECT_EQ(r.reply.err, "");
}
