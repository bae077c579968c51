// SecretString: text that holds a passphrase; its bytes are wiped when it goes away.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace vantorelle {

// Wipe a std::string's whole buffer (capacity, not just size) and empty it.
void wipeString(std::string& text) noexcept;

// Overwrites `count` bytes in a way the compiler may not drop as a dead store.
void wipeBytes(void* bytes, std::size_t count) noexcept;

// Overwrites the stack just below the caller's frame, where a call that has returned (a parser
// with a short token in its inline buffer, say) may have left a secret behind.
void wipeStackBelow() noexcept;

// An allocator that wipes every block it gives back, for containers whose growth would otherwise
// free copies of a secret behind our back (a parser's token buffer, a serializer's output).
template <typename T> struct WipingAllocator
{
    using value_type = T;

    WipingAllocator() noexcept = default;
    template <typename U> WipingAllocator(const WipingAllocator<U>&) noexcept { }

    T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
    void deallocate(T* p, std::size_t n) noexcept
    {
        wipeBytes(p, n * sizeof(T));
        std::allocator<T>().deallocate(p, n);
    }

    template <typename U> friend bool operator==(const WipingAllocator&, const WipingAllocator<U>&) noexcept
    {
        return true;
    }
};

// Text whose heap buffers are wiped whenever they are freed. Its inline small-string buffer is not
// heap memory: wipe that with wipeBytes over data() and capacity() before it goes away.
using WipingString = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;

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
