// SecretString: text that holds a passphrase; its bytes are wiped when it goes away.
#include "sys/SecretString.h"

#include <string.h>

namespace vantorelle {

void wipeBytes(void* bytes, std::size_t count) noexcept
{
    if (bytes && count > 0) {
        ::explicit_bzero(bytes, count);
    }
}

[[gnu::noinline]] void wipeStackBelow() noexcept
{
    char area[16384];
    ::explicit_bzero(area, sizeof area);
}

void wipeString(std::string& text) noexcept
{
    // data() spans the whole capacity, including the small-string buffer.
    wipeBytes(text.data(), text.capacity());
    text.clear();
}

SecretString::SecretString(std::string&& text) noexcept
    : m_text(std::move(text))
{
    wipeString(text);
}

SecretString::SecretString(std::string_view text)
    : m_text(text)
{
}

SecretString::SecretString(SecretString&& other) noexcept
    : m_text(std::move(other.m_text))
{
    wipeString(other.m_text);
}

SecretString& SecretString::operator=(const SecretString& other)
{
    if (this != &other) {
        wipeString(m_text);
        m_text = other.m_text;
    }
    return *this;
}

SecretString& SecretString::operator=(SecretString&& other) noexcept
{
    if (this != &other) {
        wipeString(m_text);
        m_text = std::move(other.m_text);
        wipeString(other.m_text);
    }
    return *this;
}

} // namespace vantorelle
