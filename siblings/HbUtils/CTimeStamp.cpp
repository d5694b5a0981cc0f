#include "siblings/HbUtils/CTimeStamp.h"

#include <chrono>
#include <ctime>
#include <limits>

namespace {

constexpr std::int64_t kTicksPerMillisecond = 10000;
constexpr std::int64_t kTicksPerSecond = 10000000;
// Seconds between 1601-01-01 (the FILETIME epoch) and 1970-01-01.
constexpr std::int64_t kFileTimeEpochOffsetSeconds = 11644473600LL;
constexpr std::uint64_t kUnixEpochFileTime =
    static_cast<std::uint64_t>(kFileTimeEpochOffsetSeconds) * kTicksPerSecond;

std::int64_t SaturatingMultiply(std::int64_t value, std::int64_t factor) {
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    if (value > kMax / factor)
        return kMax;
    if (value < kMin / factor)
        return kMin;
    return value * factor;
}

}  // namespace

CTimeInterval CTimeInterval::FromMilliseconds(std::int64_t milliseconds) {
    return CTimeInterval(SaturatingMultiply(milliseconds, kTicksPerMillisecond));
}

CTimeInterval CTimeInterval::FromSeconds(std::int64_t seconds) {
    return CTimeInterval(SaturatingMultiply(seconds, kTicksPerSecond));
}

std::int64_t CTimeInterval::AsMilliseconds() const {
    return m_ticks / kTicksPerMillisecond;
}

CTimeStamp CTimeStamp::Now() {
    auto sinceUnixEpoch = std::chrono::system_clock::now().time_since_epoch();
    auto ticks =
        std::chrono::duration_cast<
            std::chrono::duration<std::int64_t, std::ratio<1, kTicksPerSecond>>>(sinceUnixEpoch)
            .count();
    return CTimeStamp(kUnixEpochFileTime + static_cast<std::uint64_t>(ticks));
}

CTimeStamp CTimeStamp::FromFileTime(std::uint64_t fileTime) {
    return CTimeStamp(fileTime);
}

std::string CTimeStamp::AsLocalDateTimeString() const {
    std::int64_t seconds =
        static_cast<std::int64_t>(m_fileTime / kTicksPerSecond) - kFileTimeEpochOffsetSeconds;
    std::time_t unixSeconds = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (localtime_r(&unixSeconds, &local) == nullptr)
        return std::string();
    char text[32];
    size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return std::string(text, length);
}

CTimeInterval operator-(CTimeStamp later, CTimeStamp earlier) {
    // The difference of two unsigned 64-bit values can exceed the signed range only for
    // moments some 29,000 years apart; keep the sign right all the same.
    constexpr std::uint64_t kMax =
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (later.m_fileTime >= earlier.m_fileTime) {
        std::uint64_t span = later.m_fileTime - earlier.m_fileTime;
        return CTimeInterval::FromTicks(span > kMax ? std::numeric_limits<std::int64_t>::max()
                                                    : static_cast<std::int64_t>(span));
    }
    std::uint64_t span = earlier.m_fileTime - later.m_fileTime;
    return CTimeInterval::FromTicks(span > kMax ? std::numeric_limits<std::int64_t>::min()
                                                : -static_cast<std::int64_t>(span));
}
