#include "platform/UniqueFd.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <utility>

namespace {

using platform::UniqueFd;

bool IsOpen(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

// The owner closes what it owns, once, and nothing else: each row uses it on two fresh
// descriptors and hands back the owner that is left, whose going closes what it still holds.
TEST(UniqueFdTest, ClosesWhatItOwnsAndNothingElse)
{
    struct Row {
        const char* what;
        std::function<UniqueFd(int a, int b)> use;
        bool aOpen, bOpen;  // while the owner left behind lives
    };
    const Row rows[] = {
        {"moving hands the descriptor on", [](int a, int) {
             UniqueFd from(a);
             UniqueFd to(std::move(from));
             EXPECT_EQ(from.Get(), -1);
             return to;
         }, true, true},
        {"move assignment closes the one it replaces", [](int a, int b) {
             UniqueFd from(a);
             UniqueFd to(b);
             to = std::move(from);
             return to;
         }, true, false},
        {"move assignment to itself keeps it", [](int a, int) {
             UniqueFd owner(a);
             UniqueFd& same = owner;
             owner = std::move(same);
             return owner;
         }, true, true},
        {"Reset closes the old one", [](int a, int b) {
             UniqueFd owner(a);
             owner.Reset(b);
             return owner;
         }, false, true},
        {"Release hands it over without closing", [](int a, int) {
             UniqueFd owner(a);
             EXPECT_EQ(owner.Release(), a);
             return owner;
         }, true, true},
        {"Close closes at once", [](int a, int) {
             UniqueFd owner(a);
             EXPECT_TRUE(owner.Close());
             return owner;
         }, false, true},
        {"a failed close says why", [](int a, int) {
             close(a);
             UniqueFd owner(a);
             errno = 0;
             EXPECT_FALSE(owner.Close());
             EXPECT_EQ(errno, EBADF);
             return owner;
         }, false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        int fds[2];
        ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
        int held;
        {
            const UniqueFd left = row.use(fds[0], fds[1]);
            held = left.Get();
            EXPECT_EQ(IsOpen(fds[0]), row.aOpen);
            EXPECT_EQ(IsOpen(fds[1]), row.bOpen);
        }
        EXPECT_TRUE(held < 0 || !IsOpen(held)) << "the owner left behind did not close " << held;
        for (const int fd : fds)
            if (IsOpen(fd))
                close(fd);
    }
}

}  // namespace
