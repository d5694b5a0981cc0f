// The text helpers beside what a user would write instead: version parsing beside a
// std::from_chars split, and the number renderings beside fmt::format with the same
// unit steps. Both sides build their result the same way (a std::string, or a filled
// buffer for KyDuration), so the figures compare the formatting itself.
#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>

#include "kylib/text/KyTextUtil.h"

namespace {

const std::string kVersion = "11.24.08";

void BM_Version_GetAllInfoFromVersionStr(benchmark::State& state) {
    KyStdVersion v;
    for (auto _ : state) {
        bool ok = GetAllInfoFromVersionStr(kVersion, v);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(v);
    }
}
BENCHMARK(BM_Version_GetAllInfoFromVersionStr);

void BM_Version_FromCharsSplit(benchmark::State& state) {
    for (auto _ : state) {
        int fields[3] = {-1, -1, -1};
        const char* p = kVersion.data();
        const char* end = p + kVersion.size();
        int n = 0;
        while (p < end && n < 3) {
            auto r = std::from_chars(p, end, fields[n]);
            if (r.ec != std::errc())
                break;
            ++n;
            p = r.ptr < end && *r.ptr == '.' ? r.ptr + 1 : r.ptr;
        }
        benchmark::DoNotOptimize(fields);
    }
}
BENCHMARK(BM_Version_FromCharsSplit);

void BM_VersionString_FormatKyStdVersionString(benchmark::State& state) {
    KyStdVersion v;
    GetAllInfoFromVersionStr(kVersion, v);
    for (auto _ : state)
        benchmark::DoNotOptimize(FormatKyStdVersionString(v));
}
BENCHMARK(BM_VersionString_FormatKyStdVersionString);

void BM_VersionString_Fmt(benchmark::State& state) {
    KyStdVersion v;
    GetAllInfoFromVersionStr(kVersion, v);
    for (auto _ : state)
        benchmark::DoNotOptimize(fmt::format("{}.{}.{}", v.majorVersion, v.servicePack, v.update));
}
BENCHMARK(BM_VersionString_Fmt);

constexpr std::uint64_t kBytes = 5ULL * 1024 * 1024 * 1024 / 2;

void BM_Bytes_FormatBytes(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(FormatBytes(kBytes));
}
BENCHMARK(BM_Bytes_FormatBytes);

void BM_Bytes_Fmt(benchmark::State& state) {
    static const char* const units[] = {"B", "KB", "MB", "GB", "TB", "PB"};
    for (auto _ : state) {
        double value = static_cast<double>(kBytes);
        size_t unit = 0;
        while (value >= 1024.0 && unit + 1 < 6) {
            value /= 1024.0;
            ++unit;
        }
        benchmark::DoNotOptimize(fmt::format("{:.2f} {}", value, units[unit]));
    }
}
BENCHMARK(BM_Bytes_Fmt);

constexpr double kSeconds = 0.0015;

void BM_Time_FormatTime(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(FormatTime(kSeconds));
}
BENCHMARK(BM_Time_FormatTime);

void BM_Time_Fmt(benchmark::State& state) {
    static const char* const units[] = {"s", "ms", "us", "ns"};
    for (auto _ : state) {
        double value = kSeconds;
        size_t unit = 0;
        while (std::fabs(value) < 1.0 && unit + 1 < 4) {
            value *= 1000.0;
            ++unit;
        }
        benchmark::DoNotOptimize(fmt::format("{:.2f} {}", value, units[unit]));
    }
}
BENCHMARK(BM_Time_Fmt);

constexpr __int64 kDuration = 3725;

void BM_Duration_KyDuration(benchmark::State& state) {
    char buf[32];
    for (auto _ : state) {
        benchmark::DoNotOptimize(KyDuration(kDuration, buf));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Duration_KyDuration);

void BM_Duration_Fmt(benchmark::State& state) {
    char buf[32];
    for (auto _ : state) {
        auto end = fmt::format_to_n(buf, sizeof(buf) - 1, "{:6}:{:02}:{:02}", kDuration / 3600,
                                    kDuration % 3600 / 60, kDuration % 60);
        *end.out = '\0';
        benchmark::DoNotOptimize(buf);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Duration_Fmt);

}  // namespace
