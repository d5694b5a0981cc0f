#include "os/System.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <limits>

#include "os/LastError.h"
#include "tests/os/sync/SyncTestSupport.h"

using kytest::Child;

namespace {

constexpr std::uint64_t kUnitsPerSecond = 10000000;
constexpr std::uint64_t kSecondsFrom1601To1970 = 11644473600ull;

std::uint64_t nowAsFileTime() {
    timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    return (kSecondsFrom1601To1970 + static_cast<std::uint64_t>(now.tv_sec)) * kUnitsPerSecond +
           static_cast<std::uint64_t>(now.tv_nsec) / 100;
}

// Taken while the test program's statics are built, shortly after the process started.
const std::uint64_t g_programLoaded = nowAsFileTime();

// The boot time has whole seconds, so a start time may read up to a second early.
constexpr std::uint64_t kBootTimeGrain = kUnitsPerSecond;

TEST(ProcessStartTime, OwnProcessStartedJustBeforeItsStaticsAndReadsAlike) {
    std::uint64_t first = 0, second = 0;
    ASSERT_TRUE(kyos::processStartTime(static_cast<std::int32_t>(::getpid()), first));
    EXPECT_LE(first, g_programLoaded + kUnitsPerSecond);
    EXPECT_GE(first, g_programLoaded - 5 * kUnitsPerSecond - kBootTimeGrain);
    ASSERT_TRUE(kyos::processStartTime(static_cast<std::int32_t>(::getpid()), second));
    EXPECT_EQ(first, second);
}

// The child's name holds what would mislead a parse that stops at the first ')'.
TEST(ProcessStartTime, AForkedChildStartedBetweenBeforeAndAfterTheFork) {
    std::uint64_t parent = 0;
    ASSERT_TRUE(kyos::processStartTime(static_cast<std::int32_t>(::getpid()), parent));
    // Start times have clock ticks (10 ms): leave a few behind the parent's start, which
    // lies before its statics were built, so that the two can differ.
    const long tick = ::sysconf(_SC_CLK_TCK);
    ASSERT_GT(tick, 0);
    const std::uint64_t tickUnits = kUnitsPerSecond / static_cast<std::uint64_t>(tick);
    ASSERT_TRUE(
        kytest::eventually([&] { return nowAsFileTime() > g_programLoaded + 3 * tickUnits; }));

    const std::uint64_t before = nowAsFileTime();
    Child child([] {
        ::prctl(PR_SET_NAME, "a) 1 2 (b) c", 0, 0, 0);
        Child::sendToParent('r');
        Child::receiveFromParent();
        return 0;
    });
    ASSERT_EQ(child.receive(), 'r');
    const std::uint64_t after = nowAsFileTime();
    std::uint64_t started = 0;
    ASSERT_TRUE(kyos::processStartTime(child.pid(), started));
    EXPECT_GE(started + kBootTimeGrain + tickUnits, before);
    EXPECT_LE(started, after + tickUnits);
    EXPECT_GT(started, parent);
    child.send('x');
    EXPECT_EQ(child.wait(), 0);
}

TEST(ProcessStartTime, NoProcessGivesFalse) {
    Child gone([] { return 0; });
    const std::int32_t reaped = gone.pid();
    gone.wait();
    const std::int32_t pids[] = {reaped, 0, -1, std::numeric_limits<std::int32_t>::max()};
    for (std::int32_t pid : pids) {
        SCOPED_TRACE(pid);
        std::uint64_t started = 42;
        kyos::setLastError(ERROR_SUCCESS);
        EXPECT_FALSE(kyos::processStartTime(pid, started));
        EXPECT_EQ(kyos::lastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
}

}  // namespace
