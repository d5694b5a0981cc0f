// The module's own entry points: start-up and shutdown, status and version, error texts.
//
// The backends are fetched once per process by the first successful kycl_init and kept
// until the process ends. kycl_destroy only marks the module as no longer initialised:
// the library calls it at process exit while static objects and other threads may still
// hold contexts, and those must keep working. A later kycl_init re-arms the module with
// the same backends.
#include "kycl/KyclInternal.h"

#include <gcrypt.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/provider.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace kycl_impl {
namespace {

const int kModuleMajor = 1;
const int kModuleMinor = 0;

std::mutex g_initMutex;
// Written once under g_initMutex, then only read: published with release, read with
// acquire, so a thread that sees the pointer sees the fetched objects behind it.
std::atomic<const Backends*> g_fetched{nullptr};
std::atomic<bool> g_active{false};
std::atomic<int> g_state{KYCL_STATE_LOADED};

struct ThreadError {
    int code = KYCL_ERR_NONE;
    std::string text;
};
thread_local ThreadError t_error;

void copyText(char* buffer, int size, const std::string& text) {
    if (buffer == nullptr || size <= 0) {
        return;
    }
    size_t n = std::min(text.size(), static_cast<size_t>(size) - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

std::string pendingOpenSslErrors() {
    std::string text;
    unsigned long e;
    char line[256];
    while ((e = ERR_get_error()) != 0) {
        ERR_error_string_n(e, line, sizeof(line));
        if (!text.empty()) {
            text += "; ";
        }
        text += line;
    }
    return text;
}

bool initGcrypt(std::string& error) {
    // Another part of the process may have set libgcrypt up already; its choices stand.
    if (!gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) {
        if (gcry_check_version(GCRYPT_VERSION) == nullptr) {
            error = "libgcrypt is older than the version the module was built with.";
            return false;
        }
        // Keys live in our contexts' ordinary memory, wiped on release; locked secure
        // memory would need privileges a backup agent does not always have.
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    }
    const int needed[] = {GCRY_CIPHER_SERPENT128, GCRY_CIPHER_SERPENT192, GCRY_CIPHER_SERPENT256,
                          GCRY_CIPHER_TWOFISH128, GCRY_CIPHER_TWOFISH,    GCRY_CIPHER_GOST28147};
    for (int algo : needed) {
        if (gcry_cipher_test_algo(algo) != 0) {
            error = std::string("libgcrypt does not offer ") + gcry_cipher_algo_name(algo) + ".";
            return false;
        }
    }
    return true;
}

void freeBackends(Backends* b) {
    for (int i = 0; i < 3; ++i) {
        EVP_CIPHER_free(b->aesEcb[i]);
        EVP_CIPHER_free(b->aesCbc[i]);
    }
    EVP_CIPHER_free(b->desEcb);
    EVP_CIPHER_free(b->desCbc);
    EVP_CIPHER_free(b->tdesEcb);
    EVP_CIPHER_free(b->tdesCbc);
    EVP_CIPHER_free(b->bfEcb);
    EVP_CIPHER_free(b->bfCbc);
    EVP_MD_free(b->md5);
    EVP_MD_free(b->sha1);
    EVP_MD_free(b->sha256);
    EVP_MD_free(b->sha512);
    EVP_MAC_free(b->hmac);
    EVP_RAND_free(b->ctrDrbg);
    // Providers loaded into a private library context go with it.
    OSSL_LIB_CTX_free(b->libCtx);
    delete b;
}

// Fetches everything once. The private library context keeps the module's provider
// choice (legacy algorithms on) away from the rest of the process.
Backends* fetchBackends(std::string& error) {
    auto* b = new (std::nothrow) Backends;
    if (b == nullptr) {
        error = "Out of memory.";
        return nullptr;
    }
    b->libCtx = OSSL_LIB_CTX_new();
    if (b->libCtx == nullptr || OSSL_PROVIDER_load(b->libCtx, "default") == nullptr ||
        OSSL_PROVIDER_load(b->libCtx, "legacy") == nullptr) {
        error = "Cannot load the OpenSSL default and legacy providers: " + pendingOpenSslErrors();
        freeBackends(b);
        return nullptr;
    }
    std::string missing;
    auto cipher = [&](const char* name) {
        EVP_CIPHER* c = EVP_CIPHER_fetch(b->libCtx, name, nullptr);
        if (c == nullptr) {
            missing += std::string(missing.empty() ? "" : ", ") + name;
        }
        return c;
    };
    auto digest = [&](const char* name) {
        EVP_MD* d = EVP_MD_fetch(b->libCtx, name, nullptr);
        if (d == nullptr) {
            missing += std::string(missing.empty() ? "" : ", ") + name;
        }
        return d;
    };
    b->aesEcb[0] = cipher("AES-128-ECB");
    b->aesEcb[1] = cipher("AES-192-ECB");
    b->aesEcb[2] = cipher("AES-256-ECB");
    b->aesCbc[0] = cipher("AES-128-CBC");
    b->aesCbc[1] = cipher("AES-192-CBC");
    b->aesCbc[2] = cipher("AES-256-CBC");
    b->desEcb = cipher("DES-ECB");
    b->desCbc = cipher("DES-CBC");
    b->tdesEcb = cipher("DES-EDE3-ECB");
    b->tdesCbc = cipher("DES-EDE3-CBC");
    b->bfEcb = cipher("BF-ECB");
    b->bfCbc = cipher("BF-CBC");
    b->md5 = digest("MD5");
    b->sha1 = digest("SHA1");
    b->sha256 = digest("SHA256");
    b->sha512 = digest("SHA512");
    b->hmac = EVP_MAC_fetch(b->libCtx, "HMAC", nullptr);
    if (b->hmac == nullptr) {
        missing += std::string(missing.empty() ? "" : ", ") + "HMAC";
    }
    b->ctrDrbg = EVP_RAND_fetch(b->libCtx, "CTR-DRBG", nullptr);
    if (b->ctrDrbg == nullptr) {
        missing += std::string(missing.empty() ? "" : ", ") + "CTR-DRBG";
    }
    if (!missing.empty()) {
        error = "OpenSSL does not offer " + missing + ": " + pendingOpenSslErrors();
        freeBackends(b);
        return nullptr;
    }
    return b;
}

std::string buildVersionText() {
    const char* gcryptVersion = gcry_check_version(nullptr);
    std::string text = "KYCL crypto module " + std::to_string(kModuleMajor) + "." +
                       std::to_string(kModuleMinor) + " (" + OpenSSL_version(OPENSSL_VERSION) +
                       "; libgcrypt " + (gcryptVersion != nullptr ? gcryptVersion : "?") +
                       "; GOST 28147-89 S-box " + kGostSboxName + ", OID " + kGostSboxOid + ")";
    return text;
}

}  // namespace

const char* const kGostSboxOid = "1.2.643.2.2.31.1";
const char* const kGostSboxName = "CryptoPro-A";

const Backends* activeBackends() {
    return g_active.load(std::memory_order_acquire) ? g_fetched.load(std::memory_order_acquire)
                                                    : nullptr;
}

const Backends& fetchedBackends() {
    // Only reached through a context, which exists only after a successful fetch.
    return *g_fetched.load(std::memory_order_acquire);
}

void setThreadError(int code, const std::string& text) {
    t_error.code = code;
    t_error.text = text;
}

int fail(kycl_ctx* ctx, int code, const std::string& text) {
    if (ctx != nullptr) {
        ctx->lastErrno = code;
        ctx->lastError = text;
    } else {
        setThreadError(code, text);
    }
    return code;
}

int failOpenSsl(kycl_ctx* ctx, int code, const std::string& text) {
    std::string detail = pendingOpenSslErrors();
    return fail(ctx, code, detail.empty() ? text : text + ": " + detail);
}

int succeed(kycl_ctx* ctx) {
    ctx->lastErrno = KYCL_ERR_NONE;
    ctx->lastError.clear();
    return KYCL_ERR_NONE;
}

const Backends* beginContext(int* status, char* errorText, int errorTextSize, const char* what) {
    const Backends* b = activeBackends();
    if (b == nullptr) {
        contextFailed(status, errorText, errorTextSize, KYCL_ERR_STATE,
                      std::string("Cannot create ") + what +
                          " context: the crypto module is not initialised.");
    }
    return b;
}

kycl_ctx* contextFailed(int* status, char* errorText, int errorTextSize, int code,
                        const std::string& text) {
    if (status != nullptr) {
        *status = code;
    }
    copyText(errorText, errorTextSize, text);
    setThreadError(code, text);
    return nullptr;
}

kycl_ctx* contextCreated(int* status, kycl_ctx* ctx) {
    if (status != nullptr) {
        *status = KYCL_ERR_NONE;
    }
    return ctx;
}

void wipe(void* p, size_t n) {
    if (p != nullptr && n > 0) {
        OPENSSL_cleanse(p, n);
    }
}

}  // namespace kycl_impl

kycl_ctx::~kycl_ctx() = default;

using namespace kycl_impl;

extern "C" {

KYCL_API int kycl_init(const char* /*modulePath*/, char* errorText, int errorTextSize) {
    std::lock_guard<std::mutex> lock(g_initMutex);
    std::string error;
    if (g_fetched.load(std::memory_order_acquire) == nullptr) {
        if (!initGcrypt(error)) {
            g_state.store(KYCL_STATE_ERROR);
            copyText(errorText, errorTextSize, error);
            setThreadError(KYCL_ERR_CRYPTO, error);
            return KYCL_ERR_CRYPTO;
        }
        Backends* b = fetchBackends(error);
        if (b == nullptr) {
            g_state.store(KYCL_STATE_ERROR);
            copyText(errorText, errorTextSize, error);
            setThreadError(KYCL_ERR_CRYPTO, error);
            return KYCL_ERR_CRYPTO;
        }
        g_fetched.store(b, std::memory_order_release);
    }
    g_state.store(KYCL_STATE_LOADED);
    g_active.store(true, std::memory_order_release);
    copyText(errorText, errorTextSize, "");
    return KYCL_ERR_NONE;
}

KYCL_API void kycl_destroy(void) {
    std::lock_guard<std::mutex> lock(g_initMutex);
    // The fetched algorithms and the library context stay: live contexts point at them.
    // The module holds no secrets of its own outside contexts, so nothing to wipe here.
    g_active.store(false, std::memory_order_release);
}

KYCL_API const char* kycl_get_last_error(kycl_ctx* ctx) {
    return ctx != nullptr ? ctx->lastError.c_str() : t_error.text.c_str();
}

KYCL_API int kycl_get_last_errno(kycl_ctx* ctx) {
    return ctx != nullptr ? ctx->lastErrno : t_error.code;
}

KYCL_API KYCL_STATE kycl_get_status(void) {
    return static_cast<KYCL_STATE>(g_state.load());
}

KYCL_API const char* kycl_get_version(int* major, int* minor) {
    static const std::string text = buildVersionText();
    if (major != nullptr) {
        *major = kModuleMajor;
    }
    if (minor != nullptr) {
        *minor = kModuleMinor;
    }
    return text.c_str();
}

KYCL_API void kycl_free_mem(void* memory) {
    // The module hands out no memory today; anything it ever does comes from malloc.
    std::free(memory);
}

KYCL_API void kycl_cleanup_thread_ctx(void) {
    t_error.code = KYCL_ERR_NONE;
    std::string().swap(t_error.text);
    ERR_clear_error();
}

KYCL_API int kycl_scramble(const void*, int, void*, int*, int, kycl_ctx* ctx) {
    return fail(ctx, KYCL_ERR_UNSUPPORTED,
                "kycl_scramble is not supported: the library scrambles with its own Blowfish.");
}

KYCL_API int kycl_descramble(const void*, int, void*, int*, int, kycl_ctx* ctx) {
    return fail(ctx, KYCL_ERR_UNSUPPORTED,
                "kycl_descramble is not supported: the library descrambles with its own "
                "Blowfish.");
}

KYCL_API int kycl_3des_is_fips_approved(void) {
    return 1;
}
KYCL_API int kycl_aes_is_fips_approved(void) {
    return 1;
}
KYCL_API int kycl_blowfish_is_fips_approved(void) {
    return 0;
}
KYCL_API int kycl_des_is_fips_approved(void) {
    return 0;
}
KYCL_API int kycl_gost_is_fips_approved(void) {
    return 0;
}
KYCL_API int kycl_rsa_sign_is_fips_approved(void) {
    return 1;
}
KYCL_API int kycl_rsa_encdec_is_fips_approved(void) {
    return 1;
}
KYCL_API int kycl_serpent_is_fips_approved(void) {
    return 0;
}
KYCL_API int kycl_twofish_is_fips_approved(void) {
    return 0;
}
KYCL_API int kycl_sha1_is_fips_approved(void) {
    return 1;
}
KYCL_API int kycl_sha256_is_fips_approved(void) {
    return 1;
}
KYCL_API int kycl_sha512_is_fips_approved(void) {
    return 1;
}
KYCL_API int kycl_md5_is_fips_approved(void) {
    return 0;
}

}  // extern "C"
