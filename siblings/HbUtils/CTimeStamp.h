// CTimeStamp, a moment (wall-clock time, UTC, in 100-ns units since 1601-01-01: the
// FILETIME scale), and CTimeInterval, a signed span in 100-ns units.
//
// Plain values; safe to copy between threads. Arithmetic that would leave the 64-bit
// range stops at its ends instead of wrapping.
#pragma once

#include <cstdint>
#include <string>

class CTimeInterval {
public:
    CTimeInterval() = default;

    static CTimeInterval FromMilliseconds(std::int64_t milliseconds);
    static CTimeInterval FromSeconds(std::int64_t seconds);
    static CTimeInterval FromTicks(std::int64_t ticks) { return CTimeInterval(ticks); }

    // Whole milliseconds, cut toward zero.
    std::int64_t AsMilliseconds() const;
    std::int64_t AsTicks() const { return m_ticks; }

    friend bool operator==(CTimeInterval a, CTimeInterval b) { return a.m_ticks == b.m_ticks; }
    friend bool operator!=(CTimeInterval a, CTimeInterval b) { return a.m_ticks != b.m_ticks; }
    friend bool operator<(CTimeInterval a, CTimeInterval b) { return a.m_ticks < b.m_ticks; }
    friend bool operator<=(CTimeInterval a, CTimeInterval b) { return a.m_ticks <= b.m_ticks; }
    friend bool operator>(CTimeInterval a, CTimeInterval b) { return a.m_ticks > b.m_ticks; }
    friend bool operator>=(CTimeInterval a, CTimeInterval b) { return a.m_ticks >= b.m_ticks; }

private:
    explicit CTimeInterval(std::int64_t ticks) : m_ticks(ticks) {}

    std::int64_t m_ticks = 0;
};

class CTimeStamp {
public:
    // 1601-01-01 00:00:00 UTC.
    CTimeStamp() = default;

    // The system's wall-clock time now (it moves when the clock is set).
    static CTimeStamp Now();
    // From a FILETIME value: 100-ns units since 1601-01-01 UTC.
    static CTimeStamp FromFileTime(std::uint64_t fileTime);

    std::uint64_t AsFileTime() const { return m_fileTime; }

    // "YYYY-MM-DD hh:mm:ss" in the machine's local time zone; empty when the moment lies
    // outside what the system can convert.
    std::string AsLocalDateTimeString() const;

    friend bool operator==(CTimeStamp a, CTimeStamp b) { return a.m_fileTime == b.m_fileTime; }
    friend bool operator!=(CTimeStamp a, CTimeStamp b) { return a.m_fileTime != b.m_fileTime; }
    friend bool operator<(CTimeStamp a, CTimeStamp b) { return a.m_fileTime < b.m_fileTime; }
    friend bool operator<=(CTimeStamp a, CTimeStamp b) { return a.m_fileTime <= b.m_fileTime; }
    friend bool operator>(CTimeStamp a, CTimeStamp b) { return a.m_fileTime > b.m_fileTime; }
    friend bool operator>=(CTimeStamp a, CTimeStamp b) { return a.m_fileTime >= b.m_fileTime; }

    // How long after `earlier` this moment lies (negative when it lies before).
    friend CTimeInterval operator-(CTimeStamp later, CTimeStamp earlier);

private:
    explicit CTimeStamp(std::uint64_t fileTime) : m_fileTime(fileTime) {}

    std::uint64_t m_fileTime = 0;
};
