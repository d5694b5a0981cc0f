// A stand-in crypto module for the loader tests. It exports every mandatory entry point
// and a few of the optional FIPS queries; what it answers is steered through the
// environment, so that a test can make each step of loading fail on purpose:
//   FAKE_KYCL_INIT_FAIL=<text>   kycl_init fails with this text
//   FAKE_KYCL_STATUS=<n>         kycl_get_status returns n
//   FAKE_KYCL_FRAND_INIT_FAIL=<text>, FAKE_KYCL_FRAND_FAIL=<text>  the generator fails
//   FAKE_KYCL_HASH_FAIL=<text>   a digest's update fails with this text
// A digest "hashes" to the number of bytes fed since its context was made or reset (four
// bytes, little-endian), and its final does not restart it: a caller that reuses a context
// without a reset sees the count go on. The counters below tell a test what the binding
// called.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "kycl/kycl.h"

namespace {
struct Context {
    unsigned char counter = 0;
    unsigned int fed = 0;  // digests: bytes since made or reset
    const char* error = "";
};
// Every context made and not yet destroyed: kycl_destroy ends them all, as a module's
// contexts end with it.
std::set<Context*> g_live;
int g_initCalls = 0;
int g_destroyCalls = 0;
int g_cleanupCalls = 0;
// Digest calls other than destroy on a context that is not live (destroyed, or gone with
// kycl_destroy). Destroying one is harmless, as the binding may hand back a context late.
int g_deadContextCalls = 0;
// How many contexts were live when kycl_cleanup_thread_ctx last ran.
int g_liveAtCleanup = -1;

kycl_ctx* makeContext() {
    auto* c = new Context;
    g_live.insert(c);
    return reinterpret_cast<kycl_ctx*>(c);
}
void freeContext(kycl_ctx* ctx) {
    auto* c = reinterpret_cast<Context*>(ctx);
    if (g_live.erase(c) != 0)
        delete c;
}
// The live context behind a digest handle, else null (and the call is counted).
Context* liveDigest(kycl_ctx* ctx) {
    auto* c = reinterpret_cast<Context*>(ctx);
    if (g_live.count(c) != 0)
        return c;
    __atomic_add_fetch(&g_deadContextCalls, 1, __ATOMIC_SEQ_CST);
    return nullptr;
}
}  // namespace

extern "C" {

KYCL_API int fake_kycl_init_calls() {
    return g_initCalls;
}
KYCL_API int fake_kycl_destroy_calls() {
    return g_destroyCalls;
}
KYCL_API int fake_kycl_cleanup_calls() {
    return __atomic_load_n(&g_cleanupCalls, __ATOMIC_SEQ_CST);
}
KYCL_API int fake_kycl_live_contexts() {
    return static_cast<int>(g_live.size());
}
KYCL_API int fake_kycl_dead_context_calls() {
    return __atomic_load_n(&g_deadContextCalls, __ATOMIC_SEQ_CST);
}
KYCL_API int fake_kycl_live_at_cleanup() {
    return __atomic_load_n(&g_liveAtCleanup, __ATOMIC_SEQ_CST);
}

int kycl_init(const char*, char* errorText, int errorTextSize) {
    ++g_initCalls;
    if (const char* fail = std::getenv("FAKE_KYCL_INIT_FAIL")) {
        std::snprintf(errorText, static_cast<size_t>(errorTextSize), "%s", fail);
        return 1;
    }
    return 0;
}
void kycl_destroy(void) {
    ++g_destroyCalls;
    for (Context* c : g_live)
        delete c;
    g_live.clear();
}
const char* kycl_get_last_error(kycl_ctx* ctx) {
    return ctx != nullptr ? reinterpret_cast<Context*>(ctx)->error : "no context";
}
int kycl_get_last_errno(kycl_ctx*) {
    return 0;
}
KYCL_STATE kycl_get_status(void) {
    const char* status = std::getenv("FAKE_KYCL_STATUS");
    return static_cast<KYCL_STATE>(status != nullptr ? std::atoi(status) : 0);
}
const char* kycl_get_version(int* major, int* minor) {
    *major = 0;
    *minor = 1;
    return "fake";
}
void kycl_free_mem(void* memory) {
    std::free(memory);
}
void kycl_cleanup_thread_ctx(void) {
    __atomic_store_n(&g_liveAtCleanup, static_cast<int>(g_live.size()), __ATOMIC_SEQ_CST);
    __atomic_add_fetch(&g_cleanupCalls, 1, __ATOMIC_SEQ_CST);
}

#define FAKE_CIPHER(X)                                                      \
    kycl_ctx* kycl_##X##_init(int*, char*, int) {                           \
        return makeContext();                                               \
    }                                                                       \
    void kycl_##X##_destroy(kycl_ctx* ctx) {                                \
        freeContext(ctx);                                                   \
    }                                                                       \
    int kycl_##X##_set_key(kycl_ctx*, const void*, int) {                   \
        return 0;                                                           \
    }                                                                       \
    int kycl_##X##_ecb_encrypt(kycl_ctx*, const void*, void*) {             \
        return 0;                                                           \
    }                                                                       \
    int kycl_##X##_ecb_decrypt(kycl_ctx*, const void*, void*) {             \
        return 0;                                                           \
    }                                                                       \
    int kycl_##X##_cbc_encrypt(kycl_ctx*, const void*, int, void*, void*) { \
        return 0;                                                           \
    }                                                                       \
    int kycl_##X##_cbc_decrypt(kycl_ctx*, const void*, int, void*, void*) { \
        return 0;                                                           \
    }
