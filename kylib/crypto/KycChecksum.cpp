#include "kylib/crypto/KycChecksum.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "kylib/crypto/Kyc.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define KY_CHECKSUM_X86 1
#else
#define KY_CHECKSUM_X86 0
#endif

namespace {

constexpr std::uint32_t kCrc32Poly = 0xEDB88320u;   // reflected 0x04C11DB7
constexpr std::uint32_t kCrc32cPoly = 0x82F63B78u;  // reflected 0x1EDC6F41

// ---- GF(2) polynomial arithmetic modulo a CRC polynomial --------------------------------
// A 32-bit register holds a polynomial of degree < 32 with x^k in bit 31 - k, the same
// bit order the reflected CRC register uses. Multiplying by x is then one step of the
// bitwise CRC, so every constant below comes from the polynomial alone and none has to be
// copied from anywhere.

constexpr std::uint32_t timesX(std::uint32_t a, std::uint32_t poly) {
    return (a & 1u) ? (a >> 1) ^ poly : a >> 1;
}

constexpr std::uint32_t multModP(std::uint32_t a, std::uint32_t b, std::uint32_t poly) {
    std::uint32_t product = 0;
    for (int k = 0; k < 32; ++k) {
        if (a & (0x80000000u >> k))
            product ^= b;
        b = timesX(b, poly);
    }
    return product;
}

// x^n mod P.
constexpr std::uint32_t xPowModP(std::uint64_t n, std::uint32_t poly) {
    std::uint32_t result = 0x80000000u;  // x^0
    std::uint32_t square = 0x40000000u;  // x^1, x^2, x^4, ...
    for (; n != 0; n >>= 1) {
        if (n & 1u)
            result = multModP(square, result, poly);
        square = multModP(square, square, poly);
    }
    return result;
}

// ---- Byte tables (slicing by 8) -----------------------------------------------------------

using SliceTables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr SliceTables makeSliceTables(std::uint32_t poly) {
    SliceTables t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit)
            c = timesX(c, poly);
        t[0][i] = c;
    }
    for (int k = 1; k < 8; ++k)
        for (int i = 0; i < 256; ++i)
            t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    return t;
}

constexpr SliceTables kCrc32Tables = makeSliceTables(kCrc32Poly);
constexpr SliceTables kCrc32cTables = makeSliceTables(kCrc32cPoly);
static_assert(kCrc32Tables[0][1] == 0x77073096u, "CRC-32 table entry 1");
static_assert(kCrc32cTables[0][1] == 0xF26B8303u, "CRC-32C table entry 1");

[[maybe_unused]] std::uint64_t load64(const unsigned char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

std::uint32_t sliceBy8(const SliceTables& t, std::uint32_t crc, const unsigned char* p,
                       std::size_t len) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    for (; len >= 8; p += 8, len -= 8) {
        const std::uint64_t w = load64(p) ^ crc;
        crc = t[7][w & 0xFF] ^ t[6][(w >> 8) & 0xFF] ^ t[5][(w >> 16) & 0xFF] ^
              t[4][(w >> 24) & 0xFF] ^ t[3][(w >> 32) & 0xFF] ^ t[2][(w >> 40) & 0xFF] ^
              t[1][(w >> 48) & 0xFF] ^ t[0][w >> 56];
    }
#endif
    for (; len != 0; ++p, --len)
        crc = (crc >> 8) ^ t[0][(crc ^ *p) & 0xFF];
    return crc;
}

#if KY_CHECKSUM_X86

// ---- CRC-32C: three interleaved crc32 instruction streams -----------------------------------
// The instruction has a latency of three cycles and a throughput of one, so one stream
// leaves two thirds of the unit idle. Three independent streams over adjacent stretches
// keep it busy; their registers are then joined with the linearity of the CRC:
//   crc(c, A B) = shift(crc(c, A), |B|) xor crc(0, B),   shift(c, n) = c * x^(8n) mod P.
// The shift by a fixed stretch is a linear map of 32 bits, held as four byte tables.

// Long stretches make the join negligible; short ones let medium buffers use all three
// streams too.
constexpr std::size_t kLongStretch = 8192;
constexpr std::size_t kShortStretch = 256;

struct ShiftTables {
    std::uint32_t byByte[4][256];
};

