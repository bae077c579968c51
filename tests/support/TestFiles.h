// Small file helpers every suite shares: whole-file reads and writes that fail the test loudly.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace vantorelle::test {

// The file's bytes; a missing file reads as "" so tests can compare against an expected absence.
inline std::string readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Creates parent directories as needed; `mode` applies to the file.
inline void writeFile(const std::filesystem::path& path, const std::string& text,
                      std::filesystem::perms mode = std::filesystem::perms(0600))
{
    if (path.has_parent_path()) {
        std::filesystem::create_directories(path.parent_path());
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
    std::filesystem::permissions(path, mode);
}

} // namespace vantorelle::test
