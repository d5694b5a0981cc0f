#include "kylib/crypto/KycCipher.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

#include "kylib/crypto/Kyc.h"
#include "kylib/crypto/Kycl.h"
#include "kylib/crypto/SecureString.h"
#include "kylib/diagnostics/KyException.h"

namespace kyc_detail {

// One algorithm's entry points, as the addresses of the binding's pointers: the pointers
// are filled by Kycl::init, after these tables are built.
struct CipherEntries {
    const char* name;  // in messages: "AES"
    int blockSize;
    const char* ctorTag;  // "KycAES"
    const char* setKeyTag;
    const char* encBlockTag;
    const char* decBlockTag;
    const char* encBlocksTag;
    const char* decBlocksTag;
    decltype(Kycl::aes_init)* init;
    decltype(Kycl::aes_destroy)* destroy;
    decltype(Kycl::aes_set_key)* setKey;
    decltype(Kycl::aes_ecb_encrypt)* ecbEncrypt;
    decltype(Kycl::aes_ecb_decrypt)* ecbDecrypt;
    decltype(Kycl::aes_cbc_encrypt)* cbcEncrypt;
    decltype(Kycl::aes_cbc_decrypt)* cbcDecrypt;
    decltype(Kycl::aes_ecb_encrypt_blocks)* ecbEncryptBlocks;  // optional entries
    decltype(Kycl::aes_ecb_decrypt_blocks)* ecbDecryptBlocks;
};

}  // namespace kyc_detail

namespace {

using kyc_detail::CipherEntries;

// The size of the error text buffer every context-creating entry is given. The tables
// below are constant-initialised, so any static object may build a cipher.
constexpr int kModuleErrorTextSize = 1024;

#define KYC_CIPHER_ENTRIES(CLASS, NAME, BLOCK, X)                                            \
    CipherEntries {                                                                          \
        NAME, BLOCK, #CLASS, #CLASS "::setKey", #CLASS "::encBlock", #CLASS "::decBlock",    \
            #CLASS "::encBlocks", #CLASS "::decBlocks", &Kycl::X##_init, &Kycl::X##_destroy, \
            &Kycl::X##_set_key, &Kycl::X##_ecb_encrypt, &Kycl::X##_ecb_decrypt,              \
            &Kycl::X##_cbc_encrypt, &Kycl::X##_cbc_decrypt, &Kycl::X##_ecb_encrypt_blocks,   \
            &Kycl::X##_ecb_decrypt_blocks                                                    \
    }

constexpr CipherEntries kBlowfish = KYC_CIPHER_ENTRIES(KycBlowfish, "Blowfish", 8, blowfish);
constexpr CipherEntries kAES = KYC_CIPHER_ENTRIES(KycAES, "AES", 16, aes);
constexpr CipherEntries kSerpent = KYC_CIPHER_ENTRIES(KycSerpent, "Serpent", 16, serpent);
constexpr CipherEntries kTwofish = KYC_CIPHER_ENTRIES(KycTwofish, "Twofish", 16, twofish);
constexpr CipherEntries k3DES = KYC_CIPHER_ENTRIES(Kyc3DES, "3DES", 8, des3);
constexpr CipherEntries kDES = KYC_CIPHER_ENTRIES(KycDES, "DES", 8, des);
constexpr CipherEntries kGOST = KYC_CIPHER_ENTRIES(KycGOST, "GOST", 8, gost);

#undef KYC_CIPHER_ENTRIES

[[noreturn]] void fail(const char* tag, const std::string& message) {
    KY_THROW(tag, message);
}

std::string text(const char* prefix, const char* name, const char* suffix) {
    std::string s(prefix);
    s += name;
    s += suffix;
    return s;
}

}  // namespace

// ---- KycModuleCipher ---------------------------------------------------------------------

KycModuleCipher::KycModuleCipher(const CipherEntries& e, int type) : entries(e) {
    Kycl::init();
    cipherType = type;
    char errorText[kModuleErrorTextSize] = {};
    handle = (*entries.init)(nullptr, errorText, kModuleErrorTextSize);
    if (handle == nullptr) {
        errorText[kModuleErrorTextSize - 1] = '\0';
        fail(entries.ctorTag,
             text("Failed to instantiate ", entries.name, " cipher: ") + errorText);
    }
    setBlockSize(entries.blockSize);
}

KycModuleCipher::~KycModuleCipher() {
    // The module stays bound once a context exists, also after Kycl::destroy (a static
    // cipher ends after it), and its contexts stay valid until destroyed here.
    if (handle != nullptr && *entries.destroy != nullptr)
        (*entries.destroy)(handle);
}

const char* KycModuleCipher::moduleError() const {
    const char* reason = Kycl::get_last_error != nullptr ? Kycl::get_last_error(handle) : nullptr;
    return reason != nullptr ? reason : "unknown error";
}

