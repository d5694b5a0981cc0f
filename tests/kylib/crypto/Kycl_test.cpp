#include "kylib/crypto/Kycl.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <thread>

#include "kylib/concurrency/KyThread.h"
#include "kylib/crypto/Kyc.h"
#include "kylib/crypto/KycCipher.h"
#include "kylib/crypto/KycHash.h"
#include "kylib/diagnostics/KyException.h"
#include "os/registry/Registry.h"
#include "siblings/KyFocus/KYPI_Focus.h"
#include "tests/support/TempDir.h"

namespace {

constexpr const char* kInstance = "SOFTWARE\\Kelbrin Systems\\Sarvex\\Instance001";

// What a scenario found wrong; empty when all was well.
class Problems {
public:
    void expect(bool ok, const std::string& what) {
        if (!ok)
            m_text += what + "\n";
    }
    // `expected` is the whole text, or its beginning when `prefixOnly`.
    template <class F>
    void expectThrow(F&& f, const std::string& expected, bool prefixOnly = false) {
        std::string got = "<nothing thrown>";
        try {
            f();
        } catch (const KyException& e) {
            got = std::string(e.getFuncName()) + ": " + e.getMessage();
        }
        bool ok = prefixOnly ? got.compare(0, expected.size(), expected) == 0 : got == expected;
        expect(ok, "expected [" + expected + "], got [" + got + "]");
    }
    const std::string& text() const { return m_text; }

private:
    std::string m_text;
};

// The binding is process-wide: each scenario runs in a child process of its own, so that
// it starts with nothing loaded whatever ran before it. The child reports its problems on
// standard error, which the failure message shows, and removes its own folder (exit does
// not unwind to the fixture).
#define RUN_ALONE(body)                                                   \
    EXPECT_EXIT(                                                          \
        {                                                                 \
            Problems p;                                                   \
            try {                                                         \
                body(p);                                                  \
            } catch (const KyException& e) {                              \
                p.expect(false, std::string("threw: ") + e.getMessage()); \
            }                                                             \
            std::fprintf(stderr, "%s", p.text().c_str());                 \
            std::error_code ignored;                                      \
            std::filesystem::remove_all(dir_.path(), ignored);            \
            std::exit(p.text().empty() ? 0 : 1);                          \
        },                                                                \
        ::testing::ExitedWithCode(0), "")

// Every pointer the binding fills is null: nothing of a failed load can be called.
bool nothingBound() {
    return Kycl::kycl_init == nullptr && Kycl::kycl_destroy == nullptr &&
           Kycl::get_last_error == nullptr && Kycl::aes_init == nullptr &&
           Kycl::des_is_key_weak == nullptr && Kycl::des3_cbc_decrypt == nullptr &&
           Kycl::sha512_hmac_final == nullptr && Kycl::rsa_verify == nullptr &&
           Kycl::frand_seed == nullptr && Kycl::descramble == nullptr &&
           Kycl::aes_ecb_encrypt_blocks == nullptr && !Kycl::isLoaded() &&
           std::string(Kycl::getModulePath()).empty();
}

int fakeCounter(const char* name) {
    void* module = ::dlopen(KY_TEST_FAKE_KYCL, RTLD_NOW | RTLD_NOLOAD);
    if (module == nullptr)
        return -1;
    auto counter = reinterpret_cast<int (*)()>(::dlsym(module, name));
    int value = counter != nullptr ? counter() : -1;
    ::dlclose(module);
    return value;
}

// What the stand-in module's digest says: the bytes fed since its context was made or reset.
unsigned int bytesFed(const KycBucket& digest) {
    const unsigned char* d = digest.getData();
    return d[0] | d[1] << 8 | d[2] << 16 | static_cast<unsigned int>(d[3]) << 24;
}

// Each case gets its own registry store and log folder, so that the status lines land
// in a file the test can read.
class KyclLoader : public kytest::StoreTest {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        kytest::StoreTest::SetUp();
        KYPI_Focus::setFocus("Instance001");
        logDir_ = dir_.file("logs");
        HKEY key = nullptr;
        ASSERT_EQ(
            kyos::reg::createKey(HKEY_LOCAL_MACHINE, std::string(kInstance) + "\\EventManager", 0,
                                 KEY_ALL_ACCESS, &key, nullptr),
            ERROR_SUCCESS);
        ASSERT_EQ(kyos::reg::setValue(key, "dEVLOGDIR", REG_EXPAND_SZ, logDir_.c_str(),
                                      static_cast<DWORD>(logDir_.size() + 1)),
                  ERROR_SUCCESS);
        kyos::reg::closeKey(key);
        ::unsetenv("KY_KYCL_PATH");
        ::unsetenv("FAKE_KYCL_INIT_FAIL");
        ::unsetenv("FAKE_KYCL_STATUS");
        ::unsetenv("FAKE_KYCL_FRAND_INIT_FAIL");
        ::unsetenv("FAKE_KYCL_FRAND_FAIL");
    }
    void TearDown() override {
        KYPI_Focus::reload();
        kytest::StoreTest::TearDown();
    }
    std::string kyclLog() const { return kytest::readFile(logDir_ + "/kycl.log"); }

