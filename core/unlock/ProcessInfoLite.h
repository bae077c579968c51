// ProcessInfoLite: the few facts about one process that naming a requester needs.
#pragma once

#include <cstdint>
#include <string>

namespace vantorelle {

struct ProcessInfoLite
{
    std::int32_t pid = 0;
    std::int32_t ppid = 0; // 0 for processes without a parent (the init process, kernel threads)
    std::string name; // executable name as the system reports it (valid UTF-8)
    bool hasTTY = false; // whether the process has a controlling terminal

    bool operator==(const ProcessInfoLite&) const = default;
};

} // namespace vantorelle
