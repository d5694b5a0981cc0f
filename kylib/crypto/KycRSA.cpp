#include "kylib/crypto/KycRSA.h"

#include <climits>
#include <cstdint>
#include <new>
#include <string>

#include "kylib/crypto/Kycl.h"
#include "kylib/diagnostics/KyException.h"

namespace {

constexpr int kModuleErrorTextSize = 512;
// What PKCS #1 v1.5 encryption padding takes out of every block.
constexpr int kPkcs1Overhead = 11;
// Most keys fit this; a larger one is asked for again at the size the module reports.
constexpr int kInitialKeyBufferSize = 1024;
// A module that keeps asking for more is broken; never loop on it.
constexpr int kMaxKeyFetchAttempts = 4;

const char* reasonOf(kycl_ctx* handle) {
    const char* reason = Kycl::get_last_error != nullptr ? Kycl::get_last_error(handle) : nullptr;
    return reason != nullptr ? reason : "unknown error";
}

}  // namespace

KycRSA::KycRSA() {
    Kycl::init();
    char errorText[kModuleErrorTextSize] = {};
    handle = Kycl::rsa_init(nullptr, errorText, kModuleErrorTextSize);
    if (handle == nullptr) {
        errorText[kModuleErrorTextSize - 1] = '\0';
        KY_THROW("KycRSA", std::string("Failed to instantiate RSA cipher: ") + errorText);
    }
}

KycRSA::~KycRSA() {
    // The module stays bound once a context exists, also after Kycl::destroy (a static
    // object ends after it), and its contexts stay valid until destroyed here.
    if (handle != nullptr && Kycl::rsa_destroy != nullptr)
        Kycl::rsa_destroy(handle);
}

const char* KycRSA::moduleError() const {
    return reasonOf(handle);
}

void KycRSA::enablePadding(bool enable) {
    if (Kycl::rsa_enable_padding(handle, enable ? 1 : 0) != 0)
        KY_THROW("KycRSA::enablePadding",
                 std::string("Failed to toggle padding in RSA cipher: ") + moduleError());
    padding = enable;
}

int KycRSA::getModSize() const {
    int size = 0;
    if (Kycl::rsa_get_mod_size(handle, &size) != 0)
        KY_THROW("KycRSA::getModSize",
                 std::string("Failed to retrieve modulus size from RSA cipher: ") + moduleError());
    if (size <= (padding ? kPkcs1Overhead : 0))
        KY_THROW("KycRSA::getModSize",
                 "Failed to retrieve modulus size from RSA cipher: implausible size " +
                     std::to_string(size) + ".");
    return size;
}

void KycRSA::genKeyPair(int bits) {
    if (Kycl::rsa_gen_key_pair(handle, bits) != 0)
        KY_THROW("KycRSA::genKeyPair",
                 std::string("Failed to generate RSA key pair: ") + moduleError());
}

void KycRSA::genKeyPair(int bits, KycBucket& pub, KycBucket& pri, bool der) {
    KycRSA rsa;
    rsa.genKeyPair(bits);
    // Both or neither: the caller's buckets change only once both keys are in hand.
    KycBucket newPub = rsa.getPubKey(der);
    KycBucket newPri = rsa.getPriKey(der);
    pub = newPub;
    pri = newPri;
}

namespace {

using KeyGetter = int (*)(kycl_ctx*, void*, int*);

KycBucket fetchKey(kycl_ctx* handle, KeyGetter get, const char* tag, const char* failText,
                   const char* memoryText) {
    int size = kInitialKeyBufferSize;
    for (int attempt = 0; attempt < kMaxKeyFetchAttempts; ++attempt) {
        KycBucket buffer;
        try {
            buffer.resize(size);
        } catch (const std::bad_alloc&) {
            KY_THROW(tag, memoryText);
        } catch (const KyException&) {
            KY_THROW(tag, memoryText);
        }
        int len = size;
        if (get(handle, buffer.getData(), &len) == 0) {
            // The module reports what it wrote; anything outside the buffer is its fault,
            // and must not become a read past our bytes.
            if (len < 0 || len > size)
                KY_THROW(tag, std::string(failText) + "invalid key length reported.");
            buffer.resize(len);
            return buffer;
        }
        const bool tooSmall =
            Kycl::get_last_errno != nullptr && Kycl::get_last_errno(handle) == KYCL_ERR_BUFFER;
        if (!tooSmall || len <= size)
            KY_THROW(tag, std::string(failText) + reasonOf(handle));
        size = len;
    }
    KY_THROW(tag, std::string(failText) + "the key size keeps changing.");
}

}  // namespace

KycBucket KycRSA::getPriKey(bool der) const {
    return fetchKey(handle, der ? Kycl::rsa_get_pri_key_der : Kycl::rsa_get_pri_key,
                    "KycRSA::getPriKey", "Failed to retrieve RSA private key from RSA cipher: ",
                    "Failed to allocate memory for private key.");
}

KycBucket KycRSA::getPubKey(bool der) const {
    return fetchKey(handle, der ? Kycl::rsa_get_pub_key_der : Kycl::rsa_get_pub_key,
                    "KycRSA::getPubKey", "Failed to retrieve RSA public key from RSA cipher: ",
                    "Failed to allocate memory for public key.");
}

void KycRSA::setPriKey(const void* key, int len, bool der) {
    const int rc =
        der ? Kycl::rsa_set_pri_key_der(handle, key, len) : Kycl::rsa_set_pri_key(handle, key, len);
    if (rc != 0)
        KY_THROW("KycRSA::setPriKey",
                 std::string("Failed to set RSA private key: ") + moduleError());
}

