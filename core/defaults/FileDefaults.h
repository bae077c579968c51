// FileDefaults: Defaults in one JSON file shared by every Vantorelle process of the user.
#pragma once

#include <chrono>
#include <filesystem>

#include "defaults/Defaults.h"
#include "sys/Environment.h"

namespace vantorelle {

// The file is one JSON object. Dates are stored as {"$date": <seconds since 1970>} so they read
// back as dates. Every read sees the file as it is now (other processes write it too); every
// write is a read-modify-write under an exclusive lock on "<file>.lock", to a temporary file with
// mode 0600 that is renamed over the old one. A file that does not parse, is not a regular file
// (a FIFO, a device), is larger than 1 MiB or nests deeper than any setting reads as empty, and
// before the first write over it the damaged file is kept as "<file>.damaged.<seconds>" (with
// ".<n>" added when that name holds another damaged version). A file that exists but cannot be
// read reads as empty too and is never written over.
// A write that fails leaves the old file as it was (writes are best effort, like the platform's
// user defaults; `lastWriteFailed()` tells a caller that cares).
class FileDefaults final : public Defaults
{
public:
    // `lockWait` bounds the wait for another process's write; past it the write fails.
    explicit FileDefaults(std::filesystem::path file, std::chrono::milliseconds lockWait = std::chrono::seconds(2));

    // $XDG_CONFIG_HOME/vantorelle/defaults.json, with ~/.config when XDG_CONFIG_HOME is unset or
    // empty (or not absolute, as the XDG base directory rules say).
    static std::filesystem::path standardPath(const Environment& env);

    std::optional<DefaultsValue> object(std::string_view key) const override;
    void set(std::string_view key, DefaultsValue value) override;
    void remove(std::string_view key) override;

    const std::filesystem::path& file() const { return m_file; }
    bool lastWriteFailed() const { return m_lastWriteFailed; }

private:
    void update(std::string_view key, const std::optional<DefaultsValue>& value);

    std::filesystem::path m_file;
    std::chrono::milliseconds m_lockWait;
    bool m_lastWriteFailed = false;
};

} // namespace vantorelle
