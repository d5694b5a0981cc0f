#include "siblings/HbUtils/CTimeStamp.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <limits>
#include <string>

namespace {

constexpr std::uint64_t kUnixEpochFileTime = 116444736000000000ULL;
constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();

// Sets the process's time zone for one test and puts the old one back.
class TimeZoneTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        hadTz_ = tz != nullptr;
        if (hadTz_)
            oldTz_ = tz;
    }
    void TearDown() override {
        if (hadTz_) {
            setenv("TZ", oldTz_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    void useZone(const char* tz) {
        setenv("TZ", tz, 1);
        tzset();
    }

private:
    bool hadTz_ = false;
    std::string oldTz_;
};

TEST_F(TimeZoneTest, LocalDateTimeText) {
    struct Case {
        std::uint64_t fileTime;
        const char* zone;
        const char* text;
    } cases[] = {
        {kUnixEpochFileTime, "UTC0", "1970-01-01 00:00:00"},
        {kUnixEpochFileTime, "XYZ-2", "1970-01-01 02:00:00"},  // two hours east of UTC
        {kUnixEpochFileTime + 9999999, "UTC0", "1970-01-01 00:00:00"},
        {kUnixEpochFileTime + 1000000000ULL * 10000000ULL, "UTC0", "2001-09-09 01:46:40"},
        {0, "UTC0", "1601-01-01 00:00:00"},
    };
    for (const Case& c : cases) {
        useZone(c.zone);
        EXPECT_EQ(CTimeStamp::FromFileTime(c.fileTime).AsLocalDateTimeString(), c.text)
            << c.fileTime << " " << c.zone;
    }
}

TEST(CTimeStamp, OrderAndDifference) {
    CTimeStamp earlier = CTimeStamp::FromFileTime(kUnixEpochFileTime);
    CTimeStamp later = CTimeStamp::FromFileTime(kUnixEpochFileTime + 15000);  // 1.5 ms
    EXPECT_LT(earlier, later);
    EXPECT_GT(later, earlier);
    EXPECT_LE(earlier, earlier);
    EXPECT_NE(earlier, later);
    EXPECT_EQ(later - earlier, CTimeInterval::FromTicks(15000));
    EXPECT_EQ((later - earlier).AsMilliseconds(), 1);
    EXPECT_EQ((earlier - later).AsMilliseconds(), -1);  // cut toward zero
    EXPECT_EQ(later.AsFileTime(), kUnixEpochFileTime + 15000);
}

TEST(CTimeStamp, DifferenceOfFarApartMomentsKeepsItsSign) {
    CTimeStamp first = CTimeStamp::FromFileTime(0);
    CTimeStamp last = CTimeStamp::FromFileTime(std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ((last - first).AsTicks(), kInt64Max);
    EXPECT_EQ((first - last).AsTicks(), kInt64Min);
}

TEST(CTimeStamp, NowIsTheSystemClock) {
    auto toFileTime = [](std::chrono::system_clock::time_point t) {
        auto ticks = std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch());
        return kUnixEpochFileTime + static_cast<std::uint64_t>(ticks.count()) * 10;
    };
    std::uint64_t before = toFileTime(std::chrono::system_clock::now());
    std::uint64_t now = CTimeStamp::Now().AsFileTime();
    std::uint64_t after = toFileTime(std::chrono::system_clock::now()) + 10;
    EXPECT_LE(before, now);
    EXPECT_LE(now, after);
}

TEST(CTimeInterval, Conversions) {
    struct Case {
        CTimeInterval interval;
        std::int64_t milliseconds;
        std::int64_t ticks;
    } cases[] = {
        {CTimeInterval::FromSeconds(3), 3000, 30000000},
        {CTimeInterval::FromMilliseconds(-1500), -1500, -15000000},
        {CTimeInterval::FromTicks(19999), 1, 19999},
        {CTimeInterval::FromSeconds(kInt64Max), kInt64Max / 10000, kInt64Max},
        {CTimeInterval::FromMilliseconds(kInt64Min), kInt64Min / 10000, kInt64Min},
        {CTimeInterval(), 0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.interval.AsMilliseconds(), c.milliseconds) << c.ticks;
        EXPECT_EQ(c.interval.AsTicks(), c.ticks);
    }
    EXPECT_LT(CTimeInterval::FromMilliseconds(999), CTimeInterval::FromSeconds(1));
    EXPECT_EQ(CTimeInterval::FromMilliseconds(1000), CTimeInterval::FromSeconds(1));
}

}  // namespace
