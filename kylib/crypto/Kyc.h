#pragma once

// Kyc: the static utilities of the crypto subsystem. Each group is implemented beside
// the classes it serves: the cipher table, hex and random bytes in Kyc.cpp, the record
// formats in KycTagData.cpp, the one-call digests in KycHash.cpp and the checksums in
// KycChecksum.cpp.

#include <cstdio>
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
    static int decryptTagData(const void* in, void* out, int len, const void* crc, const void* iv,
                              KycBlockCipher* cipher);

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
    static unsigned int rsyncRoll(unsigned int sum, int len, unsigned char out, unsigned char in);

    // ---- Scrambling (KycScrambler.cpp): a fresh scrambler and one call; empty in, empty out.
    static KycBucket scrambleToBin(const void* data, int len);
    static KycBucket scrambleToBin(const KycBucket& data);
    static std::string scrambleToHex(const void* data, int len);
    static std::string scrambleToHex(const KycBucket& data);
    static KycBucket descrambleFromBin(const void* data, int len);
    static KycBucket descrambleFromBin(const KycBucket& data);
    static KycBucket descrambleFromHex(const char* hex);

    // ---- Key wrapping, sealed keys, key files, pass phrases, transit (KycKeys.cpp) ------
    // Wrapped keys start with their method: 0 scrambled, 1 wrapped under the built-in AES
    // key with 8 random bytes added (so equal keys wrap differently). Unwrapping an empty
    // bucket gives an empty bucket; the text forms take hexadecimal.
    static KycBucket wrapKey(const KycBucket& key, bool scramble);
    static std::string wrapKeyToHex(const KycBucket& key, bool scramble);
    static KycBucket unWrapKey(const KycBucket& wrapped);
    static KycBucket unWrapKey(const std::string& wrappedHex);
    static KycBucket unWrapKey(const char* wrappedHex);

    // A data key with its check value, RSA-encrypted (padding on) under a public key.
    // Every block that does not open to a data key (wrong key, damaged or forged block,
    // bad padding or length) throws the same WrongKey with the same text; only a private
    // key that the module refuses throws a KyException of its own.
    static KycBucket encryptDataKey(const KycBucket& dataKey, const KycBucket& pubKey, bool der);
    static KycBucket decryptDataKey(const KycBucket& sealed, const KycBucket& priKey, bool der);

    static void generateRSAPair(int bits, KycBucket& pub, KycBucket& pri, bool der);

    // The key-pair file: version 0, then each key scrambled behind a 2-byte big-endian
    // length. Saving makes the file readable by its owner only; loading changes the
    // buckets only when the whole file is sound.
    static void saveRSAKeys(FILE* file, const KycBucket& pubKey, const KycBucket& priKey);
    static void loadRSAKeys(FILE* file, KycBucket& pubKey, KycBucket& priKey);

    // A private key in the CRC32 record under MD5(pass phrase); a null or empty pass phrase
    // means the built-in default. A wrong pass phrase throws WrongKey.
    static KycBucket encryptRSAPriKey(const KycBucket& priKey, const char* passPhrase);
    static KycBucket decryptRSAPriKey(const KycBucket& protectedKey, const char* passPhrase);
    static bool validatePassPhrase(const KycBucket& protectedKey, const char* passPhrase);

    // Data for the network under a shared password (required); a wrong one throws WrongKey.
    static KycBucket netEncrypt(const KycBucket& data, const char* password);
    static KycBucket netDecrypt(const KycBucket& data, const char* password);

    // An exported pass phrase: version 0, the caller's identifier (4 bytes, big-endian),
    // then the scrambled pass phrase hidden at a random place in random bytes. Malformed
    // data throws KyException; null output pointers are skipped.
    static KycBucket exportPassPhrase(int id, const char* passPhrase);
    static void exportPassPhrase(FILE* file, int id, const char* passPhrase);
    static void importPassPhrase(const KycBucket& data, int* id, std::string* passPhrase);
    static void importPassPhrase(FILE* file, int* id, std::string* passPhrase);
    // Looks through the regular files of `directory` (created when missing) in name order
    // for an exported pass phrase with identifier `id`; files that are not one are
    // skipped. Returns false when none matches.
    static bool importPassPhrase(const char* directory, int id, std::string* passPhrase,
                                 std::string* filePath);
};

// Throws Kyc::WrongKey with the place it was thrown from.
#define KYC_THROW_WRONG_KEY(func, message) \
    throw Kyc::WrongKey((func), (message), __FILE__, __LINE__)