    std::string logDir_;
};

TEST_F(KyclLoader, MissingExplicitPathLeavesNothingBoundAndALaterInitSucceeds) {
    auto body = [](Problems& p) {
        ::setenv("KY_KYCL_PATH", "/nonexistent/folder/libkycl.so", 1);
        p.expectThrow([] { Kycl::init(); },
                      "Kycl::init: Failed to load /nonexistent/folder/libkycl.so: ", true);
        p.expect(nothingBound(), "pointers left after a failed load");
        ::setenv("KY_KYCL_PATH", KY_TEST_FAKE_KYCL, 1);
        Kycl::init();
        p.expect(Kycl::isLoaded() && Kycl::aes_init != nullptr, "second init did not bind");
        p.expect(std::string(Kycl::getModulePath()) == KY_TEST_FAKE_KYCL, "wrong module path");
    };
    RUN_ALONE(body);
}

TEST_F(KyclLoader, FailuresAfterLoadingUnbindEverything) {
    struct Case {
        const char* name;
        const char* module;
        const char* initFailure;
        const char* expected;
    } cases[] = {
        {"missing entry", KY_TEST_PARTIAL_KYCL, nullptr,
         "Kycl::init: Failed to resolve kycl_get_last_errno in libkycl.so"},
        {"init refused", KY_TEST_FAKE_KYCL, "self test failed",
         "Kycl::init: Failed to initialize KYCL library: self test failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto body = [&c](Problems& p) {
            ::setenv("KY_KYCL_PATH", c.module, 1);
            if (c.initFailure != nullptr)
                ::setenv("FAKE_KYCL_INIT_FAIL", c.initFailure, 1);
            p.expectThrow([] { Kycl::init(); }, c.expected);
            // The entries resolved before the failure must not stay callable.
            p.expect(nothingBound(), "pointers left after a failed init");
            ::unsetenv("FAKE_KYCL_INIT_FAIL");
            ::setenv("KY_KYCL_PATH", KY_TEST_FAKE_KYCL, 1);
            Kycl::init();
            p.expect(Kycl::isLoaded(), "the next init did not try again");
        };
        RUN_ALONE(body);
    }
}

TEST_F(KyclLoader, TheCurrentDirectoryIsNeverSearched) {
    auto body = [this](Problems& p) {
        // A planted module in the working folder: loading it would fail to resolve.
        std::filesystem::copy_file(KY_TEST_PARTIAL_KYCL, dir_.file("libkycl.so"));
        p.expect(::chdir(dir_.path().c_str()) == 0, "chdir failed");
        Kycl::init();
        std::string loaded = Kycl::getModulePath();
        p.expect(loaded == std::filesystem::path(KY_TEST_REAL_KYCL).string(),
                 "loaded [" + loaded + "] instead of the module beside the library");
    };
    RUN_ALONE(body);
}

