// Session message records: the JSON the daemon writes and the Spawn_Request it reads.
#include <gtest/gtest.h>

#include "core/platform/platform.h"
#include "daemon/messages/protocol.h"

TEST(Protocol, HeaderIsKindThenLittleEndianId) {
    EXPECT_EQ(msg_header(Msg_Kind::Exit, 1), std::string("\x0c\x01\0\0\0", 5));
    EXPECT_EQ(msg_header(Msg_Kind::Notice, 0x01000000), std::string("\x10\0\0\0\x01", 5));
    EXPECT_EQ(msg_header(Msg_Kind::Hello, 0xfffffffe), std::string("\0\xfe\xff\xff\xff", 5));
}

TEST(Protocol, HelloHasItsMembersInOrder) {
    Hello h;
    h.root = "/p";
    h.platform = std::string(platform_name());
    EXPECT_EQ(marshal(h),
              "{\"version\":1,\"root\":\"/p\",\"home\":\"\",\"platform\":\"linux\",\"perm_helper\":"
              "\"\",\"has_anthropic_key\":false,\"vm_relay\":true,\"features\":[\"pty\"]}");
}

TEST(Protocol, StringsAreEscapedAndInvalidUtf8Replaced) {
    Hello h;
    h.root = "a\"b\\c\n\x01";
    h.home = "x\xff\xfey\xc3\xa9";
    h.has_anthropic_key = true;
    std::string j = marshal(h);
    EXPECT_NE(j.find("\"root\":\"a\\\"b\\\\c\\n\\u0001\""), std::string::npos) << j;
    EXPECT_NE(j.find("\"home\":\"x\xEF\xBF\xBD\xEF\xBF\xBDy\xc3\xa9\""), std::string::npos) << j;
    EXPECT_NE(j.find("\"has_anthropic_key\":true"), std::string::npos);
}

TEST(Protocol, HookReadyBody) {
    EXPECT_EQ(marshal(Hook_Ready_Body{"/run/h/s", ""}), "{\"path\":\"/run/h/s\",\"err\":\"\"}");
    EXPECT_EQ(marshal(Hook_Ready_Body{"", "bind failed"}),
              "{\"path\":\"\",\"err\":\"bind failed\"}");
}

TEST(SpawnRequest, AllMembers) {
    Spawn_Request r;
    ASSERT_TRUE(unmarshal(R"({"argv":["sh","-c","x"],"cwd":"/tmp","env":{"A":"1","B":""},)"
                          R"("stderr":"merge","unset":["HOME"]})",
                          r));
    EXPECT_EQ(r.argv, (std::vector<std::string>{"sh", "-c", "x"}));
    EXPECT_EQ(r.cwd, "/tmp");
    EXPECT_EQ(r.env, (std::map<std::string, std::string>{{"A", "1"}, {"B", ""}}));
    EXPECT_EQ(r.stderr_mode, "merge");
    EXPECT_EQ(r.unset, (std::vector<std::string>{"HOME"}));
}

TEST(SpawnRequest, MissingZeroUnknownSkippedNamesExact) {
    Spawn_Request r;
    ASSERT_TRUE(unmarshal(R"({"argv":["ls"],"x":1,"Cwd":"/no","ENV":5,"nested":{"a":[1,{}]}})", r));
    EXPECT_EQ(r.argv, std::vector<std::string>{"ls"});
    EXPECT_EQ(r.cwd, "");
    EXPECT_TRUE(r.env.empty());
    EXPECT_EQ(r.stderr_mode, "");
    EXPECT_TRUE(r.unset.empty());
    ASSERT_TRUE(unmarshal("{}", r));
    EXPECT_TRUE(r.argv.empty());
    ASSERT_TRUE(unmarshal(R"({"argv":null,"cwd":null})", r));
    EXPECT_TRUE(r.argv.empty());
    ASSERT_TRUE(unmarshal(R"({"argv":[]})", r));
    EXPECT_TRUE(r.argv.empty());
}

TEST(SpawnRequest, WrongShapeFailsAsAWhole) {
    const char* bad[] = {
        "x",
        "",
        "[]",
        "\"argv\"",
        "null",
        R"({"argv":"ls"})",
        R"({"argv":["ls",1]})",
        R"({"argv":["ls"],"cwd":5})",
        R"({"argv":["ls"],"env":{"A":1}})",
        R"({"argv":["ls"],"env":["A"]})",
        R"({"argv":["ls"],"stderr":true})",
        R"({"argv":["ls"],"unset":"HOME"})",
        R"({"argv":["ls"]} trailing)",
        R"({"argv":["ls"])",
    };
    for (const char* text : bad) {
        Spawn_Request r;
        r.cwd = "left over";
        EXPECT_FALSE(unmarshal(text, r)) << text;
        EXPECT_TRUE(r.argv.empty() && r.cwd.empty()) << text;
    }
}
