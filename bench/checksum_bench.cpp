// The checksums beside what a user would reach for instead: CRC-32 beside zlib's crc32,
// and CRC-32C's three interleaved instruction streams beside the plain one-stream loop
// over the same instruction. The portable table forms run too, for the machines that
// lack the instructions. Sizes: a small record, a page, a large block.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "kylib/crypto/KycChecksum.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

constexpr std::size_t kLargest = 1 << 20;

// Random bytes, as many as the largest size.
const unsigned char* input() {
    static const std::vector<unsigned char> bytes = [] {
        std::vector<unsigned char> v(kLargest);
        std::mt19937 gen(5);
        for (auto& b : v)
            b = static_cast<unsigned char>(gen());
        return v;
    }();
    return bytes.data();
}

template <typename Crc>
void run(benchmark::State& state, Crc crc) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const unsigned char* data = input();
    unsigned int value = 0xFFFFFFFFu;
    for (auto _ : state) {
        value = crc(value, data, size);
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(size));
}

void sizes(benchmark::internal::Benchmark* b) {
    b->Arg(64)->Arg(4 << 10)->Arg(kLargest);
}

// ---- CRC-32 ---------------------------------------------------------------------------------

void BM_KyCrc32(benchmark::State& state) {
    run(state, [](unsigned int crc, const unsigned char* p, std::size_t n) {
        ky_crc32(p, static_cast<unsigned int>(n), &crc);
        return crc;
    });
}
BENCHMARK(BM_KyCrc32)->Apply(sizes);

void BM_ZlibCrc32(benchmark::State& state) {
    run(state, [](unsigned int crc, const unsigned char* p, std::size_t n) {
        return static_cast<unsigned int>(::crc32(crc, p, static_cast<uInt>(n)));
    });
}
BENCHMARK(BM_ZlibCrc32)->Apply(sizes);

void BM_KyCrc32Table(benchmark::State& state) {
    run(state, ky::checksum::crc32Table);
}
BENCHMARK(BM_KyCrc32Table)->Apply(sizes);

// ---- CRC-32C --------------------------------------------------------------------------------

void BM_KyCrc32c(benchmark::State& state) {
    run(state, [](unsigned int crc, const unsigned char* p, std::size_t n) {
        ky_crc32c(p, static_cast<unsigned int>(n), &crc);
        return crc;
    });
}
BENCHMARK(BM_KyCrc32c)->Apply(sizes);

#if defined(__x86_64__)
// What most hand-written code does: one dependency chain through the instruction.
__attribute__((target("sse4.2"))) unsigned int singleStream(unsigned int crc,
                                                            const unsigned char* p, std::size_t n) {
    std::uint64_t c = crc;
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, sizeof word);
        c = _mm_crc32_u64(c, word);
    }
    crc = static_cast<unsigned int>(c);
    for (; n != 0; ++p, --n)
        crc = _mm_crc32_u8(crc, *p);
    return crc;
}

void BM_Sse42SingleStreamCrc32c(benchmark::State& state) {
    if (!ky::checksum::hasSse42()) {
        state.SkipWithError("no SSE4.2");
        return;
    }
    run(state, singleStream);
}
BENCHMARK(BM_Sse42SingleStreamCrc32c)->Apply(sizes);
#endif

void BM_KyCrc32cTable(benchmark::State& state) {
    run(state, ky::checksum::crc32cTable);
}
BENCHMARK(BM_KyCrc32cTable)->Apply(sizes);

}  // namespace