constexpr ShiftTables makeShiftTables(std::uint32_t poly, std::size_t bytes) {
    ShiftTables s{};
    const std::uint32_t factor = xPowModP(8 * static_cast<std::uint64_t>(bytes), poly);
    for (int j = 0; j < 4; ++j)
        for (std::uint32_t b = 0; b < 256; ++b)
            s.byByte[j][b] = multModP(factor, b << (8 * j), poly);
    return s;
}

constexpr ShiftTables kShiftLong = makeShiftTables(kCrc32cPoly, kLongStretch);
constexpr ShiftTables kShiftShort = makeShiftTables(kCrc32cPoly, kShortStretch);

std::uint32_t shift(const ShiftTables& s, std::uint32_t c) {
    return s.byByte[0][c & 0xFF] ^ s.byByte[1][(c >> 8) & 0xFF] ^ s.byByte[2][(c >> 16) & 0xFF] ^
           s.byByte[3][c >> 24];
}

__attribute__((target("sse4.2"))) std::uint32_t threeStreams(std::uint32_t crc,
                                                             const unsigned char* p,
                                                             std::size_t stretch,
                                                             const ShiftTables& join) {
    std::uint64_t a = crc, b = 0, c = 0;
    const unsigned char* pb = p + stretch;
    const unsigned char* pc = p + 2 * stretch;
    for (std::size_t i = 0; i < stretch; i += 8) {
        a = _mm_crc32_u64(a, load64(p + i));
        b = _mm_crc32_u64(b, load64(pb + i));
        c = _mm_crc32_u64(c, load64(pc + i));
    }
    const std::uint32_t ab =
        shift(join, static_cast<std::uint32_t>(a)) ^ static_cast<std::uint32_t>(b);
    return shift(join, ab) ^ static_cast<std::uint32_t>(c);
}

__attribute__((target("sse4.2"))) std::uint32_t crc32cHardware(std::uint32_t crc,
                                                               const unsigned char* p,
                                                               std::size_t len) {
    for (; len >= 3 * kLongStretch; p += 3 * kLongStretch, len -= 3 * kLongStretch)
        crc = threeStreams(crc, p, kLongStretch, kShiftLong);
    for (; len >= 3 * kShortStretch; p += 3 * kShortStretch, len -= 3 * kShortStretch)
        crc = threeStreams(crc, p, kShortStretch, kShiftShort);
    std::uint64_t c = crc;
    for (; len >= 8; p += 8, len -= 8)
        c = _mm_crc32_u64(c, load64(p));
    crc = static_cast<std::uint32_t>(c);
    for (; len != 0; ++p, --len)
        crc = _mm_crc32_u8(crc, *p);
    return crc;
}

// ---- CRC-32: carry-less multiplication folding -----------------------------------------------
// A 16-byte block loaded into a vector register holds a polynomial of degree < 128 with
// x^(127 - i) in bit i: the stream's first bit is its highest power. A 64-bit half holds
// x^(63 - j) in bit j, and a 32-bit remainder r stored as (r << 32) is such a half.
// Multiplying two halves gives the product times x in block order (bit k of the result is
// x^(126 - k)), which every constant below absorbs by taking one power less.
//
// Folding block S onto block D that ends d bits later keeps the CRC: the new D is
//   D + S.lo * (x^(64 + d) mod P) + S.hi * (x^d mod P),
// a polynomial of degree < 128 again. Four blocks in flight hide the multiplier's latency.

constexpr std::uint64_t foldConstant(unsigned power) {
    return static_cast<std::uint64_t>(xPowModP(power, kCrc32Poly)) << 32;
}

constexpr std::uint64_t kFold512Lo = foldConstant(512 + 63);
constexpr std::uint64_t kFold512Hi = foldConstant(512 - 1);
constexpr std::uint64_t kFold128Lo = foldConstant(128 + 63);
constexpr std::uint64_t kFold128Hi = foldConstant(128 - 1);
constexpr std::uint64_t kReduce96 = foldConstant(96 - 1);
constexpr std::uint64_t kReduce64 = foldConstant(64 - 1);

// The Barrett pair, 33 bits each with x^k in bit 32 - k: P itself and
// mu = floor(x^64 / P).
constexpr std::uint64_t kPoly33 = (static_cast<std::uint64_t>(kCrc32Poly) << 1) | 1u;

constexpr std::uint64_t reverseBits(std::uint64_t v, int width) {
    std::uint64_t r = 0;
    for (int i = 0; i < width; ++i)
        if (v & (std::uint64_t{1} << i))
            r |= std::uint64_t{1} << (width - 1 - i);
    return r;
}

