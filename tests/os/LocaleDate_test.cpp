#include "os/LocaleDate.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

std::tm sampleTime() {
    std::tm t{};
    t.tm_year = 2024 - 1900;
    t.tm_mon = 11;  // December: month and day tell apart
    t.tm_mday = 31;
    t.tm_hour = 7;
    t.tm_min = 8;
    t.tm_sec = 9;
    return t;
}

TEST(LocaleDate, OrdersAndForms) {
    struct Case {
        unsigned long lcid;
        int order;
        const char* shortDate;
        const char* orderDate;
    };
    const Case cases[] = {
        {1033, 0, "12/31/2024", "12/31/2024"},
        {1031, 1, "31.12.2024", "31/12/2024"},
        {1041, 2, "2024/12/31", "2024/12/31"},
        {2057, 1, "31/12/2024", "31/12/2024"},  // two-digit year forced to four
    };
    for (const Case& c : cases) {
        EXPECT_EQ(kyos::localeDateOrder(c.lcid), c.order) << c.lcid;
        std::string date, time;
        ASSERT_TRUE(kyos::formatLocaleDateTime(c.lcid, sampleTime(), true, &date, &time));
        EXPECT_EQ(date, c.shortDate) << c.lcid;
        EXPECT_EQ(time, "07:08:09") << c.lcid;
        ASSERT_TRUE(kyos::formatLocaleDateTime(c.lcid, sampleTime(), false, &date, &time));
        EXPECT_EQ(date, c.orderDate) << c.lcid;
    }
}

TEST(LocaleDate, UnknownLocaleLeavesTheOutputs) {
    std::string date = "d", time = "t";
    EXPECT_EQ(kyos::localeDateOrder(0xFFFF), -1);
    EXPECT_FALSE(kyos::formatLocaleDateTime(0xFFFF, sampleTime(), true, &date, &time));
    EXPECT_EQ(date, "d");
    EXPECT_EQ(time, "t");
}

TEST(LocaleDate, ThreadsShareTheCache) {
    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&, i] {
            const unsigned long lcids[] = {1033, 1031, 1041, 1042};
            for (int n = 0; n < 200; ++n) {
                std::string date, time;
                if (!kyos::formatLocaleDateTime(lcids[(i + n) % 4], sampleTime(), n % 2 == 0, &date,
                                                &time) ||
                    time != "07:08:09")
                    ++wrong[i];
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

}  // namespace
