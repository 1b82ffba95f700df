// What the fault tests share beyond the tab and the counts of tests/support.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/support/counts.h"
#include "tests/support/daemon_process.h"

// A round trip of a small "stat" through a fresh tab: the daemon still serves tabs.
bool serves_a_tab(int port, const std::string& token);

// A daemon and its resource counts once one tab has been served (so whatever the first
// session sets up for good is in the baseline); tests check the daemon lets go again.
struct Daemon_Counts_Test : ::testing::Test {
    Daemon d;
    Process_Counts baseline;
    void SetUp() override;
    // Waits (bounded) for the counts to come back to the baseline.
    void expect_let_go(int timeout_ms = 10000);
};
