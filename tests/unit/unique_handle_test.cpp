#include "platform/unique_handle.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<int> closed;

struct IntTraits {
    using pointer = int;
    static pointer invalid() { return -1; }
    static void close(pointer h) { closed.push_back(h); }
};
using unique_int = unique_handle<IntTraits>;

TEST(UniqueHandle, ClosesEachHandleExactlyOnce) {
    closed.clear();
    {
        unique_int a(3);
        unique_int b(std::move(a));
        EXPECT_FALSE(a);
        EXPECT_TRUE(b);
        unique_int c(5);
        c = std::move(b);  // 5 closes here, 3 moves on
        EXPECT_EQ(closed, std::vector<int>{5});
        unique_int empty;
        EXPECT_FALSE(empty);
        const int released = unique_int(7).release();
        EXPECT_EQ(released, 7);
        *c.put() = 9;  // put closes what was held (3) before the new handle arrives
    }
    EXPECT_EQ(closed, (std::vector<int>{5, 3, 9}));
}

// The thread's last error as the OS keeps it; every close overwrites it.
int lastError = 0;

struct ErrorKeepingTraits {
    using pointer = int;
    static pointer invalid() { return -1; }
    static void close(pointer) { lastError = 6; }
    static int save_error() { return lastError; }
    static void restore_error(int error) { lastError = error; }
};

TEST(UniqueHandle, ClosingKeepsTheLastErrorWhenTheTraitsAskForIt) {
    unique_handle<ErrorKeepingTraits> h(3);
    lastError = 183;
    h.reset(4);
    EXPECT_EQ(lastError, 183) << "reset";
    lastError = 5;
    static_cast<void>(h.put());
    EXPECT_EQ(lastError, 5) << "put";
    h.reset(7);
    lastError = 2;
    { const unique_handle<ErrorKeepingTraits> gone(std::move(h)); }
    EXPECT_EQ(lastError, 2) << "destructor";
}

}  // namespace
