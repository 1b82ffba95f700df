// SHA-1 (FIPS 180-4), needed only for the WebSocket accept key.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

using Sha1_Digest = std::array<unsigned char, 20>;

Sha1_Digest sha1(std::string_view bytes);
