#pragma once

// Identifiers derived by hashing.
//
// CGuidFactory makes salted identifiers (get_guid) and unsalted ones (get_guid_nosalt),
// rendered as 64 uppercase hexadecimal digits, low nibble of each byte first. The salt is
// 15 random bytes drawn on the factory's first get_guid and kept for its life, so one
// factory gives the same identifier for the same arguments and two factories give
// different ones. A factory owns its hasher; copies are deep (a hasher of their own, the
// same salt). One thread at a time per factory.
//
// get_guid feeds the hasher in this order, which every stored identifier depends on and
// which therefore never changes:
//   1. a kind byte, 'N' for the name form or 'I' for the number form;
//   2. the name as a 4-byte little-endian length and its bytes, or the number as 4 bytes
//      little-endian (two's complement);
//   3. the unsigned int, 4 bytes little-endian;
//   4. the 64-bit number, 8 bytes little-endian;
//   5. the text as a 4-byte little-endian length and its bytes;
//   6. the 15 salt bytes.
// The lengths keep ("ab", "c") and ("a", "bc") apart.
//
// The free functions make unsalted, reproducible identifiers: the MD5 digest of some
// bytes as 32 lowercase hexadecimal digits. Each call uses a hasher of its own, so they
// may be called from any thread. They are exported under plain (unmangled) names; the
// std::string* they take is just a pointer at that boundary, which is why a C++ caller
// of the same toolchain is the only kind that can use them.
//
// Failures throw KyException: a null output, a salt that cannot be drawn, a hasher that
// fails.

#include <cstdint>
#include <memory>
#include <string>

class KycSHA256;

class CGuidFactory {
public:
    static constexpr int kSaltSize = 15;

    CGuidFactory();
    CGuidFactory(const CGuidFactory& other);
    CGuidFactory& operator=(const CGuidFactory& other);
    ~CGuidFactory();

    std::string get_guid(const std::string& name, unsigned int number, uint64_t value,
                         const std::string& text);
    std::string get_guid(int id, unsigned int number, uint64_t value, const std::string& text);
    // SHA-256 of the text's bytes.
    std::string get_guid_nosalt(const std::string& text);

private:
    // 15 fresh random bytes into `salt`; false when the generator fails.
    bool generate_salt();
    // Each byte as the digit of its low nibble, then of its high nibble, uppercase.
    static std::string hexstring(const unsigned char* data, int len);

    // Draws the salt once, feeds the kind byte; throws when no salt can be had.
    void begin(unsigned char kind);
    // Feeds the common tail and renders the digest.
    std::string finishGuid(unsigned int number, uint64_t value, const std::string& text);

    std::unique_ptr<KycSHA256> hasher;
    unsigned char salt[kSaltSize] = {};
    bool haveSalt = false;
};

extern "C" {

// MD5 of `len` bytes at `data` (null with len 0 is empty), into *out as lowercase hex.
void GetGUID(const void* data, int len, std::string* out);

// The identifier of an object name whose parts are joined by `separator`: trailing
// separators are dropped first, so "a\b\" and "a\b" name the same object.
void GetObjectGuid(const char* name, char separator, std::string* out);
// The same, with the ASCII letters upper-cased first, so the identifier does not depend on
// letter case nor on the process's locale.
void GetObjectGuidFixLocale(const char* name, char separator, std::string* out);

// The identifier of "<product>_<component>_<major>_<minor>_<build>_<revision>" (a null
// text counts as empty).
void GetVersionGuid(const char* product, const char* component, long long major, long long minor,
                    long long build, unsigned long long revision, std::string* out);
// The identifier of "<first>_<second>".
void GetVersionGuid2(int64_t first, int64_t second, std::string* out);

}  // extern "C"
