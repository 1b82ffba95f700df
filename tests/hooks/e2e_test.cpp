// The whole road of a permission question: a tab on a real WebSocket opens a hook, a real
// dravik process asks, the tab answers, and dravik prints the decision line.
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "core/base/bytes.h"
#include "daemon/hooks/perm_helper.h"
#include "tests/support/counts.h"
#include "tests/support/daemon_process.h"
#include "tests/support/front.h"
#include "tests/support/tab.h"

#ifdef DRAVIK_BIN

namespace {

const std::string PRE_TOOL_USE =
    "{\"session_id\":\"s1\",\"hook_event_name\":\"PreToolUse\",\"tool_name\":\"Bash\","
    "\"tool_input\":{\"command\":\"rm -rf build\"}}";

std::string decision_line(const std::string& decision, const std::string& reason) {
    return "{\"hookSpecificOutput\":{\"hookEventName\":\"PreToolUse\",\"permissionDecision\":\"" +
           decision + "\",\"permissionDecisionReason\":\"" + reason + "\"}}\n";
}

class Hook_Road : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("XDG_RUNTIME_DIR", xdg_.path().c_str(), 1);
        ASSERT_TRUE(tab_.ok());  // greeted: a Hello came first
        hello_ = tab_.hello();
    }
    void TearDown() override {
        tab_.close();
        EXPECT_TRUE(wait_session_count(0));
        EXPECT_TRUE(wait_connections_closed());
        unsetenv("XDG_RUNTIME_DIR");
    }

    // A dravik asking on path with the hook JSON on its stdin.
    std::unique_ptr<Child_Process> run_dravik(const std::string& path,
                                              const std::string& input = PRE_TOOL_USE) {
        auto p =
            std::make_unique<Child_Process>(std::vector<std::string>{DRAVIK_BIN},
                                            std::vector<std::string>{"EDITOR_HOOK_SOCK=" + path});
        p->write_stdin(input);
        p->close_stdin();
        return p;
    }

    // The Hook_Req of hook_id: {request id, payload}.
    std::pair<uint32_t, std::string> question(uint32_t hook_id) {
        std::optional<Tab_Msg> m = tab_.next_of(Msg_Kind::Hook_Req);
        if (!m || m->id != hook_id || m->payload.size() < 4) {
            ADD_FAILURE() << "no Hook_Req for hook " << hook_id;
            return {0, ""};
        }
        return {get_u32le(m->payload), m->payload.substr(4)};
    }

    // dravik's whole stdout once it has ended (status 0 is part of its contract).
    std::string decision_of(Child_Process& p) {
        EXPECT_EQ(p.wait_exit(), 0);
        return p.stdout_text();
    }

    Temp_Dir xdg_;
    Tab tab_{test_front()};
    std::string hello_;
};

TEST_F(Hook_Road, HelloNamesTheHelperBesideTheDaemon) {
    char resolved[PATH_MAX];
    ASSERT_NE(realpath(DRAVIK_BIN, resolved), nullptr);
    unsetenv("DRAVIK");
    EXPECT_EQ(find_perm_helper(), resolved);
    EXPECT_NE(hello_.find("\"perm_helper\":\"" + std::string(resolved) + "\""), std::string::npos)
        << hello_;
}

TEST_F(Hook_Road, TheTabsAnswersBecomeDravikDecisions) {
    Hook_Ready_Body ready = tab_.listen(42);
    ASSERT_EQ(ready.err, "");
    struct Case {
        std::string answer, decision, reason;
    } cases[] = {
        {"allow\n", "allow", "approved in editor"},
        {"deny rm is not welcome here\n", "deny", "rm is not welcome here"},
        {"deny\n", "deny", "denied in editor"},
        {"deny say \"no\"\n", "deny", "say \\\"no\\\""},
        {"", "deny", "perm-helper: no response"},
        {"sure\n", "deny", "perm-helper: bad response"},
    };
    uint32_t expected_id = 1;
    for (const Case& c : cases) {
        auto dravik = run_dravik(ready.path);
        auto [rid, payload] = question(42);
        EXPECT_EQ(rid, expected_id++);
        EXPECT_EQ(payload, PRE_TOOL_USE);  // dravik's own newline is not part of it
        tab_.reply(42, rid, c.answer);
        EXPECT_EQ(decision_of(*dravik), decision_line(c.decision, c.reason)) << c.answer;
    }
}

