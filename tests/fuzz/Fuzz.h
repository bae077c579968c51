// What every fuzz target needs: the input as text, and a property check that ends the run so
// libFuzzer keeps the input that broke it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace vantorelle::fuzz {

inline std::string_view text(const std::uint8_t* data, std::size_t size)
{
    return {reinterpret_cast<const char*>(data), size};
}

inline void require(bool holds)
{
    if (!holds) {
        std::abort();
    }
}

} // namespace vantorelle::fuzz
