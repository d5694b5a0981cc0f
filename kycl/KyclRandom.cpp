// The two generators: the Mersenne Twister (MT19937), reproducible from its seed, and the
// FIPS generator, a CTR-DRBG over AES-256 seeded from the system's entropy.
#include "kycl/KyclInternal.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/params.h>

#include <cstring>

using namespace kycl_impl;

namespace {

// ---- Twister ---------------------------------------------------------------------------

// MT19937 exactly as its authors' reference code (init_genrand, init_by_array,
// genrand_int32), so that a seed gives the sequence every other implementation gives.
class Mt19937 {
public:
    Mt19937() { initGenrand(kDefaultSeed); }
    ~Mt19937() { wipe(mt_, sizeof(mt_)); }

    void initGenrand(uint32_t s) {
        mt_[0] = s;
        for (mti_ = 1; mti_ < kN; ++mti_) {
            mt_[mti_] =
                1812433253u * (mt_[mti_ - 1] ^ (mt_[mti_ - 1] >> 30)) + static_cast<uint32_t>(mti_);
        }
    }

    // The reference's init_by_array over the seed bytes read as little-endian words, a
    // trailing partial word zero-padded. Words are formed as they are needed, so that a
    // large seed costs no copy.
    void initByArray(const unsigned char* bytes, int len) {
        const int keyLength = len / 4 + (len % 4 != 0 ? 1 : 0);
        auto key = [bytes, len](int j) {
            uint32_t w = 0;
            for (int b = 0; b < 4 && 4 * j + b < len; ++b) {
                w |= static_cast<uint32_t>(bytes[4 * j + b]) << (8 * b);
            }
            return w;
        };
        initGenrand(19650218u);
        int i = 1;
        int j = 0;
        for (int k = kN > keyLength ? kN : keyLength; k > 0; --k) {
            mt_[i] = (mt_[i] ^ ((mt_[i - 1] ^ (mt_[i - 1] >> 30)) * 1664525u)) + key(j) +
                     static_cast<uint32_t>(j);
            ++i;
            ++j;
            if (i >= kN) {
                mt_[0] = mt_[kN - 1];
                i = 1;
            }
            if (j >= keyLength) {
                j = 0;
            }
        }
        for (int k = kN - 1; k > 0; --k) {
            mt_[i] = (mt_[i] ^ ((mt_[i - 1] ^ (mt_[i - 1] >> 30)) * 1566083941u)) -
                     static_cast<uint32_t>(i);
            ++i;
            if (i >= kN) {
                mt_[0] = mt_[kN - 1];
                i = 1;
            }
        }
        mt_[0] = 0x80000000u;  // MSB is 1, assuring a non-zero initial array
    }

    uint32_t next() {
        static const uint32_t kMag01[2] = {0u, kMatrixA};
        if (mti_ >= kN) {
            int kk = 0;
            for (; kk < kN - kM; ++kk) {
                uint32_t y = (mt_[kk] & kUpperMask) | (mt_[kk + 1] & kLowerMask);
                mt_[kk] = mt_[kk + kM] ^ (y >> 1) ^ kMag01[y & 1u];
            }
            for (; kk < kN - 1; ++kk) {
                uint32_t y = (mt_[kk] & kUpperMask) | (mt_[kk + 1] & kLowerMask);
                mt_[kk] = mt_[kk + (kM - kN)] ^ (y >> 1) ^ kMag01[y & 1u];
            }
            uint32_t y = (mt_[kN - 1] & kUpperMask) | (mt_[0] & kLowerMask);
            mt_[kN - 1] = mt_[kM - 1] ^ (y >> 1) ^ kMag01[y & 1u];
            mti_ = 0;
        }
        uint32_t y = mt_[mti_++];
        y ^= (y >> 11);
        y ^= (y << 7) & 0x9d2c5680u;
        y ^= (y << 15) & 0xefc60000u;
        y ^= (y >> 18);
        return y;
    }

private:
    static const int kN = 624;
    static const int kM = 397;
    static const uint32_t kMatrixA = 0x9908b0dfu;
    static const uint32_t kUpperMask = 0x80000000u;
    static const uint32_t kLowerMask = 0x7fffffffu;
    // What the reference falls back to when output is asked for before any seed.
    static const uint32_t kDefaultSeed = 5489u;

    uint32_t mt_[kN];
    int mti_ = kN + 1;
};

struct TwisterCtx : kycl_ctx {
    TwisterCtx() : kycl_ctx(Kind::Twister) {}
    Mt19937 mt;
};

void storeLe32(unsigned char* p, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) {
        p[i] = static_cast<unsigned char>(v >> (8 * i));
    }
}

// ---- FIPS generator --------------------------------------------------------------------

// What one generate call may ask of a CTR-DRBG (its max_request); bigger requests are
// split.
const size_t kDrbgChunk = 1u << 16;
const unsigned int kDrbgStrength = 256;

struct FrandCtx : kycl_ctx {
    FrandCtx() : kycl_ctx(Kind::Frand) {}
    ~FrandCtx() override { EVP_RAND_CTX_free(drbg); }  // the backend wipes its state
    EVP_RAND_CTX* drbg = nullptr;
};

}  // namespace