constexpr std::uint64_t barrettMu() {
    // Long division of x^64 by P in natural order (x^k in bit k).
    const std::uint64_t p = reverseBits(kPoly33, 33);                // x^32 + ...
    std::uint64_t remainder = (p ^ (std::uint64_t{1} << 32)) << 32;  // x^64 - x^32 * P
    std::uint64_t quotient = std::uint64_t{1} << 32;
    for (int degree = 63; degree >= 32; --degree) {
        if (remainder & (std::uint64_t{1} << degree)) {
            remainder ^= p << (degree - 32);
            quotient |= std::uint64_t{1} << (degree - 32);
        }
    }
    return reverseBits(quotient, 33);
}
constexpr std::uint64_t kMu33 = barrettMu();

__attribute__((target("sse4.2,pclmul"))) __m128i fold(__m128i from, __m128i onto,
                                                      __m128i constants) {
    const __m128i lo = _mm_clmulepi64_si128(from, constants, 0x00);
    const __m128i hi = _mm_clmulepi64_si128(from, constants, 0x11);
    return _mm_xor_si128(onto, _mm_xor_si128(lo, hi));
}

__attribute__((target("sse4.2,pclmul"))) __m128i load128(const unsigned char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// The CRC register of a block: block * x^32 mod P, in register bit order.
__attribute__((target("sse4.2,pclmul"))) std::uint32_t reduce(__m128i block) {
    // block * x^32 = lo * x^96 + hi * x^32: the first term folds to degree < 96, the second
    // is the high half moved down four bytes.
    const __m128i c96 = _mm_set_epi64x(0, static_cast<long long>(kReduce96));
    const __m128i y = _mm_xor_si128(_mm_clmulepi64_si128(block, c96, 0x00),
                                    _mm_slli_si128(_mm_srli_si128(block, 8), 4));
    // Degree < 96 to degree < 64: the top 32 powers, now in the low half, fold by x^64.
    const __m128i c64 = _mm_set_epi64x(0, static_cast<long long>(kReduce64));
    const __m128i z128 = _mm_xor_si128(_mm_clmulepi64_si128(y, c64, 0x00), y);
    const std::uint64_t z = static_cast<std::uint64_t>(_mm_extract_epi64(z128, 1));

    // Barrett: q = floor(z / x^32 * mu / x^32), remainder = (z + q * P) mod x^32.
    const __m128i zHigh = _mm_set_epi64x(0, static_cast<long long>(z << 32));
    const __m128i mu = _mm_set_epi64x(0, static_cast<long long>(kMu33));
    const __m128i q = _mm_clmulepi64_si128(zHigh, mu, 0x00);  // q in bits 32..63
    const __m128i poly = _mm_set_epi64x(0, static_cast<long long>(kPoly33));
    const __m128i qp = _mm_clmulepi64_si128(q, poly, 0x00);  // low powers in bits 64..95
    const std::uint64_t qpLow = static_cast<std::uint64_t>(_mm_extract_epi64(qp, 1));
    return static_cast<std::uint32_t>(z >> 32) ^ static_cast<std::uint32_t>(qpLow);
}

// Below this the set-up and reduction cost more than the table.
constexpr std::size_t kClmulMinimum = 64;

__attribute__((target("sse4.2,pclmul"))) std::uint32_t crc32Folding(std::uint32_t crc,
                                                                    const unsigned char* p,
                                                                    std::size_t len) {
    if (len < kClmulMinimum)
        return sliceBy8(kCrc32Tables, crc, p, len);

    const __m128i by512 =
        _mm_set_epi64x(static_cast<long long>(kFold512Hi), static_cast<long long>(kFold512Lo));
    const __m128i by128 =
        _mm_set_epi64x(static_cast<long long>(kFold128Hi), static_cast<long long>(kFold128Lo));

    // The incoming register enters as the first four message bytes xor-ed with it.
    __m128i x0 = _mm_xor_si128(load128(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x1 = load128(p + 16);
    __m128i x2 = load128(p + 32);
    __m128i x3 = load128(p + 48);
    p += 64;
    len -= 64;
    for (; len >= 64; p += 64, len -= 64) {
        x0 = fold(x0, load128(p), by512);
        x1 = fold(x1, load128(p + 16), by512);
        x2 = fold(x2, load128(p + 32), by512);
        x3 = fold(x3, load128(p + 48), by512);
    }
    __m128i x = fold(x0, x1, by128);
    x = fold(x, x2, by128);
    x = fold(x, x3, by128);
    for (; len >= 16; p += 16, len -= 16)
        x = fold(x, load128(p), by128);

    return sliceBy8(kCrc32Tables, reduce(x), p, len);
}

bool probeSse42() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse4.2");
}

bool probeClmul() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse4.2") && __builtin_cpu_supports("pclmul");
}

#endif  // KY_CHECKSUM_X86

using Form = unsigned int (*)(unsigned int, const unsigned char*, std::size_t);

// Chosen once; the choice is a pure function of the processor, so threads racing on the
// first call would all pick the same form anyway.
Form crc32Form() {
    static const Form form =
        ky::checksum::hasClmul() ? ky::checksum::crc32Clmul : ky::checksum::crc32Table;
    return form;
}

Form crc32cForm() {
    static const Form form =
        ky::checksum::hasSse42() ? ky::checksum::crc32cSse42 : ky::checksum::crc32cTable;
    return form;
}

}  // namespace

