// The subprotocol lists a tunnel tab and a tunnel VM relay carry their credentials in.
#include <cstdint>
#include <string>

#include "daemon/tunnel/policy.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view in = fuzz_bytes(data, size);
    if (auto token = ws_token_of(in)) {
        FUZZ_CHECK(in.find(EDITOR_SUBPROTOCOL) != std::string_view::npos);
        FUZZ_CHECK(in.find("tok." + *token) != std::string_view::npos);
        FUZZ_CHECK(token->find(',') == std::string::npos);
    }
    if (auto vm = ws_vm_protocols_of(in)) {
        FUZZ_CHECK(in.find("tok." + vm->token) != std::string_view::npos);
        FUZZ_CHECK(in.find("vm." + vm->target) != std::string_view::npos);
        FUZZ_CHECK(vm->token.find(',') == std::string::npos);
        FUZZ_CHECK(vm->target.find(',') == std::string::npos);
        // A list of three is never also a list of two.
        FUZZ_CHECK(!ws_token_of(in));
    }
    return 0;
}
