// FileChange: one reviewed edit of a user's file: its text when the plan was made and the text to write.
#pragma once

#include <filesystem>
#include <string>

namespace vantorelle {

struct FileChange
{
    std::filesystem::path url; // the file to change
    std::string before; // the file's text when the plan was made; empty when it did not exist
    std::string after; // the text to write
    bool removesFile = false; // applying deletes the file instead of writing `after`

    bool operator==(const FileChange&) const = default;
};

} // namespace vantorelle
