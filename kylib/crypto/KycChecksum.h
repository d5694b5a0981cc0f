#pragma once

// CRC-32, CRC-32C and the rolling weak checksum. The running value stays in the caller's
// variable: none of these applies an initial value or a final inversion (the standard
// CRC values start from 0xFFFFFFFF and invert the result). Pure functions, safe from any
// thread. The fastest form the processor supports is chosen once, at first use; every
// form gives the same results for every length and alignment.
//
// A null `data` with a non-zero length, or a null `crc`, is a caller's mistake: the
// register is left unchanged instead of crashing the process.

#include <cstddef>

// Reflected CRC-32 (polynomial 0xEDB88320) and CRC-32C (Castagnoli, 0x82F63B78).
extern "C" void ky_crc32(const void* data, unsigned int len, unsigned int* crc);
extern "C" void ky_crc32c(const void* data, unsigned int len, unsigned int* crc);

namespace ky::checksum {
// The forms behind ky_crc32/ky_crc32c, exposed so that tests and benchmarks can compare
// them. A form the processor lacks is not called (check the has* queries first); `data`
// must be valid for `len` bytes. Each returns the register after `data`.
unsigned int crc32Table(unsigned int crc, const unsigned char* data, std::size_t len);
unsigned int crc32Clmul(unsigned int crc, const unsigned char* data, std::size_t len);
unsigned int crc32cTable(unsigned int crc, const unsigned char* data, std::size_t len);
unsigned int crc32cSse42(unsigned int crc, const unsigned char* data, std::size_t len);
bool hasClmul();
bool hasSse42();
}  // namespace ky::checksum