namespace ky::checksum {

unsigned int crc32Table(unsigned int crc, const unsigned char* data, std::size_t len) {
    return sliceBy8(kCrc32Tables, crc, data, len);
}

unsigned int crc32cTable(unsigned int crc, const unsigned char* data, std::size_t len) {
    return sliceBy8(kCrc32cTables, crc, data, len);
}

#if KY_CHECKSUM_X86

unsigned int crc32Clmul(unsigned int crc, const unsigned char* data, std::size_t len) {
    return crc32Folding(crc, data, len);
}

unsigned int crc32cSse42(unsigned int crc, const unsigned char* data, std::size_t len) {
    return crc32cHardware(crc, data, len);
}

bool hasClmul() {
    static const bool has = probeClmul();
    return has;
}

bool hasSse42() {
    static const bool has = probeSse42();
    return has;
}

#else

// Without the instructions the accelerated names still compute the right value.
unsigned int crc32Clmul(unsigned int crc, const unsigned char* data, std::size_t len) {
    return crc32Table(crc, data, len);
}

unsigned int crc32cSse42(unsigned int crc, const unsigned char* data, std::size_t len) {
    return crc32cTable(crc, data, len);
}

bool hasClmul() {
    return false;
}

bool hasSse42() {
    return false;
}

#endif

}  // namespace ky::checksum

// A null buffer with a non-zero length is a caller's mistake; the register is left as it
// was rather than crashing the process that holds it.
extern "C" void ky_crc32(const void* data, unsigned int len, unsigned int* crc) {
    if (crc == nullptr || data == nullptr || len == 0)
        return;
    *crc = crc32Form()(*crc, static_cast<const unsigned char*>(data), len);
}

extern "C" void ky_crc32c(const void* data, unsigned int len, unsigned int* crc) {
    if (crc == nullptr || data == nullptr || len == 0)
        return;
    *crc = crc32cForm()(*crc, static_cast<const unsigned char*>(data), len);
}

void Kyc::crc32(const void* data, int len, unsigned int* crc) {
    if (len <= 0)
        return;
    ky_crc32(data, static_cast<unsigned int>(len), crc);
}

// The two halves are kept modulo 2^32 in the loop and cut to 16 bits once at the end:
// 65536 divides 2^32, so the result is the same as reducing after every byte.
unsigned int Kyc::rsyncUpdate(unsigned int sum, const void* data, int len) {
    if (len < 1 || data == nullptr)
        return sum;
    const auto* p = static_cast<const unsigned char*>(data);
    std::uint32_t a = sum & 0xFFFFu;
    std::uint32_t b = sum >> 16;
    for (int i = 0; i < len; ++i) {
        a += p[i];
        b += a;
    }
    return ((b & 0xFFFFu) << 16) | (a & 0xFFFFu);
}

unsigned int Kyc::rsync(const void* data, int len) {
    return rsyncUpdate(0, data, len);
}

// len * out is taken modulo 2^32 in unsigned arithmetic: as a signed product it overflows
// for windows past 8 MiB, and only its value modulo 65536 matters.
unsigned int Kyc::rsyncRoll(unsigned int sum, int len, unsigned char out, unsigned char in) {
    const std::uint32_t a = ((sum & 0xFFFFu) - out + in) & 0xFFFFu;
    const std::uint32_t b = ((sum >> 16) - static_cast<std::uint32_t>(len) * out + a) & 0xFFFFu;
    return (b << 16) | a;
}
