// The file request envelope and the JSON records it and the session carry: whatever parses
// must write back to JSON that parses to the same record.
#include <cstdint>
#include <string>

#include "daemon/files/records.h"
#include "daemon/messages/protocol.h"
#include "fuzz_support.h"

namespace {

template <typename Record>
void _round_trip(std::string_view json) {
    Record r;
    if (!unmarshal(json, r)) return;
    std::string once = marshal(r);
    Record again;
    FUZZ_CHECK(unmarshal(once, again));
    FUZZ_CHECK(marshal(again) == once);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view in = fuzz_bytes(data, size);
    std::string_view json, body;
    if (split_fs_envelope(in, json, body)) {
        FUZZ_CHECK(FS_ENVELOPE_HEAD + json.size() + body.size() == in.size());
        FUZZ_CHECK(fs_envelope(json, body) == in);
        _round_trip<Fs_Request>(json);
        _round_trip<Fs_Reply>(json);
    } else {
        FUZZ_CHECK(in.size() < FS_ENVELOPE_HEAD || in.substr(0, 4) != fs_envelope_head({}));
    }
    // The same bytes as bare JSON, as a Spawn payload arrives.
    _round_trip<Fs_Request>(in);
    Spawn_Request spawn;
    if (unmarshal(in, spawn)) {
        for (const auto& [name, value] : spawn.env) FUZZ_CHECK(name.size() + value.size() <= size);
    }
    return 0;
}
