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