void KycModuleCipher::setKey(const void* key, int length) {
    const std::string prefix = text("Failed to set ", entries.name, " key: ");
    // Checked here so that the module never reads through a pointer it was not given.
    if (length < 0)
        fail(entries.setKeyTag, prefix + "negative key length " + std::to_string(length) + ".");
    if (key == nullptr && length > 0)
        fail(entries.setKeyTag, prefix + "NULL key pointer.");
    if ((*entries.setKey)(handle, key, length) != 0)
        fail(entries.setKeyTag, prefix + moduleError());
    markKeySet();
}

void KycModuleCipher::encBlock(const void* in, void* out) {
    if (in == nullptr || out == nullptr)
        fail(entries.encBlockTag,
             text("Failed to encrypt one block using ", entries.name, ": NULL buffer pointer."));
    if ((*entries.ecbEncrypt)(handle, in, out) != 0)
        fail(entries.encBlockTag,
             text("Failed to encrypt one block using ", entries.name, ": ") + moduleError());
}

void KycModuleCipher::decBlock(const void* in, void* out) {
    if (in == nullptr || out == nullptr)
        fail(entries.decBlockTag,
             text("Failed to decrypt one block using ", entries.name, ": NULL buffer pointer."));
    if ((*entries.ecbDecrypt)(handle, in, out) != 0)
        fail(entries.decBlockTag,
             text("Failed to decrypt one block using ", entries.name, ": ") + moduleError());
}

void KycModuleCipher::encBlocks(const unsigned char* in, unsigned char* out, int len) {
    if (*entries.ecbEncryptBlocks == nullptr) {
        KycBlockCipher::encBlocks(in, out, len);
        return;
    }
    if ((*entries.ecbEncryptBlocks)(handle, in, len, out) != 0)
        fail(entries.encBlocksTag,
             text("Failed to encrypt blocks using ", entries.name, ": ") + moduleError());
}

void KycModuleCipher::decBlocks(const unsigned char* in, unsigned char* out, int len) {
    if (*entries.ecbDecryptBlocks == nullptr) {
        KycBlockCipher::decBlocks(in, out, len);
        return;
    }
    if ((*entries.ecbDecryptBlocks)(handle, in, len, out) != 0)
        fail(entries.decBlocksTag,
             text("Failed to decrypt blocks using ", entries.name, ": ") + moduleError());
}

void KycModuleCipher::encCBCBlocks(const unsigned char* in, unsigned char* out, int len,
                                   unsigned char* chain) {
    if ((*entries.cbcEncrypt)(handle, in, len, out, chain) != 0)
        fail(entries.encBlocksTag,
             text("Failed to perform CBC encryption using ", entries.name, ": ") + moduleError());
}

void KycModuleCipher::decCBCBlocks(const unsigned char* in, unsigned char* out, int len,
                                   unsigned char* chain) {
    if ((*entries.cbcDecrypt)(handle, in, len, out, chain) != 0)
        fail(entries.decBlocksTag,
             text("Failed to perform CBC decryption using ", entries.name, ": ") + moduleError());
}

// ---- The seven classes ----------------------------------------------------------------------

KycBlowfish::KycBlowfish() : KycModuleCipher(kBlowfish, Kyc::Blowfish) {}
KycAES::KycAES() : KycModuleCipher(kAES, Kyc::AES) {}
KycSerpent::KycSerpent() : KycModuleCipher(kSerpent, Kyc::Serpent) {}
KycTwofish::KycTwofish() : KycModuleCipher(kTwofish, Kyc::Twofish) {}
Kyc3DES::Kyc3DES() : KycModuleCipher(k3DES, Kyc::TripleDES) {}
KycDES::KycDES() : KycModuleCipher(kDES, Kyc::DES) {}
KycGOST::KycGOST() : KycModuleCipher(kGOST, Kyc::GOST) {}

void KycSerpent::encBlock(const void* in, void* out) {
    KycModuleCipher::encBlock(in, out);
}
void KycSerpent::decBlock(const void* in, void* out) {
    KycModuleCipher::decBlock(in, out);
}
void KycTwofish::encBlock(const void* in, void* out) {
    KycModuleCipher::encBlock(in, out);
}
void KycTwofish::decBlock(const void* in, void* out) {
    KycModuleCipher::decBlock(in, out);
}

// ---- KycDES ---------------------------------------------------------------------------------

bool KycDES::isKeyWeak(const void* key, int length) {
    if (length < 0 || (key == nullptr && length > 0))
        fail("KycDES::isKeyWeak", "Cannot check the key: invalid key pointer or length.");
    return Kycl::des_is_key_weak(getHandle(), key, length) != 0;
}

bool KycDES::isKeyWeak(const KycBucket& key) {
    return isKeyWeak(key.getData(), key.getSize());
}

