// The daemon stopped by SIGTERM, SIGINT or SIGHUP: every program's whole group ends with it,
// no hook directory is left on disk, and the signal itself ends the daemon.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>

#include "tests/support/counts.h"
#include "tests/support/daemon_process.h"
#include "tests/support/tab.h"

TEST(ExitSignal, EndsEveryProgramGroupAndRemovesHookDirectories) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        Temp_Dir runtime;
        Daemon d({}, {"XDG_RUNTIME_DIR=" + runtime.path()});
        ASSERT_TRUE(d.ok());
        Tab tab(d.port(), d.token());
        ASSERT_TRUE(tab.ok());
        std::vector<pid_t> groups;
        for (uint32_t id : {1u, 2u}) {
            ASSERT_TRUE(tab.spawn(id, sh_spawn("echo $$; sleep 300 & sleep 300")));
            std::optional<Tab_Msg> m = tab.next_of(Msg_Kind::Stdout, id);
            ASSERT_TRUE(m);
            groups.push_back(static_cast<pid_t>(std::atol(m->payload.c_str())));
        }
        ASSERT_EQ(tab.listen(7).err, "");
        ASSERT_EQ(dir_entry_count(runtime.file("editor")), 1);

        d.process().kill_now(sig);
        EXPECT_EQ(d.process().wait_exit(10000), 128 + sig) << "signal " << sig;
        for (pid_t group : groups) EXPECT_TRUE(wait_group_gone(group, 2000)) << "signal " << sig;
        EXPECT_EQ(dir_entry_count(runtime.file("editor")), 0) << "signal " << sig;
    }
}
