// How a tab names a VM service on the loopback interface: the ws:// target URL, as it
// arrives percent-encoded in a query or base64url-encoded in a subprotocol entry.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// A VM service endpoint. family is AF_INET (127.0.0.1, also for "localhost") or AF_INET6
// (::1); an all-empty target (family 0) is the result of a failed parse.
struct VM_Target {
    int family = 0;
    uint16_t port = 0;
    std::string host;  // the authority as the tab wrote it: the Host of the request
    std::string path;  // from the first "/" after the authority: the request path
};

constexpr size_t VM_QUERY_TARGET_MAX = 2048;  // raw, still percent-encoded
constexpr size_t VM_B64_TARGET_MAX = 1024;    // encoded, unpadded base64url
constexpr size_t VM_PATH_MAX = 512;

// The loopback route: the raw value of the query key "to". No target may name one of the
// excluded ports (the daemon's own listeners). On failure out is all empty.
bool vm_target_of(std::string_view raw, std::span<const int> excluded_ports, VM_Target& out);

// The tunnel route: the target after "vm." in the subprotocol list.
bool vm_target_of_b64(std::string_view encoded, std::span<const int> excluded_ports,
                      VM_Target& out);

// Percent-decoding of a query value: "%XX" (either case) is a byte, "%%" is "%", any other
// "%" fails; "+" stays "+".
bool percent_decode_strict(std::string_view in, std::string& out);