// ---- KycBlowfish: the module's whole-buffer CBC -----------------------------------------

namespace {
constexpr int kBlowfishBlock = 8;
}  // namespace

int KycBlowfish::encCBC61(const void* in, void* out, int len) {
    constexpr const char* tag = "KycBlowfish::encCBC61";
    if (!isKeySet())
        fail(tag, "Cannot encrypt data: They key must be preset.");
    if (getIV().getSize() == 0)
        fail(tag, "Cannot encrypt data: They IV must be preset.");
    if (in == nullptr || len == 0)
        return 0;
    if (len < 0)
        fail(tag, "Cannot encrypt data: negative data length " + std::to_string(len) + ".");
    // The padded length must still be an int.
    if (len > INT_MAX - kBlowfishBlock)
        fail(tag, "Cannot encrypt data: data too long.");
    if (out == nullptr)
        fail(tag, "Cannot encrypt data: NULL output buffer pointer.");

    const auto* src = static_cast<const unsigned char*>(in);
    auto* dst = static_cast<unsigned char*>(out);
    unsigned char chain[kBlowfishBlock];
    std::memcpy(chain, getIV().getData(), kBlowfishBlock);
    const int full = len - len % kBlowfishBlock;
    const int tail = len - full;
    if (full > 0 && Kycl::blowfish_cbc_encrypt(getHandle(), src, full, dst, chain) != 0) {
        ky::secureWipe(chain, sizeof chain);
        fail(tag, std::string("Failed to perform CBC encryption using Blowfish: ") + moduleError());
    }
    if (tail > 0) {
        unsigned char last[kBlowfishBlock] = {};
        std::memcpy(last, src + full, tail);
        const int rc =
            Kycl::blowfish_cbc_encrypt(getHandle(), last, kBlowfishBlock, dst + full, chain);
        ky::secureWipe(last, sizeof last);
        if (rc != 0) {
            ky::secureWipe(chain, sizeof chain);
            fail(tag,
                 std::string("Failed to perform CBC encryption using Blowfish: ") + moduleError());
        }
    }
    setIV(chain, kBlowfishBlock);
    ky::secureWipe(chain, sizeof chain);
    return full + (tail > 0 ? kBlowfishBlock : 0);
}

int KycBlowfish::decCBC61(const void* in, void* out, int len) {
    constexpr const char* tag = "KycBlowfish::decCBC61";
    if (!isKeySet())
        fail(tag, "Cannot decrypt data: They key must be preset.");
    if (getIV().getSize() == 0)
        fail(tag, "Cannot decrypt data: They IV must be preset.");
    if (in == nullptr || len == 0)
        return 0;
    if (len < 0 || len % kBlowfishBlock != 0)
        fail(tag, "Cannot decrypt data: Encrypted data must be provided in 8-byte blocks.");
    if (out == nullptr)
        fail(tag, "Cannot decrypt data: NULL output buffer pointer.");

    unsigned char chain[kBlowfishBlock];
    std::memcpy(chain, getIV().getData(), kBlowfishBlock);
    const int rc = Kycl::blowfish_cbc_decrypt(getHandle(), in, len, out, chain);
    if (rc != 0) {
        ky::secureWipe(chain, sizeof chain);
        fail(tag, std::string("Failed to perform CBC decryption using Blowfish: ") + moduleError());
    }
    setIV(chain, kBlowfishBlock);
    ky::secureWipe(chain, sizeof chain);
    return len;
}

KycBucket KycBlowfish::encCBC61(const KycBucket& in) {
    const int len = in.getSize();
    const int64_t padded =
        (static_cast<int64_t>(len) + kBlowfishBlock - 1) / kBlowfishBlock * kBlowfishBlock;
    KycBucket out(padded > INT_MAX ? 0 : static_cast<int>(padded));
    out.resize(encCBC61(in.getData(), out.getData(), len));
    return out;
}

KycBucket KycBlowfish::decCBC61(const KycBucket& in) {
    KycBucket out(in.getSize());
    out.resize(decCBC61(in.getData(), out.getData(), in.getSize()));
    return out;
}

// ---- Kyc::createCipher ----------------------------------------------------------------------

KycBlockCipher* Kyc::createCipher(CIPHER type) {
    KycBlockCipher* cipher = nullptr;
    switch (type) {
        case OldBlowfish:
        case Blowfish:
            cipher = new KycBlowfish();
            break;
        case AES:
            cipher = new KycAES();
            break;
        case Serpent:
            cipher = new KycSerpent();
            break;
        case Twofish:
            cipher = new KycTwofish();
            break;
        case TripleDES:
            cipher = new Kyc3DES();
            break;
        case GOST:
            cipher = new KycGOST();
            break;
        case DES:
        default:
            return nullptr;
    }
    cipher->overrideCipherType(type);
    return cipher;
}
