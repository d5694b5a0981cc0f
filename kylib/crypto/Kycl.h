#pragma once

// Kycl: the binding to the crypto module libkycl.so, loaded at run time on first use.
// One function pointer per entry point, named after the entry without its "kycl_"
// prefix ("3des" entries are spelled "des3_" here, as a name cannot start with a digit).
//
// The module is looked for beside the library itself, then in the installation's home
// directory ("Base"/"dBASEHOME", taken as the folder that holds the product's modules:
// <home>/libkycl.so); $KY_KYCL_PATH names the file outright. Never the current
// directory: whoever controls it would see every key. A failed first init leaves nothing
// loaded and every pointer null, so the next init tries again. Once bound, the module
// stays loaded and the pointers keep its entry points until the process ends.
//
// Threads: init may be called from any thread at any time; once it has returned, the
// pointers may be read and called from any thread, also after destroy (a thread still
// working while the process exits).

#include "kycl/kycl.h"

class Kycl {
public:
    // Loads, resolves and initialises the module once per process; throws KyException
    // ("Kycl::init") on failure. Cheap once loaded.
    static void init();
    // Marks the binding inactive and runs kycl_destroy. The module stays mapped and the
    // pointers stay as they are: other threads may still hold its contexts and call them.
    // A later init arms the same module again (kycl_init afresh). Runs by itself at process
    // exit; does nothing when the binding is not active.
    static void destroy();
    // Registered as a thread-exit callback: releases the module's per-thread state once a
    // module is bound, active or not.
    static void cleanupThreadCtx(void* unused);
    // The binding is active: init succeeded and destroy has not run since.
    static bool isLoaded();
    // The path the module was loaded from; empty while not active.
    static const char* getModulePath();
    // Counts successful inits: a context made under an earlier count belongs to a module
    // instance that has been destroyed since (and, depending on the module, may be gone).
    static unsigned long getGeneration();

#define KYCL_PTR(entry, name) static inline decltype(&::kycl_##entry) name = nullptr;
#define KYCL_CIPHER_PTRS(X, N)                               \
    KYCL_PTR(X##_init, N##_init)                             \
    KYCL_PTR(X##_destroy, N##_destroy)                       \
    KYCL_PTR(X##_set_key, N##_set_key)                       \
    KYCL_PTR(X##_ecb_encrypt, N##_ecb_encrypt)               \
    KYCL_PTR(X##_ecb_decrypt, N##_ecb_decrypt)               \
    KYCL_PTR(X##_cbc_encrypt, N##_cbc_encrypt)               \
    KYCL_PTR(X##_cbc_decrypt, N##_cbc_decrypt)               \
    KYCL_PTR(X##_ecb_encrypt_blocks, N##_ecb_encrypt_blocks) \
    KYCL_PTR(X##_ecb_decrypt_blocks, N##_ecb_decrypt_blocks)
#define KYCL_HASH_PTRS(H)                      \
    KYCL_PTR(H##_init, H##_init)               \
    KYCL_PTR(H##_destroy, H##_destroy)         \
    KYCL_PTR(H##_update, H##_update)           \
    KYCL_PTR(H##_final, H##_final)             \
    KYCL_PTR(H##_reset, H##_reset)             \
    KYCL_PTR(H##_hmac_init, H##_hmac_init)     \
    KYCL_PTR(H##_hmac_update, H##_hmac_update) \
    KYCL_PTR(H##_hmac_final, H##_hmac_final)

    // Module
    KYCL_PTR(init, kycl_init)
    KYCL_PTR(destroy, kycl_destroy)
    KYCL_PTR(get_last_error, get_last_error)
    KYCL_PTR(get_last_errno, get_last_errno)
    KYCL_PTR(get_status, get_status)
    KYCL_PTR(get_version, get_version)
    KYCL_PTR(free_mem, free_mem)
    KYCL_PTR(cleanup_thread_ctx, cleanup_thread_ctx)
    // Block ciphers (the *_blocks entries are optional: null when the module lacks them)
    KYCL_CIPHER_PTRS(blowfish, blowfish)
    KYCL_CIPHER_PTRS(twofish, twofish)
    KYCL_CIPHER_PTRS(serpent, serpent)
    KYCL_CIPHER_PTRS(aes, aes)
    KYCL_CIPHER_PTRS(des, des)
    KYCL_PTR(des_is_key_weak, des_is_key_weak)
    KYCL_CIPHER_PTRS(3des, des3)
    KYCL_CIPHER_PTRS(gost, gost)
    // Hashes
    KYCL_HASH_PTRS(md5)
    KYCL_HASH_PTRS(sha1)
    KYCL_HASH_PTRS(sha256)
    KYCL_HASH_PTRS(sha512)
    // RSA
    KYCL_PTR(rsa_init, rsa_init)
    KYCL_PTR(rsa_destroy, rsa_destroy)
    KYCL_PTR(rsa_set_pri_key, rsa_set_pri_key)
    KYCL_PTR(rsa_set_pri_key_pem, rsa_set_pri_key_pem)
    KYCL_PTR(rsa_set_pri_key_der, rsa_set_pri_key_der)
    KYCL_PTR(rsa_set_pub_key, rsa_set_pub_key)
    KYCL_PTR(rsa_set_pub_key_pem, rsa_set_pub_key_pem)
    KYCL_PTR(rsa_set_pub_key_der, rsa_set_pub_key_der)
    KYCL_PTR(rsa_gen_key_pair, rsa_gen_key_pair)
    KYCL_PTR(rsa_get_pri_key, rsa_get_pri_key)
    KYCL_PTR(rsa_get_pri_key_der, rsa_get_pri_key_der)
    KYCL_PTR(rsa_get_pub_key, rsa_get_pub_key)
    KYCL_PTR(rsa_get_pub_key_der, rsa_get_pub_key_der)
    KYCL_PTR(rsa_get_mod_size, rsa_get_mod_size)
    KYCL_PTR(rsa_enable_padding, rsa_enable_padding)
    KYCL_PTR(rsa_encrypt, rsa_encrypt)
    KYCL_PTR(rsa_decrypt, rsa_decrypt)
    KYCL_PTR(rsa_sign, rsa_sign)
    KYCL_PTR(rsa_verify, rsa_verify)
    // Generators
    KYCL_PTR(twister_init, twister_init)
    KYCL_PTR(twister_destroy, twister_destroy)
    KYCL_PTR(twister_seed, twister_seed)
    KYCL_PTR(twister_get, twister_get)
    KYCL_PTR(frand_init, frand_init)
    KYCL_PTR(frand_destroy, frand_destroy)
    KYCL_PTR(frand_reseed, frand_seed)
    KYCL_PTR(frand_get, frand_get)
    // Scrambler (resolved, not called)
    KYCL_PTR(scramble, scramble)
    KYCL_PTR(descramble, descramble)

#undef KYCL_PTR
#undef KYCL_CIPHER_PTRS
#undef KYCL_HASH_PTRS
};
