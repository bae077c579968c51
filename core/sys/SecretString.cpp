// SecretString: text that holds a passphrase; its bytes are wiped when it goes away.
#include "sys/SecretString.h"

#include <cstdint>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

namespace vantorelle {

void wipeBytes(void* bytes, std::size_t count) noexcept
{
    if (bytes && count > 0) {
        ::explicit_bzero(bytes, count);
    }
}

void keepOutOfCoreDumps(const void* bytes, std::size_t count) noexcept
{
    static const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    if (!bytes || count == 0 || page == 0) {
        return;
    }
    const auto start = reinterpret_cast<std::uintptr_t>(bytes) & ~(page - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(bytes) + count + page - 1) & ~(page - 1);
    // Fails on kernels without it, or when the mapping count is exhausted; the secret is still
    // wiped, it is only not kept out of a dump.
    (void)::madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTDUMP);
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

SecretString::SecretString(std::string&& text)
    : m_text(text.data(), text.size())
{
    wipeString(text);
}

SecretString::SecretString(std::string_view text)
    : m_text(text.data(), text.size())
{
}

SecretString::SecretString(SecretString&& other) noexcept
    : m_text(std::move(other.m_text))
{
    other.wipe();
}

SecretString& SecretString::operator=(SecretString&& other) noexcept
{
    if (this != &other) {
        wipe();
        m_text = std::move(other.m_text);
        other.wipe();
    }
    return *this;
}

} // namespace vantorelle
