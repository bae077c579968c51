// Waiting for a condition instead of sleeping and hoping: the tests must hold on a loaded machine.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace vantorelle::test {

// Polls `condition` until it holds or `limit` passes; true when it held.
inline bool waitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds limit = std::chrono::seconds(30))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace vantorelle::test