TEST_F(Hook_Road, ClosingTheHookRefusesWaitingHelpers) {
    Hook_Ready_Body ready = tab_.listen(1);
    ASSERT_EQ(ready.err, "");
    auto first = run_dravik(ready.path);
    auto second = run_dravik(ready.path);
    question(1);
    question(1);
    tab_.send(Msg_Kind::Hook_Close, 1, "");
    EXPECT_EQ(decision_of(*first), decision_line("deny", "session closed"));
    EXPECT_EQ(decision_of(*second), decision_line("deny", "session closed"));
    // Hook_Close is handled before the next message, so after a later Hook_Ready the
    // socket and its directory are gone.
    ASSERT_EQ(tab_.listen(2).err, "");
    struct stat st;
    EXPECT_NE(stat(ready.path.substr(0, ready.path.rfind('/')).c_str(), &st), 0);
    auto late = run_dravik(ready.path);
    EXPECT_EQ(decision_of(*late), decision_line("deny", "perm-helper: connect() failed"));
}

TEST_F(Hook_Road, ATabThatGoesAwayLeavesNoHelperWaitingAndNoDirectory) {
    Hook_Ready_Body a = tab_.listen(1);
    Hook_Ready_Body b = tab_.listen(2);
    ASSERT_EQ(a.err, "");
    ASSERT_EQ(b.err, "");
    auto waiting = run_dravik(b.path);
    question(2);
    tab_.close();
    EXPECT_EQ(decision_of(*waiting), decision_line("deny", "session closed"));
    EXPECT_TRUE(wait_session_count(0));
    EXPECT_EQ(dir_entry_count(xdg_.path() + "/editor"), 0);
}

TEST_F(Hook_Road, ALargeQuestionArrivesWhole) {
    Hook_Ready_Body ready = tab_.listen(9);
    ASSERT_EQ(ready.err, "");
    std::string big = "{\"tool_input\":\"" + std::string(900 * 1024, 'a') + "\"}\n";
    auto dravik = run_dravik(ready.path, big);
    auto [rid, payload] = question(9);
    EXPECT_EQ(payload, big.substr(0, big.size() - 1));
    tab_.reply(9, rid, "allow\r\n");
    EXPECT_EQ(decision_of(*dravik), decision_line("allow", "approved in editor"));
}

// The way a coding agent run by the tab asks: the agent is a program of the session itself,
// and dravik is its child with the hook's path in its environment.
TEST_F(Hook_Road, AnAgentSpawnedByTheTabAsksThroughItsHelper) {
    Hook_Ready_Body ready = tab_.listen(3);
    ASSERT_EQ(ready.err, "");
    std::string spawn =
        "{\"argv\":[\"/bin/sh\",\"-c\",\"printf '%s' \\\"$Q\\\" | \\\"$HELPER\\\"\"],"
        "\"env\":{\"EDITOR_HOOK_SOCK\":\"" +
        ready.path + "\",\"HELPER\":\"" + DRAVIK_BIN +
        "\",\"Q\":\"{\\\"tool_name\\\":\\\"Edit\\\"}\"}}";
    tab_.send(Msg_Kind::Spawn, 77, spawn);
    auto [rid, payload] = question(3);
    EXPECT_EQ(payload, "{\"tool_name\":\"Edit\"}");
    tab_.reply(3, rid, "deny\tnot\tthis file\n");
    std::string out;
    std::optional<Tab_Msg> m;
    while ((m = tab_.next()) && m->kind != Msg_Kind::Exit)
        if (m->kind == Msg_Kind::Stdout && m->id == 77) out += m->payload;
    ASSERT_TRUE(m) << "no Exit";
    EXPECT_EQ(m->id, 77u);
    EXPECT_EQ(m->payload, std::string(4, '\0'));
    EXPECT_EQ(out, decision_line("deny", "not\\tthis file"));
}

// Programs the session runs inherit none of a hook's descriptors, even while a question
// is waiting on one.
TEST_F(Hook_Road, SpawnedProgramsInheritNoHookDescriptor) {
    Hook_Ready_Body ready = tab_.listen(1);
    ASSERT_EQ(ready.err, "");
    auto dravik = run_dravik(ready.path);
    question(1);
    // Sockets: the hook's listener and its waiting connection, the tab's own connection.
    tab_.send(Msg_Kind::Spawn, 5,
              "{\"argv\":[\"/bin/sh\",\"-c\",\"for f in /proc/$$/fd/*; do readlink $f; done\"]}");
    std::string out;
    std::optional<Tab_Msg> m;
    while ((m = tab_.next()) && m->kind != Msg_Kind::Exit)
        if (m->kind == Msg_Kind::Stdout) out += m->payload;
    ASSERT_TRUE(m);
    EXPECT_NE(out.find("pipe:"), std::string::npos) << out;  // the listing did run
    EXPECT_EQ(out.find("socket:"), std::string::npos) << out;
    tab_.reply(1, 1, "allow\n");
    EXPECT_EQ(decision_of(*dravik), decision_line("allow", "approved in editor"));
}

}  // namespace

#endif  // DRAVIK_BIN