FAKE_CIPHER(blowfish)
FAKE_CIPHER(twofish)
FAKE_CIPHER(serpent)
FAKE_CIPHER(aes)
FAKE_CIPHER(des)
FAKE_CIPHER(3des)
FAKE_CIPHER(gost)
int kycl_des_is_key_weak(kycl_ctx*, const void*, int) {
    return 0;
}

#define FAKE_HASH(H)                                                  \
    kycl_ctx* kycl_##H##_init(int*, char*, int) {                     \
        return makeContext();                                         \
    }                                                                 \
    void kycl_##H##_destroy(kycl_ctx* ctx) {                          \
        freeContext(ctx);                                             \
    }                                                                 \
    int kycl_##H##_update(kycl_ctx* ctx, const void*, int len) {      \
        Context* c = liveDigest(ctx);                                 \
        if (c == nullptr)                                             \
            return 1;                                                 \
        if (const char* fail = std::getenv("FAKE_KYCL_HASH_FAIL")) {  \
            c->error = fail;                                          \
            return 1;                                                 \
        }                                                             \
        c->fed += static_cast<unsigned int>(len);                     \
        return 0;                                                     \
    }                                                                 \
    int kycl_##H##_final(kycl_ctx* ctx, void* out) {                  \
        Context* c = liveDigest(ctx);                                 \
        if (c == nullptr)                                             \
            return 1;                                                 \
        auto* bytes = static_cast<unsigned char*>(out);               \
        for (int i = 0; i < 4; ++i)                                   \
            bytes[i] = static_cast<unsigned char>(c->fed >> (8 * i)); \
        return 0;                                                     \
    }                                                                 \
    int kycl_##H##_reset(kycl_ctx* ctx) {                             \
        Context* c = liveDigest(ctx);                                 \
        if (c == nullptr)                                             \
            return 1;                                                 \
        c->fed = 0;                                                   \
        return 0;                                                     \
    }                                                                 \
    int kycl_##H##_hmac_init(kycl_ctx*, const void*, int) {           \
        return 0;                                                     \
    }                                                                 \
    int kycl_##H##_hmac_update(kycl_ctx*, const void*, int) {         \
        return 0;                                                     \
    }                                                                 \
    int kycl_##H##_hmac_final(kycl_ctx*, void*) {                     \
        return 0;                                                     \
    }
FAKE_HASH(md5)
FAKE_HASH(sha1)
FAKE_HASH(sha256)
FAKE_HASH(sha512)

