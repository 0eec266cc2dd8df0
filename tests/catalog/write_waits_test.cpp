#include <gtest/gtest.h>

#include <chrono>

#include "catalog/WriteWaits.h"

namespace kavelin {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

TEST(WriteWaits, EachWaitIsCountedOnceAndEndsAfterTheTimeout) {
    WriteWaits waits(milliseconds(30));
    EXPECT_EQ(waits.WaitsBegun(), 0u);
    const auto start = steady_clock::now();
    int attempt = 0;
    while (waits.WaitForRelease(attempt)) {
        ++attempt;
        ASSERT_LT(attempt, 10000);
    }
    EXPECT_GE(steady_clock::now() - start, milliseconds(30));
    EXPECT_GT(attempt, 1);
    EXPECT_EQ(waits.WaitsBegun(), 1u);

    // A new statement starts a new wait with its own time.
    EXPECT_TRUE(waits.WaitForRelease(0));
    EXPECT_TRUE(waits.WaitForRelease(1));
    EXPECT_EQ(waits.WaitsBegun(), 2u);
}

}  // namespace
}  // namespace kavelin
