#include "kylib/crypto/Kycl.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "kylib/concurrency/KySync.h"
#include "kylib/concurrency/KyThread.h"
#include "kylib/crypto/KycHash.h"
#include "kylib/diagnostics/EvDebug.h"
#include "kylib/diagnostics/KyException.h"
#include "kylib/platforminfo/KYPlatformInfo.h"
#include "os/File.h"
#include "siblings/HbUtils/CHbLibrary.h"
#include "siblings/KyFocus/KYPI_Focus.h"

namespace {

const char kModuleFileName[] = "libkycl.so";
// Names the module file outright (tests, and installations that keep it elsewhere).
const char kPathVariable[] = "KY_KYCL_PATH";
// kycl_init and the context-creating entries report their reason in a buffer this large.
constexpr int kErrorTextSize = 1024;

// One entry point and the binding's pointer it fills.
struct Entry {
    const char* name;
    void* slot;  // the address of a Kycl function pointer
};

// A dlsym result goes into a function pointer by its bytes: the platform guarantees that
// both have one representation, and this avoids reading a function pointer through a
// differently typed lvalue.
static_assert(sizeof(void*) == sizeof(&::kycl_init), "function and data pointers differ in size");

void store(void* slot, void* address) noexcept {
    std::memcpy(slot, &address, sizeof address);
}

#define KY_ENTRY(entry, member) \
    { "kycl_" #entry, static_cast<void*>(&Kycl::member) }
#define KY_CIPHER(X, N)                                                                         \
    KY_ENTRY(X##_init, N##_init), KY_ENTRY(X##_destroy, N##_destroy),                           \
        KY_ENTRY(X##_set_key, N##_set_key), KY_ENTRY(X##_ecb_encrypt, N##_ecb_encrypt),         \
        KY_ENTRY(X##_ecb_decrypt, N##_ecb_decrypt), KY_ENTRY(X##_cbc_encrypt, N##_cbc_encrypt), \
        KY_ENTRY(X##_cbc_decrypt, N##_cbc_decrypt)
#define KY_HASH(H)                                                              \
    KY_ENTRY(H##_init, H##_init), KY_ENTRY(H##_destroy, H##_destroy),           \
        KY_ENTRY(H##_update, H##_update), KY_ENTRY(H##_final, H##_final),       \
        KY_ENTRY(H##_reset, H##_reset), KY_ENTRY(H##_hmac_init, H##_hmac_init), \
        KY_ENTRY(H##_hmac_update, H##_hmac_update), KY_ENTRY(H##_hmac_final, H##_hmac_final)
#define KY_BLOCKS(X, N)                                       \
    KY_ENTRY(X##_ecb_encrypt_blocks, N##_ecb_encrypt_blocks), \
        KY_ENTRY(X##_ecb_decrypt_blocks, N##_ecb_decrypt_blocks)

// The mandatory entries, in the order they are resolved (the order of kycl.h): the first
// one missing names itself in the error.
const Entry kMandatory[] = {
    KY_ENTRY(init, kycl_init),
    KY_ENTRY(destroy, kycl_destroy),
    KY_ENTRY(get_last_error, get_last_error),
    KY_ENTRY(get_last_errno, get_last_errno),
    KY_ENTRY(get_status, get_status),
    KY_ENTRY(get_version, get_version),
    KY_ENTRY(free_mem, free_mem),
    KY_ENTRY(cleanup_thread_ctx, cleanup_thread_ctx),
    KY_CIPHER(blowfish, blowfish),
    KY_CIPHER(twofish, twofish),
    KY_CIPHER(serpent, serpent),
    KY_CIPHER(aes, aes),
    KY_ENTRY(des_init, des_init),
    KY_ENTRY(des_destroy, des_destroy),
    KY_ENTRY(des_is_key_weak, des_is_key_weak),
    KY_ENTRY(des_set_key, des_set_key),
    KY_ENTRY(des_ecb_encrypt, des_ecb_encrypt),
    KY_ENTRY(des_ecb_decrypt, des_ecb_decrypt),
    KY_ENTRY(des_cbc_encrypt, des_cbc_encrypt),
    KY_ENTRY(des_cbc_decrypt, des_cbc_decrypt),
    KY_CIPHER(3des, des3),
    KY_CIPHER(gost, gost),
    KY_HASH(md5),
    KY_HASH(sha1),
    KY_HASH(sha256),
    KY_HASH(sha512),
    KY_ENTRY(rsa_init, rsa_init),
    KY_ENTRY(rsa_destroy, rsa_destroy),
    KY_ENTRY(rsa_set_pri_key, rsa_set_pri_key),
    KY_ENTRY(rsa_set_pri_key_pem, rsa_set_pri_key_pem),
    KY_ENTRY(rsa_set_pri_key_der, rsa_set_pri_key_der),
    KY_ENTRY(rsa_set_pub_key, rsa_set_pub_key),
    KY_ENTRY(rsa_set_pub_key_pem, rsa_set_pub_key_pem),
    KY_ENTRY(rsa_set_pub_key_der, rsa_set_pub_key_der),
    KY_ENTRY(rsa_gen_key_pair, rsa_gen_key_pair),
    KY_ENTRY(rsa_get_pri_key, rsa_get_pri_key),
    KY_ENTRY(rsa_get_pri_key_der, rsa_get_pri_key_der),
    KY_ENTRY(rsa_get_pub_key, rsa_get_pub_key),
    KY_ENTRY(rsa_get_pub_key_der, rsa_get_pub_key_der),
    KY_ENTRY(rsa_get_mod_size, rsa_get_mod_size),
    KY_ENTRY(rsa_enable_padding, rsa_enable_padding),
    KY_ENTRY(rsa_encrypt, rsa_encrypt),
    KY_ENTRY(rsa_decrypt, rsa_decrypt),
    KY_ENTRY(rsa_sign, rsa_sign),
    KY_ENTRY(rsa_verify, rsa_verify),
    KY_ENTRY(twister_init, twister_init),
    KY_ENTRY(twister_destroy, twister_destroy),
    KY_ENTRY(twister_seed, twister_seed),
    KY_ENTRY(twister_get, twister_get),
    KY_ENTRY(frand_init, frand_init),
    KY_ENTRY(frand_destroy, frand_destroy),
    KY_ENTRY(frand_reseed, frand_seed),
    KY_ENTRY(frand_get, frand_get),
    KY_ENTRY(scramble, scramble),
    KY_ENTRY(descramble, descramble),
};

// Whole-run ECB: a module without them is driven one block per call.
const Entry kOptional[] = {
    KY_BLOCKS(blowfish, blowfish), KY_BLOCKS(twofish, twofish), KY_BLOCKS(serpent, serpent),
    KY_BLOCKS(aes, aes),           KY_BLOCKS(des, des),         KY_BLOCKS(3des, des3),
    KY_BLOCKS(gost, gost),
};

#undef KY_ENTRY
#undef KY_CIPHER
#undef KY_HASH
#undef KY_BLOCKS

// The FIPS queries of the status report, in report order, with their display names.
struct FipsQuery {
    const char* entry;
    const char* displayName;
};
const FipsQuery kFipsQueries[] = {
    {"kycl_3des_is_fips_approved", "3DES"},
    {"kycl_aes_is_fips_approved", "AES"},
    {"kycl_blowfish_is_fips_approved", "Blowfish"},
    {"kycl_des_is_fips_approved", "DES"},
    {"kycl_gost_is_fips_approved", "GOST"},
    {"kycl_rsa_sign_is_fips_approved", "RSA sign/verify"},
    {"kycl_rsa_encdec_is_fips_approved", "RSA encrypt/decrypt"},
    {"kycl_serpent_is_fips_approved", "Serpent"},
    {"kycl_twofish_is_fips_approved", "Twofish"},
    {"kycl_sha1_is_fips_approved", "SHA1"},
    {"kycl_sha256_is_fips_approved", "SHA256"},
    {"kycl_sha512_is_fips_approved", "SHA512"},
    {"kycl_md5_is_fips_approved", "MD5"},
};

const char* statusText(int status) {
    switch (status) {
        case KYCL_STATE_LOADED:
            return "LOADED";
        case KYCL_STATE_FIPS:
            return "Running in FIPS Mode";
        case KYCL_STATE_POST_RUNNING:
            return "POST are running";
        case KYCL_STATE_ERROR:
            return "ERROR STATE";
        default:
            return "Unknown status";
    }
}

// Whether the module is armed: set (with release) by a successful init, after every pointer
// is set, and cleared by destroy. The fast path of init is one acquire load of it.
std::atomic<bool> g_loaded{false};

// Serialises init and destroy. Made on first use and never destroyed, so that destroy
// still finds it when it runs from a static destructor at process exit.
KyCriticalSection& initLock() {
    static KyCriticalSection* section = new KyCriticalSection;
    return *section;
}

// Everything below is guarded by initLock(). Nothing here has a destructor: destroy runs
// at process exit, when statics of this file may already be gone.
// The module the binding's pointers belong to: null until the first successful init, then
// the same module for the life of the process, never unloaded. Its entry points are
// written into the pointers once, before g_bound is published, and never changed again,
// so that any thread may call through them at any time: also after destroy, as a thread
// still enciphering while the process exits does. Kept on the heap and rooted in a global,
// so that no exit-time destructor unloads it and leak checkers still see it.
struct LoadedModule {
    CHbLibrary library;
    std::string path;
};
LoadedModule* g_module = nullptr;
// Set (with release) once the pointers hold g_module's entry points; read without the lock
// by the per-thread clean-up.
std::atomic<bool> g_bound{false};
std::atomic<unsigned long> g_generation{0};
bool g_exitHandlerRegistered = false;
bool g_threadCallbackRegistered = false;

void clearPointers() {
    for (const Entry& e : kMandatory)
        store(e.slot, nullptr);
    for (const Entry& e : kOptional)
        store(e.slot, nullptr);
}

bool isFile(const std::string& path) {
    DWORD attributes = kyos::getFileAttributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The folder of the shared library this code is part of.
std::string ownDirectory() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&Kycl::init), &info) == 0 || info.dli_fname == nullptr)
        return std::string();
    std::string path = info.dli_fname;
    std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// The installation's home folder ("Base"/"dBASEHOME"), empty when unknown. It names the
// folder that holds the product's modules, as it does on the platforms the product came
// from, so the module is looked for directly in it.
std::string homeDirectory() {
    KYPlatformInfo store(0, 0);
    std::string home;
    if (!store.getDirectory("Base", "dBASEHOME", &home))
        return std::string();
    while (home.size() > 1 && home.back() == '/')
        home.pop_back();
    return home;
}

// Where the module is: $KY_KYCL_PATH when set, else beside this library, else in the
// installation's home. Never the current directory: whoever controls it would be handed
// every key the process uses. With no candidate present, the first one is returned so
// that the load failure names where the module was expected.
std::string findModule() {
    const char* explicitPath = std::getenv(kPathVariable);
    if (explicitPath != nullptr && *explicitPath != '\0')
        return explicitPath;

    std::string fallback;
    std::string own = ownDirectory();
    if (!own.empty()) {
        std::string candidate = own + "/" + kModuleFileName;
        if (isFile(candidate))
            return candidate;
        fallback = candidate;
    }
    const char* focus = KYPI_Focus::getFocus();
    if (focus != nullptr && *focus != '\0') {
        std::string home = homeDirectory();
        if (!home.empty()) {
            std::string candidate = home + "/" + kModuleFileName;
            if (isFile(candidate))
                return candidate;
            if (fallback.empty())
                fallback = candidate;
        }
    }
    return fallback.empty() ? std::string(kModuleFileName) : fallback;
}

// The status lines: to the process's default log and the "kycl" log, and the FIPS
// answers to the "kycl" log. Only with a focus, as opening a log needs one.
void reportStatus(const CHbLibrary& library) {
    const char* focus = KYPI_Focus::getFocus();
    if (focus == nullptr || *focus == '\0')
        return;
    const char* status = statusText(static_cast<int>(Kycl::get_status()));

    EvDebug().Debug("Kycl::init", "KYCL: %s", status);

    static EvDebugFileInstance* instance = new EvDebugFileInstance;
    EvDebug log(instance);
    if (!log.initialize(instance, EvDebug::getLogId("kycl"), 0, true, ""))
        return;
    log.Debug("Kycl::init", "KYCL: %s", status);
    for (const FipsQuery& q : kFipsQueries) {
        void* address = library.GetAddress(q.entry);
        if (address == nullptr)
            continue;
        int (*query)(void) = nullptr;
        store(static_cast<void*>(&query), address);
        log.Debug("Kycl::init", "   %s: %sFIPS-approved", q.displayName,
                  query() == 0 ? "Not " : "");
    }
}

[[noreturn]] void failInit(const std::string& message) {
    KY_THROW("Kycl::init", message);
}

// Loads the module and fills every pointer from it; on failure throws and leaves nothing
// bound. Called under initLock() before the module was ever bound, so no other thread
// reads the pointers while they are written (nothing of the module has been handed out).
std::unique_ptr<LoadedModule> bindModule() {
    auto module = std::make_unique<LoadedModule>();
    module->path = findModule();
    CHbError err = module->library.Load(module->path);
    if (err.IsError()) {
        std::string reason = kyos::lastLibraryErrorText();
        if (reason.empty())
            reason = err.AsString();
        failInit("Failed to load " + module->path + ": " + reason);
    }
    for (const Entry& e : kMandatory) {
        void* address = module->library.GetAddress(e.name);
        if (address == nullptr) {
            clearPointers();
            failInit(std::string("Failed to resolve ") + e.name + " in " + kModuleFileName);
        }
        store(e.slot, address);
    }
    for (const Entry& e : kOptional)
        store(e.slot, module->library.GetAddress(e.name));
    return module;
}

}  // namespace

void Kycl::init() {
    if (g_loaded.load(std::memory_order_acquire))
        return;

    KyCriticalSectionLock lock(&initLock());
    if (g_loaded.load(std::memory_order_relaxed))
        return;

    // After destroy the module bound first is armed again: its entry points stay what
    // they were, since other threads may be calling through them.
    std::unique_ptr<LoadedModule> fresh;
    if (g_module == nullptr)
        fresh = bindModule();
    LoadedModule& module = fresh != nullptr ? *fresh : *g_module;

    char errorText[kErrorTextSize] = {};
    if (Kycl::kycl_init(module.path.c_str(), errorText, kErrorTextSize) != 0) {
        errorText[kErrorTextSize - 1] = '\0';
        // A module bound just now is forgotten (and unloaded) whole, so that the next init
        // starts over; one bound before stays bound, inactive.
        if (fresh != nullptr)
            clearPointers();
        failInit(std::string("Failed to initialize KYCL library: ") + errorText);
    }

    const bool firstBind = fresh != nullptr;
    if (firstBind) {
        g_module = fresh.release();
        g_bound.store(true, std::memory_order_release);
    }
    g_generation.fetch_add(1, std::memory_order_relaxed);
    g_loaded.store(true, std::memory_order_release);

    // Once per process, for the module as it was loaded: arming it again after destroy
    // (perhaps while the process exits, when the logs may be gone) has nothing new to tell.
    if (firstBind)
        reportStatus(g_module->library);

    if (!g_threadCallbackRegistered) {
        KyThread::addAtExitCB(&Kycl::cleanupThreadCtx, nullptr);
        g_threadCallbackRegistered = true;
    }
    // Registered after the module's own statics were made, so it runs before they are
    // torn down at exit; it does nothing when the binding was destroyed already.
    if (!g_exitHandlerRegistered) {
        std::atexit(&Kycl::destroy);
        g_exitHandlerRegistered = true;
    }
}

void Kycl::destroy() {
    KyCriticalSectionLock lock(&initLock());
    if (!g_loaded.load(std::memory_order_relaxed))
        return;
    // Only marked inactive: the pointers stay, so that contexts still alive (a static
    // object, a thread still working while the process exits) keep working, and a later
    // init arms the same module again.
    g_loaded.store(false, std::memory_order_release);
    Kycl::kycl_destroy();
}

void Kycl::cleanupThreadCtx(void*) {
    // The thread's own contexts first, so that the module's per-thread state goes last.
    kyc_detail::releaseThreadDigests();
    // Bound is enough: the thread's state in the module exists whether or not destroy has
    // run since, and the entry point never changes once bound.
    if (g_bound.load(std::memory_order_acquire))
        Kycl::cleanup_thread_ctx();
}

bool Kycl::isLoaded() {
    return g_loaded.load(std::memory_order_acquire);
}

const char* Kycl::getModulePath() {
    KyCriticalSectionLock lock(&initLock());
    return g_loaded.load(std::memory_order_relaxed) ? g_module->path.c_str() : "";
}

unsigned long Kycl::getGeneration() {
    return g_generation.load(std::memory_order_acquire);
}