kycl_ctx* kycl_rsa_init(int*, char*, int) {
    return makeContext();
}
void kycl_rsa_destroy(kycl_ctx* ctx) {
    freeContext(ctx);
}
int kycl_rsa_set_pri_key(kycl_ctx*, const void*, int) {
    return 0;
}
int kycl_rsa_set_pri_key_pem(kycl_ctx*, const char*, const char*) {
    return 0;
}
int kycl_rsa_set_pri_key_der(kycl_ctx*, const void*, int) {
    return 0;
}
int kycl_rsa_set_pub_key(kycl_ctx*, const void*, int) {
    return 0;
}
int kycl_rsa_set_pub_key_pem(kycl_ctx*, const char*) {
    return 0;
}
int kycl_rsa_set_pub_key_der(kycl_ctx*, const void*, int) {
    return 0;
}
int kycl_rsa_gen_key_pair(kycl_ctx*, int) {
    return 0;
}
int kycl_rsa_get_pri_key(kycl_ctx*, void*, int*) {
    return 0;
}
int kycl_rsa_get_pri_key_der(kycl_ctx*, void*, int*) {
    return 0;
}
int kycl_rsa_get_pub_key(kycl_ctx*, void*, int*) {
    return 0;
}
int kycl_rsa_get_pub_key_der(kycl_ctx*, void*, int*) {
    return 0;
}
int kycl_rsa_get_mod_size(kycl_ctx*, int*) {
    return 0;
}
int kycl_rsa_enable_padding(kycl_ctx*, int) {
    return 0;
}
int kycl_rsa_encrypt(kycl_ctx*, const void*, int, void*, int*) {
    return 0;
}
int kycl_rsa_decrypt(kycl_ctx*, const void*, int, void*, int*) {
    return 0;
}
int kycl_rsa_sign(kycl_ctx*, const void*, int, void*, int) {
    return 0;
}
int kycl_rsa_verify(kycl_ctx*, const void*, int, const void*, int) {
    return 0;
}

kycl_ctx* kycl_twister_init(int*, char*, int) {
    return makeContext();
}
void kycl_twister_destroy(kycl_ctx* ctx) {
    freeContext(ctx);
}
int kycl_twister_seed(kycl_ctx*, const void*, int) {
    return 0;
}
int kycl_twister_get(kycl_ctx*, void*, int) {
    return 0;
}

kycl_ctx* kycl_frand_init(int*, char* errorText, int errorTextSize) {
    if (const char* fail = std::getenv("FAKE_KYCL_FRAND_INIT_FAIL")) {
        std::snprintf(errorText, static_cast<size_t>(errorTextSize), "%s", fail);
        return nullptr;
    }
    return makeContext();
}
void kycl_frand_destroy(kycl_ctx* ctx) {
    freeContext(ctx);
}
int kycl_frand_reseed(kycl_ctx* ctx, const void*, int) {
    if (const char* fail = std::getenv("FAKE_KYCL_FRAND_FAIL")) {
        reinterpret_cast<Context*>(ctx)->error = fail;
        return 1;
    }
    return 0;
}
// Successive bytes of a counter: predictable, so a test can tell one draw from the next.
int kycl_frand_get(kycl_ctx* ctx, void* out, int len) {
    auto* c = reinterpret_cast<Context*>(ctx);
    if (const char* fail = std::getenv("FAKE_KYCL_FRAND_FAIL")) {
        c->error = fail;
        return 1;
    }
    auto* p = static_cast<unsigned char*>(out);
    for (int i = 0; i < len; ++i)
        p[i] = c->counter++;
    return 0;
}

int kycl_scramble(const void*, int, void*, int*, int, kycl_ctx*) {
    return 0;
}
int kycl_descramble(const void*, int, void*, int*, int, kycl_ctx*) {
    return 0;
}

// Some of the optional queries, so that the status report shows both answers and skips
// the ones a module lacks.
int kycl_aes_is_fips_approved(void) {
    return 1;
}
int kycl_sha256_is_fips_approved(void) {
    return 1;
}
int kycl_md5_is_fips_approved(void) {
    return 0;
}

}  // extern "C"
