// Sha256: the SHA-256 digest (FIPS 180-4), for key fingerprints.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace vantorelle {

std::array<std::uint8_t, 32> sha256(std::string_view bytes);

} // namespace vantorelle
