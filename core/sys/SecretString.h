// SecretString: text that holds a passphrase; its bytes are wiped when it goes away.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace vantorelle {

// Wipe a std::string's whole buffer (capacity, not just size) and empty it.
void wipeString(std::string& text) noexcept;

// Overwrites `count` bytes in a way the compiler may not drop as a dead store.
void wipeBytes(void* bytes, std::size_t count) noexcept;

// Best effort: asks the kernel to leave the pages under these bytes out of core dumps
// (MADV_DONTDUMP). Whatever shares those pages is left out too, which costs nothing but detail.
void keepOutOfCoreDumps(const void* bytes, std::size_t count) noexcept;

// Overwrites the stack just below the caller's frame, where a call that has returned (a parser
// with a short token in its inline buffer, say) may have left a secret behind.
void wipeStackBelow() noexcept;

// An allocator that wipes every block it gives back, for containers whose growth would otherwise
// free copies of a secret behind our back (a parser's token buffer, a serializer's output). Its
// blocks are kept out of core dumps where the kernel allows.
template <typename T> struct WipingAllocator
{
    using value_type = T;

    WipingAllocator() noexcept = default;
    template <typename U> WipingAllocator(const WipingAllocator<U>&) noexcept { }

    T* allocate(std::size_t n)
    {
        static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) {
            throw std::bad_array_new_length();
        }
        void* block = ::operator new(n * sizeof(T));
        keepOutOfCoreDumps(block, n * sizeof(T));
        return static_cast<T*>(block);
    }
    void deallocate(T* p, std::size_t n) noexcept
    {
        wipeBytes(p, n * sizeof(T));
        ::operator delete(p, n * sizeof(T));
    }

    template <typename U> friend bool operator==(const WipingAllocator&, const WipingAllocator<U>&) noexcept
    {
        return true;
    }
};

// Text whose heap buffers are wiped whenever they are freed. Its inline small-string buffer is not
// heap memory: wipe that with wipeBytes over data() and capacity() before it goes away.
using WipingString = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;

// Move-only, so that no copy is made by accident: copy() says where one is needed. Every buffer it
// owned is wiped, on growth (the allocator), on destruction, assignment and move (the moved-from
// inline buffer too). The wire encoder and the socket line reader hand their text out in one.
class SecretString
{
public:
    SecretString() = default;
    // Copies the text and wipes what is left in `text`.
    explicit SecretString(std::string&& text);
    explicit SecretString(std::string_view text);
    ~SecretString() { wipe(); }

    SecretString(const SecretString&) = delete;
    SecretString& operator=(const SecretString&) = delete;
    SecretString(SecretString&& other) noexcept;
    SecretString& operator=(SecretString&& other) noexcept;
    SecretString copy() const { return SecretString(view()); }

    std::string_view view() const noexcept { return {m_text.data(), m_text.size()}; }
    const char* data() const noexcept { return m_text.data(); }
    size_t size() const noexcept { return m_text.size(); }
    bool empty() const noexcept { return m_text.empty(); }
    void clear() noexcept { wipe(); }
    void reserve(std::size_t capacity) { m_text.reserve(capacity); }
    void append(std::string_view text) { m_text.append(text.data(), text.size()); }
    void push_back(char c) { m_text.push_back(c); }

    friend bool operator==(const SecretString& a, const SecretString& b) { return a.view() == b.view(); }

private:
    // The inline small-string buffer is no heap block: the allocator cannot wipe it.
    void wipe() noexcept
    {
        wipeBytes(m_text.data(), m_text.capacity());
        m_text.clear();
    }

    WipingString m_text;
};

} // namespace vantorelle