void KycRSA::setPriKey(const KycBucket& key, bool der) {
    setPriKey(key.getData(), key.getSize(), der);
}

void KycRSA::setPubKey(const void* key, int len, bool der) {
    const int rc =
        der ? Kycl::rsa_set_pub_key_der(handle, key, len) : Kycl::rsa_set_pub_key(handle, key, len);
    if (rc != 0)
        KY_THROW("KycRSA::setPubKey",
                 std::string("Failed to set RSA public key: ") + moduleError());
}

void KycRSA::setPubKey(const KycBucket& key, bool der) {
    setPubKey(key.getData(), key.getSize(), der);
}

void KycRSA::setPriKeyPEM(const char* pem, const char* passPhrase) {
    if (Kycl::rsa_set_pri_key_pem(handle, pem, passPhrase) != 0)
        KY_THROW("KycRSA::setPriKeyPEM",
                 std::string("Failed to set RSA private key: ") + moduleError());
}

void KycRSA::setPubKeyPEM(const char* pem) {
    if (Kycl::rsa_set_pub_key_pem(handle, pem) != 0)
        KY_THROW("KycRSA::setPubKeyPEM",
                 std::string("Failed to set RSA public key: ") + moduleError());
}

int KycRSA::getEncBufSize(int len) const {
    if (len < 0)
        KY_THROW("KycRSA::getEncBufSize",
                 "Cannot size RSA output: negative data length " + std::to_string(len) + ".");
    if (len == 0)
        return 0;
    const int m = getModSize();
    const int piece = padding ? m - kPkcs1Overhead : m;
    const int64_t size = (static_cast<int64_t>(len - 1) / piece + 1) * m;
    if (size > INT_MAX)
        KY_THROW("KycRSA::getEncBufSize",
                 "Cannot size RSA output: data length " + std::to_string(len) + " is too large.");
    return static_cast<int>(size);
}

int KycRSA::encrypt(const void* in, void* out, int len) {
    if (len < 0 || (len > 0 && (in == nullptr || out == nullptr)))
        KY_THROW("KycRSA::encrypt",
                 "Failed to encrypt one data block with RSA: invalid arguments.");
    if (len == 0)
        return 0;
    const int m = getModSize();
    const int piece = padding ? m - kPkcs1Overhead : m;
    const auto* src = static_cast<const unsigned char*>(in);
    auto* dst = static_cast<unsigned char*>(out);
    int total = 0;
    for (int done = 0; done < len; done += piece) {
        const int n = len - done < piece ? len - done : piece;
        int outLen = m;
        if (Kycl::rsa_encrypt(handle, src + done, n, dst + total, &outLen) != 0)
            KY_THROW("KycRSA::encrypt",
                     std::string("Failed to encrypt one data block with RSA: ") + moduleError());
        if (outLen < 0 || outLen > m)
            KY_THROW("KycRSA::encrypt",
                     "Failed to encrypt one data block with RSA: invalid output length.");
        total += outLen;
    }
    return total;
}

KycBucket KycRSA::encrypt(const KycBucket& in) {
    KycBucket out(getEncBufSize(in.getSize()));
    out.resize(encrypt(in.getData(), out.getData(), in.getSize()));
    return out;
}

int KycRSA::decrypt(const void* in, void* out, int len) {
    if (len < 0 || (len > 0 && (in == nullptr || out == nullptr)))
        KY_THROW("KycRSA::decrypt",
                 "Failed to decrypt one data block with RSA: invalid arguments.");
    if (len == 0)
        return 0;
    const int m = getModSize();
    if (len % m != 0)
        KY_THROW("KycRSA::decrypt",
                 "Cannot decrypt RSA ciphertext: data length is not multiple of the modulus.");
    const auto* src = static_cast<const unsigned char*>(in);
    auto* dst = static_cast<unsigned char*>(out);
    int total = 0;
    for (int done = 0; done < len; done += m) {
        // Every earlier block gave at most m bytes, so at least m bytes of room remain.
        int outLen = len - total;
        if (Kycl::rsa_decrypt(handle, src + done, m, dst + total, &outLen) != 0)
            KY_THROW("KycRSA::decrypt",
                     std::string("Failed to decrypt one data block with RSA: ") + moduleError());
        if (outLen < 0 || outLen > m)
            KY_THROW("KycRSA::decrypt",
                     "Failed to decrypt one data block with RSA: invalid output length.");
        total += outLen;
    }
    return total;
}

KycBucket KycRSA::decrypt(const KycBucket& in) {
    KycBucket out(in.getSize());
    out.resize(decrypt(in.getData(), out.getData(), in.getSize()));
    return out;
}

int KycRSA::sign(const void* data, int len, void* sig, int sigLen) {
    if (Kycl::rsa_sign(handle, data, len, sig, sigLen) != 0)
        KY_THROW("KycRSA::sign", moduleError());
    return getModSize();
}

KycBucket KycRSA::sign(const void* data, int len) {
    KycBucket sig(getModSize());
    sign(data, len, sig.getData(), sig.getSize());
    return sig;
}

KycBucket KycRSA::sign(const KycBucket& data) {
    return sign(data.getData(), data.getSize());
}

bool KycRSA::verify(const void* data, int len, const void* sig, int sigLen) {
    return Kycl::rsa_verify(handle, data, len, sig, sigLen) == 0;
}

bool KycRSA::verify(const KycBucket& data, const KycBucket& sig) {
    return verify(data.getData(), data.getSize(), sig.getData(), sig.getSize());
}
