#include "platform/unique_fd.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace kavo {
namespace {

bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

int OpenNull() { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }

TEST(UniqueFd, ClosesWhatItOwnsExactlyOnce) {
    int fd = OpenNull();
    ASSERT_GE(fd, 0);
    {
        TUniqueFd owner(fd);
        EXPECT_TRUE(owner);
        EXPECT_EQ(owner.Get(), fd);
    }
    EXPECT_FALSE(IsOpen(fd));

    // reset closes the old descriptor and keeps the new one; a moved-from owner closes nothing.
    const int first = OpenNull(), second = OpenNull();
    TUniqueFd owner(first);
    owner.Reset(second);
    EXPECT_FALSE(IsOpen(first));
    TUniqueFd moved(std::move(owner));
    EXPECT_FALSE(owner);
    EXPECT_EQ(moved.Get(), second);
    TUniqueFd assigned;
    assigned = std::move(moved);
    EXPECT_TRUE(IsOpen(second));
    assigned.Reset();
    EXPECT_FALSE(IsOpen(second));
    EXPECT_EQ(assigned.Get(), -1);
}

TEST(UniqueFd, ReleaseHandsTheDescriptorBackOpen) {
    const int fd = OpenNull();
    {
        TUniqueFd owner(fd);
        EXPECT_EQ(owner.Release(), fd);
        EXPECT_EQ(owner.Get(), -1);
    }
    EXPECT_TRUE(IsOpen(fd));
    ::close(fd);
}

}  // namespace
}  // namespace kavo
