#pragma once

// Kyc: the static utilities of the crypto subsystem. Each group is implemented beside
// the classes it serves: the cipher table, hex and random bytes in Kyc.cpp, the record
// formats in KycTagData.cpp, the one-call digests in KycHash.cpp and the checksums in
// KycChecksum.cpp.

#include <string>

#include "kylib/crypto/KycBucket.h"
#include "kylib/crypto/SecureString.h"
#include "kylib/diagnostics/KyException.h"

class KycBlockCipher;
class KycBlowfish;

class Kyc {
public:
    enum CIPHER {
        OldBlowfish = 1,
        Blowfish = 2,
        AES = 3,
        Serpent = 4,
        Twofish = 5,
        TripleDES = 6,
        DES = 7,
        GOST = 8,
    };

    // A wrong key or pass phrase, found by a check value.
    class WrongKey : public KyException {
    public:
        WrongKey(const char* func, const char* message, const char* file, int line);
    };

    // ---- Ciphers, hex, random bytes -----------------------------------------------------
    // A new cipher owned by the caller, reporting `type`; null for 7 and unknown numbers.
    static KycBlockCipher* createCipher(CIPHER type);
    static const char* getCipherName(CIPHER type);

    static std::string bin2hex(const void* data, int len);
    static std::string bin2hex(const KycBucket& data);
    static secure_string bin2hex_s(const void* data, int len);
    static secure_string bin2hex_s(const KycBucket& data);
    static KycBucket hex2bin(const char* hex);

    // The process-wide FIPS generator; seedRand adds entropy, it never makes the output
    // predictable.
    static void getRand(void* buffer, int len);
    static KycBucket getRand(int len);
    static void seedRand(const void* data, int len);

    // ---- Record formats ---------------------------------------------------------------------
    // The CRC32 record (Blowfish): encryption returns the record length (out holds len
    // rounded up to 8, plus 8, or len + 16 in the trailer layout); decryption returns the
    // data length (out holds len - 8). 0 for a null input or len 0.
    static int encryptTagData(const void* in, void* out, int len, KycBlowfish& cipher);
    static int decryptTagData(const void* in, void* out, int len, KycBlowfish& cipher);
    // The tag-data format: out has len bytes; crc receives 4 bytes and iv 8 (read back by
    // decryption).
    static int encryptTagData(const void* in, void* out, int len, void* crc, void* iv,
                              KycBlockCipher* cipher);
    static int decryptTagData(const void* in, void* out, int len, const void* crc,
                              const void* iv, KycBlockCipher* cipher);

    // ---- Digests ------------------------------------------------------------------------------
    static KycBucket md5(const void* data, int len);
    static KycBucket md5(const KycBucket& data);
    static KycBucket sha1(const void* data, int len);
    static KycBucket sha1(const KycBucket& data);
    static KycBucket sha256(const void* data, int len);
    static KycBucket sha256(const KycBucket& data);
    static KycBucket sha512(const void* data, int len);
    static KycBucket sha512(const KycBucket& data);

    // ---- Checksums (the caller keeps the running value; no initial value or inversion) --
    static void crc32(const void* data, int len, unsigned int* crc);
    static unsigned int rsyncUpdate(unsigned int sum, const void* data, int len);
    static unsigned int rsync(const void* data, int len);
    static unsigned int rsyncRoll(unsigned int sum, int len, unsigned char out,
                                  unsigned char in);
};

// Throws Kyc::WrongKey with the place it was thrown from.
#define KYC_THROW_WRONG_KEY(func, message) throw Kyc::WrongKey((func), (message), __FILE__, __LINE__)