TEST_F(KyclLoader, StatusLinesNameTheStateAndTheFipsAnswers) {
    struct Case {
        const char* status;
        const char* text;
    } cases[] = {{"0", "LOADED"},
                 {"1", "Running in FIPS Mode"},
                 {"2", "POST are running"},
                 {"3", "ERROR STATE"},
                 {"9", "Unknown status"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        auto body = [this, &c](Problems& p) {
            ::setenv("KY_KYCL_PATH", KY_TEST_FAKE_KYCL, 1);
            ::setenv("FAKE_KYCL_STATUS", c.status, 1);
            Kycl::init();
            const std::string log = kyclLog();
            std::string::size_type status = log.find(std::string("KYCL: ") + c.text);
            std::string::size_type aes = log.find("   AES: FIPS-approved");
            std::string::size_type sha = log.find("   SHA256: FIPS-approved");
            std::string::size_type md5 = log.find("   MD5: Not FIPS-approved");
            p.expect(status != std::string::npos, "no status line in: " + log);
            p.expect(
                aes != std::string::npos && sha != std::string::npos && md5 != std::string::npos,
                "FIPS lines missing in: " + log);
            p.expect(status < aes && aes < sha && sha < md5, "lines out of order: " + log);
            // Queries the module does not export are left out.
            p.expect(log.find("3DES") == std::string::npos, "absent query reported");
        };
        RUN_ALONE(body);
    }
}

// Destroy only marks the binding inactive: threads may still be calling through the
// pointers, so they keep the module's entry points, and init arms that module again.
TEST_F(KyclLoader, DestroyKeepsTheModuleBoundAndInitArmsItAgain) {
    auto body = [](Problems& p) {
        Kycl::destroy();  // nothing loaded: nothing happens
        ::setenv("KY_KYCL_PATH", KY_TEST_FAKE_KYCL, 1);
        Kycl::init();
        const unsigned long first = Kycl::getGeneration();
        const auto aesInit = Kycl::aes_init;
        const auto cleanup = Kycl::cleanup_thread_ctx;
        Kycl::destroy();
        Kycl::destroy();
        p.expect(fakeCounter("fake_kycl_destroy_calls") == 1, "kycl_destroy not called once");
        p.expect(!Kycl::isLoaded() && std::string(Kycl::getModulePath()).empty(),
                 "still active after destroy");
        p.expect(
            Kycl::aes_init == aesInit && Kycl::cleanup_thread_ctx == cleanup && aesInit != nullptr,
            "entry points changed by destroy");
        // A library thread ending now still releases its state in the module.
        KyThread thread;
        p.expect(thread.createThread([](void*) -> unsigned { return 0; }, nullptr) != nullptr &&
                     thread.joinThread(),
                 "thread not run");
        p.expect(fakeCounter("fake_kycl_cleanup_calls") == 1, "per-thread state not released");

        // Arming again can fail like the first init; the entries stay bound meanwhile.
        ::setenv("FAKE_KYCL_INIT_FAIL", "self test failed", 1);
        p.expectThrow([] { Kycl::init(); },
                      "Kycl::init: Failed to initialize KYCL library: self test failed");
        p.expect(!Kycl::isLoaded() && Kycl::aes_init == aesInit, "failed re-arm unbound");
        ::unsetenv("FAKE_KYCL_INIT_FAIL");
        Kycl::init();
        p.expect(Kycl::isLoaded() && Kycl::getGeneration() == first + 1, "not armed again");
        p.expect(Kycl::aes_init == aesInit, "entry points changed by the second init");
        p.expect(fakeCounter("fake_kycl_init_calls") == 3, "kycl_init not called afresh");
        p.expect(std::string(Kycl::getModulePath()) == KY_TEST_FAKE_KYCL, "wrong module path");
    };
    RUN_ALONE(body);
}

TEST_F(KyclLoader, LibraryThreadsReleaseTheModulesThreadState) {
    auto body = [](Problems& p) {
        ::setenv("KY_KYCL_PATH", KY_TEST_FAKE_KYCL, 1);
        Kycl::init();
        Kycl::init();  // registered once however often init runs
        KyThread thread;
        p.expect(thread.createThread([](void*) -> unsigned { return 0; }, nullptr) != nullptr,
                 "thread not started");
        p.expect(thread.joinThread(), "thread not joined");
        p.expect(fakeCounter("fake_kycl_cleanup_calls") == 1, "per-thread state not released once");
    };
    RUN_ALONE(body);
}

// A thread still enciphering when main returns (a detached worker, say) must not find
// the binding torn down under it. Each run is a process of its own that ends with exit(),
// as main's return does, while the worker both uses a live context and makes new ones.
TEST_F(KyclLoader, ThreadEncipheringWhileTheProcessExitsDoesNotCrash) {
    constexpr int kRuns = 20;
    for (int run = 0; run < kRuns; ++run) {
        SCOPED_TRACE(run);
        EXPECT_EXIT(
            {
                static std::atomic<bool> working{false};
                std::thread([] {
                    static const unsigned char key[32] = {1, 2, 3};
                    unsigned char block[16] = {};
                    KycAES kept;
                    kept.setKey(key, sizeof key);
                    for (;;) {
                        for (int i = 0; i < 64; ++i)
                            kept.encECB(block, block, sizeof block);
                        try {
                            KycAES fresh;
                            fresh.setKey(key, sizeof key);
                            fresh.encECB(block, block, sizeof block);
                        } catch (const KyException&) {
                            // A new context refused while the module shuts down is a
                            // failure reported, which a worker may meet; a crash is not.
                        }
                        working.store(true);
                    }
                }).detach();
                const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
                while (!working.load() && std::chrono::steady_clock::now() < deadline)
                    std::this_thread::yield();
                std::error_code ignored;
                std::filesystem::remove_all(dir_.path(), ignored);
                std::exit(working.load() ? 0 : 2);
            },
            ::testing::ExitedWithCode(0), "");
    }
}

// The same, hashing: the one-call digests keep a context per thread, which must survive
// the binding being destroyed under it.
TEST_F(KyclLoader, ThreadHashingWhileTheProcessExitsDoesNotCrash) {
    constexpr int kRuns = 20;
    for (int run = 0; run < kRuns; ++run) {
        SCOPED_TRACE(run);
        EXPECT_EXIT(
            {
                static std::atomic<bool> working{false};
                std::thread([] {
                    static const unsigned char record[64] = {1, 2, 3};
                    unsigned char digest[32];
                    KycSHA256 kept;
                    for (;;) {
                        for (int i = 0; i < 64; ++i) {
                            kept.reset();
                            kept.addData(record, sizeof record);
                            kept.finish(digest, sizeof digest);
                        }
                        try {
                            Kyc::sha256(record, sizeof record);
                            Kyc::md5(record, sizeof record);
                        } catch (const KyException&) {
                            // Refused while the module shuts down: reported, not a crash.
                        }
                        working.store(true);
                    }
                }).detach();
                const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
                while (!working.load() && std::chrono::steady_clock::now() < deadline)
                    std::this_thread::yield();
                std::error_code ignored;
                std::filesystem::remove_all(dir_.path(), ignored);
                std::exit(working.load() ? 0 : 2);
            },
            ::testing::ExitedWithCode(0), "");
    }
}

// ---- The FIPS generator over the stand-in module (which counts instead of drawing) ------

TEST_F(KyclLoader, GeneratorIsSharedAndRemadeForANewModuleInstance) {
    auto body = [](Problems& p) {
        ::setenv("KY_KYCL_PATH", KY_TEST_FAKE_KYCL, 1);
        KycBucket first = Kyc::getRand(3);
        KycBucket second = Kyc::getRand(2);
        p.expect(Kyc::bin2hex(first) + Kyc::bin2hex(second) == "0001020304",
                 "draws do not continue one generator");
        Kycl::destroy();
        // The old context died with the module instance: a new one is made.
        p.expect(Kyc::bin2hex(Kyc::getRand(2)) == "0001", "stale generator used");
        Kyc::seedRand("entropy", 7);
        Kyc::seedRand(nullptr, 0);
    };
    RUN_ALONE(body);
}

TEST_F(KyclLoader, GeneratorFailuresCarryTheModulesText) {
    struct Case {
        const char* variable;
        std::function<void()> call;
        const char* expected;
    } cases[] = {
        {"FAKE_KYCL_FRAND_INIT_FAIL", [] { Kyc::getRand(4); },
         "Kyc::getRand: Failed to instantiate FIPS PRNG: module text"},
        {"FAKE_KYCL_FRAND_INIT_FAIL", [] { Kyc::seedRand("x", 1); },
         "Kyc::seedRand: Failed to instantiate FIPS PRNG: module text"},
        {"FAKE_KYCL_FRAND_FAIL", [] { Kyc::getRand(4); },
         "Kyc::getRand: FIPS PRNG failed: module text"},
        {"FAKE_KYCL_FRAND_FAIL", [] { Kyc::seedRand("x", 1); },
         "Kyc::seedRand: Failed to seed FIPS PRNG: module text"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        auto body = [&c](Problems& p) {
            ::setenv("KY_KYCL_PATH", KY_TEST_FAKE_KYCL, 1);
            ::setenv(c.variable, "module text", 1);
            p.expectThrow(c.call, c.expected);
            // Once the module recovers, the next call works.
            ::unsetenv(c.variable);
            Kyc::getRand(4);
        };
        RUN_ALONE(body);
    }
}

// ---- The one-call digests' per-thread contexts, over the stand-in module --------------------

TEST_F(KyclLoader, OneCallDigestsResetTheThreadsContextAndDropItAfterAFailure) {
    auto body = [](Problems& p) {
        ::setenv("KY_KYCL_PATH", KY_TEST_FAKE_KYCL, 1);
        p.expect(bytesFed(Kyc::sha256("abc", 3)) == 3, "first digest wrong");
        // The stand-in's final does not restart: without a reset the count goes on.
        p.expect(bytesFed(Kyc::sha256("de", 2)) == 2,
                 "the thread's context reused without a reset");
        p.expect(fakeCounter("fake_kycl_live_contexts") == 1, "not one context kept");
        Kyc::md5("x", 1);
        p.expect(fakeCounter("fake_kycl_live_contexts") == 2, "algorithms share a context");

        ::setenv("FAKE_KYCL_HASH_FAIL", "digest refused", 1);
        p.expectThrow([] { Kyc::sha256("abc", 3); },
                      "KycSHA256::addData: Failed to feed more data to SHA256 hasher: digest "
                      "refused");
        ::unsetenv("FAKE_KYCL_HASH_FAIL");
        p.expect(fakeCounter("fake_kycl_live_contexts") == 1, "a context kept after its failure");
        p.expect(bytesFed(Kyc::sha256("abcd", 4)) == 4, "the digest after a failure is wrong");
        p.expect(fakeCounter("fake_kycl_dead_context_calls") == 0, "a released context was called");
    };
    RUN_ALONE(body);
}

TEST_F(KyclLoader, ThreadsGiveTheirDigestContextsBackAsTheyEnd) {
    struct Case {
        const char* name;
        bool libraryThread;
    } cases[] = {{"library thread", true}, {"other thread", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto body = [&c](Problems& p) {
            ::setenv("KY_KYCL_PATH", KY_TEST_FAKE_KYCL, 1);
            Kycl::init();
            auto work = [] {
                Kyc::sha256("abc", 3);
                Kyc::sha1("abc", 3);
            };
            if (c.libraryThread) {
                KyThread thread;
                p.expect(thread.createThread(
                             [](void* w) -> unsigned {
                                 (*static_cast<decltype(work)*>(w))();
                                 return 0;
                             },
                             &work) != nullptr &&
                             thread.joinThread(),
                         "thread not run");
                // Given back before the module's per-thread state, which they may rely on.
                p.expect(fakeCounter("fake_kycl_live_at_cleanup") == 0,
                         "contexts still live when the module released the thread's state");
            } else {
                std::thread(work).join();
            }
            p.expect(fakeCounter("fake_kycl_live_contexts") == 0, "contexts left by the thread");
        };
        RUN_ALONE(body);
    }
}

// The stand-in's kycl_destroy ends every context, as a module's may: what a thread kept from
// before must not be used again.
TEST_F(KyclLoader, DigestContextsOfADestroyedModuleAreNeverUsedAgain) {
    auto body = [](Problems& p) {
        ::setenv("KY_KYCL_PATH", KY_TEST_FAKE_KYCL, 1);
        Kyc::sha256("abc", 3);
        Kycl::destroy();
        p.expect(bytesFed(Kyc::sha256("de", 2)) == 2, "the digest after destroy is wrong");
        p.expect(fakeCounter("fake_kycl_dead_context_calls") == 0,
                 "a context of the destroyed module was used");
        p.expect(fakeCounter("fake_kycl_live_contexts") == 1, "not one new context");
    };
    RUN_ALONE(body);
}

// ---- Over the real module -------------------------------------------------------------------

class KycRandom : public KyclLoader {};

TEST_F(KycRandom, DrawsAreDistinctAndSized) {
    std::set<std::string> seen;
    for (int i = 0; i < 64; ++i) {
        KycBucket b = Kyc::getRand(16);
        ASSERT_EQ(b.getSize(), 16);
        seen.insert(Kyc::bin2hex(b));
    }
    EXPECT_EQ(seen.size(), 64u);
    for (int n : {0, 1, 17, 1000})
        EXPECT_EQ(Kyc::getRand(n).getSize(), n);
    unsigned char buffer[40] = {};
    Kyc::getRand(buffer, 32);
    EXPECT_EQ(buffer[32] | buffer[39], 0) << "wrote past the length";
    Kyc::seedRand("more entropy", 12);
    EXPECT_NE(Kyc::getRand(16), Kyc::getRand(16));
}

TEST_F(KycRandom, BadArgumentsThrow) {
    unsigned char buffer[4];
    EXPECT_THROW(Kyc::getRand(-1), KyException);
    EXPECT_THROW(Kyc::getRand(buffer, -4), KyException);
    EXPECT_THROW(Kyc::getRand(nullptr, 4), KyException);
    EXPECT_THROW(Kyc::seedRand(nullptr, 4), KyException);
    EXPECT_THROW(Kyc::seedRand(buffer, -1), KyException);
}

// ---- Names, hexadecimal text, WrongKey --------------------------------------------------------

TEST(Kyc, CipherNames) {
    struct Case {
        int type;
        const char* name;
    } cases[] = {{1, "Old Blowfish"}, {2, "Blowfish"}, {3, "AES"},     {4, "Serpent"},
                 {5, "Twofish"},      {6, "3DES"},     {7, "UNKNOWN"}, {8, "GOST"},
                 {0, "UNKNOWN"},      {9, "UNKNOWN"},  {-1, "UNKNOWN"}};
    for (const Case& c : cases)
        EXPECT_STREQ(Kyc::getCipherName(static_cast<Kyc::CIPHER>(c.type)), c.name) << c.type;
}

TEST(Kyc, Bin2HexIsLowercaseHighNibbleFirst) {
    const unsigned char bytes[] = {0x00, 0x0A, 0x1B, 0xF0, 0xFF};
    EXPECT_EQ(Kyc::bin2hex(bytes, 5), "000a1bf0ff");
    EXPECT_EQ(std::string(Kyc::bin2hex_s(KycBucket(bytes, 5)).c_str()), "000a1bf0ff");
    EXPECT_EQ(Kyc::bin2hex(nullptr, 0), "");
    EXPECT_THROW(Kyc::bin2hex(bytes, -1), KyException);
    EXPECT_THROW(Kyc::bin2hex_s(nullptr, 3), KyException);
}

TEST(Kyc, Hex2Bin) {
    struct Case {
        const char* text;
        const char* hexBack;  // null: throws
        const char* message;
    } cases[] = {
        {nullptr, "", nullptr},
        {"", "", nullptr},
        {"0A1b \n", "0a1b", nullptr},
        {"ffFF00\t\r\n", "ffff00", nullptr},
        {"abc", nullptr, "Cannot convert hex to bin: Input string does not have an even length."},
        {"zz", nullptr, "Cannot convert hex to bin: Illegal character encountered."},
        {" 0a", nullptr, "Cannot convert hex to bin: Input string does not have an even length."},
        {"0a  1b", nullptr, "Cannot convert hex to bin: Illegal character encountered."},
        {"0g", nullptr, "Cannot convert hex to bin: Illegal character encountered."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text != nullptr ? c.text : "(null)");
        if (c.hexBack != nullptr) {
            EXPECT_EQ(Kyc::bin2hex(Kyc::hex2bin(c.text)), c.hexBack);
            continue;
        }
        try {
            Kyc::hex2bin(c.text);
            ADD_FAILURE() << "no exception";
        } catch (const KyException& e) {
            EXPECT_STREQ(e.getFuncName(), "Kyc::hex2bin");
            EXPECT_STREQ(e.getMessage(), c.message);
        }
    }
}

TEST(Kyc, WrongKeyIsAKyExceptionWithErrnoMinusOne) {
    try {
        KYC_THROW_WRONG_KEY("Kyc::decryptTagData", "Failed to decrypt data: wrong decryption key.");
    } catch (const KyException& e) {
        EXPECT_NE(dynamic_cast<const Kyc::WrongKey*>(&e), nullptr);
        EXPECT_STREQ(e.getFuncName(), "Kyc::decryptTagData");
        EXPECT_STREQ(e.getMessage(), "Failed to decrypt data: wrong decryption key.");
        EXPECT_EQ(e.getErrno(), -1);
    }
}

}  // namespace
