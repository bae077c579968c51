// Fd: sole owner of one file descriptor.
#pragma once

#include <utility>

namespace vantorelle {

// Move-only; closes in its destructor. Every descriptor the system opens is close-on-exec, so an
// Fd never leaks into a child unless a spawn's file actions put it there on purpose.
class Fd
{
public:
    Fd() noexcept = default;
    explicit Fd(int fd) noexcept
        : m_fd(fd)
    {
    }
    ~Fd() { reset(); }

    Fd(Fd&& other) noexcept
        : m_fd(other.release())
    {
    }
    Fd& operator=(Fd&& other) noexcept
    {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const noexcept { return m_fd; }
    bool valid() const noexcept { return m_fd >= 0; }
    explicit operator bool() const noexcept { return valid(); }

    // Gives up ownership without closing.
    int release() noexcept { return std::exchange(m_fd, -1); }

    // Closes the current descriptor (if any) and takes `fd`.
    void reset(int fd = -1) noexcept;

private:
    int m_fd = -1;
};

} // namespace vantorelle
