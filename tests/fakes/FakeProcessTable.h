// FakeProcessTable: a process table for the requester resolver, built from chains of names.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "unlock/ProcessInfoLite.h"

namespace vantorelle {

class FakeProcessTable
{
public:
    struct Entry
    {
        std::string name;
        bool hasTTY = false;
    };

    // Adds processes pid, pid+1, ... where each is the parent of the one before; the last one's
    // parent is `topParent` (0: none). Returns the requesting (first) pid.
    std::int32_t chain(std::int32_t pid, const std::vector<Entry>& entries, std::int32_t topParent = 0)
    {
        for (size_t i = 0; i < entries.size(); ++i) {
            const auto current = static_cast<std::int32_t>(pid + i);
            const std::int32_t parent = i + 1 < entries.size() ? current + 1 : topParent;
            processes[current] = ProcessInfoLite{current, parent, entries[i].name, entries[i].hasTTY};
        }
        return pid;
    }

    std::optional<ProcessInfoLite> operator()(std::int32_t pid) const
    {
        ++lookups;
        if (const auto entry = processes.find(pid); entry != processes.end()) {
            return entry->second;
        }
        return std::nullopt;
    }

    std::map<std::int32_t, ProcessInfoLite> processes;
    mutable int lookups = 0;
};

} // namespace vantorelle
