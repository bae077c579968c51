// TarWriter: ustar archives with exactly the names and links a test wants, hostile ones included.
#pragma once

#include <cstdio>
#include <string>

namespace vantorelle::test {

class TarWriter
{
public:
    TarWriter& file(const std::string& name, const std::string& content, unsigned mode = 0644)
    {
        return entry(name, '0', content, "", mode);
    }
    TarWriter& folder(const std::string& name) { return entry(name, '5', "", "", 0755); }
    TarWriter& link(const std::string& name, const std::string& target) { return entry(name, '2', "", target, 0777); }
    TarWriter& hardLink(const std::string& name, const std::string& target)
    {
        return entry(name, '1', "", target, 0644);
    }
    std::string finish() const { return m_data + std::string(1024, '\0'); }

private:
    TarWriter& entry(const std::string& name, char type, const std::string& content, const std::string& target,
                     unsigned mode)
    {
        std::string header(512, '\0');
        header.replace(0, name.size(), name);
        std::snprintf(&header[100], 8, "%07o", mode);
        std::snprintf(&header[108], 8, "%07o", 0u);
        std::snprintf(&header[116], 8, "%07o", 0u);
        std::snprintf(&header[124], 12, "%011zo", content.size());
        std::snprintf(&header[136], 12, "%011o", 0u);
        header[156] = type;
        header.replace(157, target.size(), target);
        header.replace(257, 6, std::string("ustar\0", 6));
        header.replace(263, 2, "00");
        header.replace(148, 8, "        ");
        unsigned sum = 0;
        for (unsigned char c : header) {
            sum += c;
        }
        std::snprintf(&header[148], 8, "%06o", sum);
        m_data += header + content + std::string((512 - content.size() % 512) % 512, '\0');
        return *this;
    }
    std::string m_data;
};

} // namespace vantorelle::test
