// Shared by the crypto module's tests: hex conversion, a fixture that initialises the
// module, and a table of the block ciphers' entry points so that one test covers all.
#ifndef TESTS_KYCL_KYCLTESTSUPPORT_H
#define TESTS_KYCL_KYCLTESTSUPPORT_H

#include <gtest/gtest.h>

#include <cctype>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "kycl/kycl.h"

namespace kycl_test {

using Bytes = std::vector<unsigned char>;

inline Bytes hex(const std::string& text) {
    Bytes out;
    std::string digits;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            digits += c;
        }
    }
    for (size_t i = 0; i + 1 < digits.size(); i += 2) {
        out.push_back(static_cast<unsigned char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

inline std::string toHex(const void* data, size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    const auto* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < n; ++i) {
        s += kDigits[p[i] >> 4];
        s += kDigits[p[i] & 15];
    }
    return s;
}

inline std::string toHex(const Bytes& b) {
    return toHex(b.data(), b.size());
}

inline Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// Every test starts from an initialised module (kycl_init is idempotent).
class KyclTest : public ::testing::Test {
protected:
    void SetUp() override {
        char error[1024] = {};
        ASSERT_EQ(kycl_init(nullptr, error, sizeof(error)), 0) << error;
    }
};

// One block cipher's entry points.
struct CipherApi {
    const char* name;
    int blockSize;
    int keyLen;  // a length the cipher takes
    kycl_ctx* (*init)(int*, char*, int);
    void (*destroy)(kycl_ctx*);
    int (*setKey)(kycl_ctx*, const void*, int);
    int (*ecbEncrypt)(kycl_ctx*, const void*, void*);
    int (*ecbDecrypt)(kycl_ctx*, const void*, void*);
    int (*cbcEncrypt)(kycl_ctx*, const void*, int, void*, void*);
    int (*cbcDecrypt)(kycl_ctx*, const void*, int, void*, void*);
    int (*ecbEncryptBlocks)(kycl_ctx*, const void*, int, void*);
    int (*ecbDecryptBlocks)(kycl_ctx*, const void*, int, void*);
};

#define KYCL_TEST_CIPHER_API(X, BLOCK, KEYLEN)                                                   \
    CipherApi {                                                                                  \
#X, BLOCK, KEYLEN, kycl_##X##_init, kycl_##X##_destroy, kycl_##X##_set_key,              \
            kycl_##X##_ecb_encrypt, kycl_##X##_ecb_decrypt, kycl_##X##_cbc_encrypt,              \
            kycl_##X##_cbc_decrypt, kycl_##X##_ecb_encrypt_blocks, kycl_##X##_ecb_decrypt_blocks \
    }

// Names a parameter in gtest's failure messages instead of dumping its bytes.
inline void PrintTo(const CipherApi& api, std::ostream* os) {
    *os << api.name;
}

inline const std::vector<CipherApi>& allCiphers() {
    static const std::vector<CipherApi> ciphers = {
        KYCL_TEST_CIPHER_API(blowfish, 8, 16), KYCL_TEST_CIPHER_API(twofish, 16, 32),
        KYCL_TEST_CIPHER_API(serpent, 16, 32), KYCL_TEST_CIPHER_API(aes, 16, 16),
        KYCL_TEST_CIPHER_API(des, 8, 8),       KYCL_TEST_CIPHER_API(3des, 8, 24),
        KYCL_TEST_CIPHER_API(gost, 8, 32)};
    return ciphers;
}

inline const CipherApi& cipher(const std::string& name) {
    for (const auto& c : allCiphers()) {
        if (name == c.name) {
            return c;
        }
    }
    throw std::invalid_argument("no cipher " + name);
}

// A context that is destroyed with the test.
class CipherCtx {
public:
    explicit CipherCtx(const CipherApi& api) : api_(api) {
        char error[1024] = {};
        ctx_ = api.init(nullptr, error, sizeof(error));
        EXPECT_NE(ctx_, nullptr) << api.name << ": " << error;
    }
    ~CipherCtx() { api_.destroy(ctx_); }
    CipherCtx(const CipherCtx&) = delete;
    CipherCtx& operator=(const CipherCtx&) = delete;

    kycl_ctx* get() const { return ctx_; }
    int setKey(const Bytes& key) { return api_.setKey(ctx_, key.data(), int(key.size())); }
    Bytes ecb(const Bytes& in, bool encrypt) {
        Bytes out(in.size());
        for (size_t i = 0; i < in.size(); i += size_t(api_.blockSize)) {
            int rc = encrypt ? api_.ecbEncrypt(ctx_, &in[i], &out[i])
                             : api_.ecbDecrypt(ctx_, &in[i], &out[i]);
            EXPECT_EQ(rc, 0) << kycl_get_last_error(ctx_);
        }
        return out;
    }
    Bytes cbc(const Bytes& in, Bytes& iv, bool encrypt) {
        Bytes out(in.size());
        int rc = encrypt ? api_.cbcEncrypt(ctx_, in.data(), int(in.size()), out.data(), iv.data())
                         : api_.cbcDecrypt(ctx_, in.data(), int(in.size()), out.data(), iv.data());
        EXPECT_EQ(rc, 0) << kycl_get_last_error(ctx_);
        return out;
    }

private:
    const CipherApi& api_;
    kycl_ctx* ctx_ = nullptr;
};

}  // namespace kycl_test

#endif  // TESTS_KYCL_KYCLTESTSUPPORT_H
