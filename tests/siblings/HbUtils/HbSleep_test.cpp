#include "siblings/HbUtils/HbSleep.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

TEST(HbSleep, SleepsAtLeastTheTimeAsked) {
    constexpr DWORD kMilliseconds = 30;
    auto start = std::chrono::steady_clock::now();
    HBSLEEP(kMilliseconds);
    auto slept = std::chrono::steady_clock::now() - start;
    EXPECT_GE(slept, std::chrono::milliseconds(kMilliseconds));
}

}  // namespace
