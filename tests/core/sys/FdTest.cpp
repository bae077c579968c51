// Fd: every descriptor it owns is closed, standard input's number included, and moves hand it on.
#include "sys/Fd.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace vantorelle {
namespace {

bool isOpen(int fd)
{
    return ::fcntl(fd, F_GETFD) >= 0;
}

TEST(Fd, ClosesWhatItOwnsEvenDescriptorZeroAndMovesHandItOn)
{
    // A daemon started with its standard input closed gets 0 from its first open.
    const int savedStdin = ::fcntl(0, F_DUPFD_CLOEXEC, 10);
    ASSERT_GE(savedStdin, 10);
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::dup2(devNull, 0), 0);
    ::close(devNull);
    {
        Fd zero(0);
        Fd moved(std::move(zero));
        EXPECT_FALSE(zero.valid());
        EXPECT_EQ(moved.get(), 0);
    }
    const bool closed = !isOpen(0);
    ::dup2(savedStdin, 0);
    ::close(savedStdin);
    EXPECT_TRUE(closed) << "descriptor 0 was left open";

    Fd first(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    const int number = first.get();
    Fd second(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    first = std::move(second); // the old descriptor goes
    EXPECT_FALSE(isOpen(number));
    const int kept = first.release(); // given up, not closed
    EXPECT_TRUE(isOpen(kept));
    ::close(kept);
}

} // namespace
} // namespace vantorelle
