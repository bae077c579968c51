// SecretString: text that holds a passphrase; its bytes are wiped when it goes away.
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace vantorelle {

// Wipe a std::string's whole buffer (capacity, not just size) and empty it.
void wipeString(std::string& text) noexcept;

// A value type so it can ride in messages and maps; keep copies few. Every buffer it owned is
// wiped with explicit_bzero on destruction, assignment and move (the moved-from buffer too).
class SecretString
{
public:
    SecretString() = default;
    // Takes the text over and wipes what is left in `text`.
    explicit SecretString(std::string&& text) noexcept;
    explicit SecretString(std::string_view text);
    ~SecretString() { wipeString(m_text); }

    SecretString(const SecretString& other)
        : m_text(other.m_text)
    {
    }
    SecretString(SecretString&& other) noexcept;
    SecretString& operator=(const SecretString& other);
    SecretString& operator=(SecretString&& other) noexcept;

    std::string_view view() const noexcept { return m_text; }
    const char* data() const noexcept { return m_text.data(); }
    size_t size() const noexcept { return m_text.size(); }
    bool empty() const noexcept { return m_text.empty(); }
    void clear() noexcept { wipeString(m_text); }

    friend bool operator==(const SecretString& a, const SecretString& b) { return a.m_text == b.m_text; }

private:
    std::string m_text;
};

} // namespace vantorelle
