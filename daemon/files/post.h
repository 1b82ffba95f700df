// POST /fs: the file service over HTTP, one envelope in the body, one in the answer.
#pragma once

#include <cstdint>
#include <string_view>

#include "daemon/config/config.h"
#include "core/base/decimal.h"
#include "core/netproto/http.h"

constexpr uint64_t FS_POST_BODY_MAX = 268439552;  // the largest read reply plus 4 KiB of JSON
constexpr size_t FS_POST_RECV_SIZE = 65536;       // bytes per receive of the body

// The body length a POST /fs declares: digits alone, at most FS_POST_BODY_MAX. Not_Digits
// (answered 411) without a usable content-length: none, empty, or anything but digits;
// Too_Large (answered 413) above the limit.
Decimal fs_post_length(const Request& req);

// Reads the body (buf holds what came with the head), runs it through the file service and
// answers it: 411 without a usable content-length, 413 above the limit, else 200 with the
// reply envelope. Silent when the body does not arrive whole. The caller closes sock.
void handle_fs_post(int sock, const Request& req, Conn_Buffer& buf, std::string_view extra_headers,
                    Listener listener);
