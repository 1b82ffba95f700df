// Base64 (standard alphabet, "=" padding) and unpadded base64url, RFC 4648.
#pragma once

#include <optional>
#include <string>
#include <string_view>

std::string base64_encode(std::string_view bytes);

// Decodes unpadded base64url ("-" and "_"); refuses "=", a length of 1 modulo 4, non-zero
// trailing bits and any byte outside the alphabet.
std::optional<std::string> base64url_decode_strict(std::string_view text);
