// What the fault tests share beyond the tab and the counts of tests/support.
#include "fault_support.h"

#include "tests/support/tab.h"

bool serves_a_tab(int port, const std::string& token) {
    Tab tab(port, token);
    if (!tab.ok() || !tab.send(Msg_Kind::Fs, 77, fs_request("stat", "/"))) return false;
    std::optional<Tab_Msg> r = tab.next_of(Msg_Kind::Fs_Reply, 77);
    std::string json, data;
    return r && split_reply(r->payload, json, data) &&
           json.find("\"ok\":true") != std::string::npos;
}

void Daemon_Counts_Test::SetUp() {
    ASSERT_TRUE(d.ok());
    ASSERT_TRUE(serves_a_tab(d.port(), d.token()));
    baseline = settled_counts(d.process().pid());
}

void Daemon_Counts_Test::expect_let_go(int timeout_ms) {
    Process_Counts after = wait_for_counts(d.process().pid(), baseline, timeout_ms);
    EXPECT_EQ(after, baseline) << "before: " << describe(baseline)
                               << "; after: " << describe(after);
}