extern "C" {

KYCL_API kycl_ctx* kycl_twister_init(int* status, char* errorText, int errorTextSize) {
    if (beginContext(status, errorText, errorTextSize, "Twister") == nullptr) {
        return nullptr;
    }
    auto* ctx = new (std::nothrow) TwisterCtx;
    if (ctx == nullptr) {
        return contextFailed(status, errorText, errorTextSize, KYCL_ERR_MEMORY,
                             "Cannot create Twister context: out of memory.");
    }
    return contextCreated(status, ctx);
}

KYCL_API void kycl_twister_destroy(kycl_ctx* ctx) {
    if (ctx != nullptr && ctx->kind == kycl_ctx::Kind::Twister) {
        delete static_cast<TwisterCtx*>(ctx);
    }
}

KYCL_API int kycl_twister_seed(kycl_ctx* handle, const void* data, int len) {
    auto* ctx = contextOf<TwisterCtx>(handle, kycl_ctx::Kind::Twister);
    if (ctx == nullptr) {
        return KYCL_ERR_ARGUMENT;
    }
    // The reference array seeding reads at least one word: an empty seed has none.
    if (data == nullptr || len <= 0) {
        return fail(ctx, KYCL_ERR_ARGUMENT, "Null or empty Twister seed.");
    }
    ctx->mt.initByArray(static_cast<const unsigned char*>(data), len);
    return succeed(ctx);
}

KYCL_API int kycl_twister_get(kycl_ctx* handle, void* out, int len) {
    auto* ctx = contextOf<TwisterCtx>(handle, kycl_ctx::Kind::Twister);
    if (ctx == nullptr) {
        return KYCL_ERR_ARGUMENT;
    }
    if (len < 0 || (out == nullptr && len > 0)) {
        return fail(ctx, KYCL_ERR_ARGUMENT, "Null output buffer or negative length.");
    }
    // Each output word goes out little-endian; a trailing partial word takes the low bytes
    // of the next output (and the rest of that output is dropped).
    auto* p = static_cast<unsigned char*>(out);
    for (int done = 0; done < len; done += 4) {
        storeLe32(p + done, ctx->mt.next(), len - done < 4 ? len - done : 4);
    }
    return succeed(ctx);
}

KYCL_API kycl_ctx* kycl_frand_init(int* status, char* errorText, int errorTextSize) {
    const Backends* b = beginContext(status, errorText, errorTextSize, "FIPS generator");
    if (b == nullptr) {
        return nullptr;
    }
    auto* ctx = new (std::nothrow) FrandCtx;
    if (ctx == nullptr) {
        return contextFailed(status, errorText, errorTextSize, KYCL_ERR_MEMORY,
                             "Cannot create FIPS generator context: out of memory.");
    }
    // No parent: the DRBG draws its entropy from the operating system's seed source.
    ctx->drbg = EVP_RAND_CTX_new(b->ctrDrbg, nullptr);
    char cipherName[] = "AES-256-CTR";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_DRBG_PARAM_CIPHER, cipherName, 0),
                           OSSL_PARAM_construct_end()};
    // A personalisation string keeps two instances apart even if the system's entropy
    // were ever to repeat.
    const void* self = ctx;
    bool ok = ctx->drbg != nullptr && EVP_RAND_CTX_set_params(ctx->drbg, params) == 1 &&
              EVP_RAND_instantiate(ctx->drbg, kDrbgStrength, 0,
                                   reinterpret_cast<const unsigned char*>(&self), sizeof(self),
                                   nullptr) == 1;
    if (!ok) {
        std::string text = "Cannot instantiate the CTR-DRBG";
        unsigned long e = ERR_get_error();
        if (e != 0) {
            char line[256];
            ERR_error_string_n(e, line, sizeof(line));
            text += std::string(": ") + line;
        }
        ERR_clear_error();
        delete ctx;
        return contextFailed(status, errorText, errorTextSize, KYCL_ERR_CRYPTO, text + ".");
    }
    return contextCreated(status, ctx);
}

KYCL_API void kycl_frand_destroy(kycl_ctx* ctx) {
    if (ctx != nullptr && ctx->kind == kycl_ctx::Kind::Frand) {
        delete static_cast<FrandCtx*>(ctx);
    }
}

KYCL_API int kycl_frand_reseed(kycl_ctx* handle, const void* data, int len) {
    auto* ctx = contextOf<FrandCtx>(handle, kycl_ctx::Kind::Frand);
    if (ctx == nullptr) {
        return KYCL_ERR_ARGUMENT;
    }
    if (len < 0 || (data == nullptr && len > 0)) {
        return fail(ctx, KYCL_ERR_ARGUMENT, "Null data or negative length.");
    }
    // Fresh entropy comes from the system; the caller's bytes are only additional input,
    // so a known or repeated seed cannot make the output predictable.
    if (EVP_RAND_reseed(ctx->drbg, 0, nullptr, 0, static_cast<const unsigned char*>(data),
                        static_cast<size_t>(len)) != 1) {
        return failOpenSsl(ctx, KYCL_ERR_CRYPTO, "CTR-DRBG reseed failed");
    }
    return succeed(ctx);
}

KYCL_API int kycl_frand_get(kycl_ctx* handle, void* out, int len) {
    auto* ctx = contextOf<FrandCtx>(handle, kycl_ctx::Kind::Frand);
    if (ctx == nullptr) {
        return KYCL_ERR_ARGUMENT;
    }
    if (len < 0 || (out == nullptr && len > 0)) {
        return fail(ctx, KYCL_ERR_ARGUMENT, "Null output buffer or negative length.");
    }
    auto* p = static_cast<unsigned char*>(out);
    size_t left = static_cast<size_t>(len);
    while (left > 0) {
        size_t n = left < kDrbgChunk ? left : kDrbgChunk;
        if (EVP_RAND_generate(ctx->drbg, p, n, kDrbgStrength, 0, nullptr, 0) != 1) {
            wipe(out, static_cast<size_t>(len));
            return failOpenSsl(ctx, KYCL_ERR_CRYPTO, "CTR-DRBG generate failed");
        }
        p += n;
        left -= n;
    }
    return succeed(ctx);
}

}  // extern "C"
