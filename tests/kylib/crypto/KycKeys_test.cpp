#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "kylib/crypto/Kyc.h"
#include "kylib/crypto/KycBuiltinKeys.h"
#include "kylib/crypto/KycCipher.h"
#include "kylib/crypto/KycKeyWrap.h"
#include "kylib/crypto/KycRSA.h"
#include "kylib/diagnostics/KyException.h"
#include "tests/kylib/crypto/CryptoTestSupport.h"
#include "tests/kylib/crypto/FailingAllocations.h"
#include "tests/support/TempDir.h"

namespace {

KycBucket pattern(int len, int seed = 1) {
    KycBucket out(len);
    for (int i = 0; i < len; ++i)
        out[i] = static_cast<unsigned char>(i * 41 + seed * 7 + 1);
    return out;
}

KycBucket bytes(std::initializer_list<int> values) {
    KycBucket out;
    for (int v : values) {
        const unsigned char b = static_cast<unsigned char>(v);
        out.append(&b, 1);
    }
    return out;
}

KycBucket concat(std::initializer_list<KycBucket> parts) {
    KycBucket out;
    for (const KycBucket& part : parts)
        out.append(part);
    return out;
}

// A key file's two-byte big-endian record length.
KycBucket len2(int n) {
    return bytes({n >> 8, n});
}

KycBucket text(const std::string& s) {
    return KycBucket(s.data(), static_cast<int>(s.size()));
}

using kytest::thrownMessage;

template <class F>
bool throwsWrongKey(F&& f) {
    try {
        f();
    } catch (const Kyc::WrongKey&) {
        return true;
    } catch (const KyException&) {
        return false;
    }
    return false;
}

// One key pair per binary: generation is slow under the sanitizers.
struct KeyPair {
    KycBucket pubDer, priDer, pub, pri;
};

const KeyPair& keys() {
    static const KeyPair pair = [] {
        KeyPair p;
        Kyc::generateRSAPair(1024, p.pubDer, p.priDer, true);
        KycRSA rsa;
        rsa.setPriKey(p.priDer, true);
        p.pri = rsa.getPriKey(false);
        p.pub = rsa.getPubKey(false);
        return p;
    }();
    return pair;
}

// ---- Key wrapping -----------------------------------------------------------------------

TEST(KycKeys, WrappedKeysComeBackInEveryForm) {
    for (bool scramble : {true, false}) {
        for (int len : {1, 16, 32, 100}) {
            SCOPED_TRACE(std::to_string(scramble) + "/" + std::to_string(len));
            const KycBucket key = pattern(len);
            const KycBucket wrapped = Kyc::wrapKey(key, scramble);
            EXPECT_EQ(wrapped[0], scramble ? 0 : 1);
            EXPECT_EQ(Kyc::unWrapKey(wrapped), key);
            const std::string hex = Kyc::wrapKeyToHex(key, scramble);
            EXPECT_EQ(Kyc::unWrapKey(hex), key);
            EXPECT_EQ(Kyc::unWrapKey(hex.c_str()), key);
        }
    }
}

TEST(KycKeys, AesWrappingIsSaltedAndSized) {
    const KycBucket key = pattern(32);
    const KycBucket first = Kyc::wrapKey(key, false);
    // 32 key bytes and 8 random ones, padded to 48, plus the 8-byte check block.
    EXPECT_EQ(first.getSize(), 1 + 56);
    EXPECT_NE(Kyc::wrapKey(key, false), first);
}

TEST(KycKeys, UnwrappingRefusesWhatNoWrapWrites) {
    EXPECT_EQ(Kyc::unWrapKey(KycBucket()).getSize(), 0);
    EXPECT_EQ(Kyc::unWrapKey(static_cast<const char*>(nullptr)).getSize(), 0);
    EXPECT_EQ(thrownMessage([] {
                  Kyc::unWrapKey(bytes({2, 1, 2, 3}));
              }),
              "Key unwrapping failed: unknown method.");

    // Wrapped under the right key but too short to hold the salt.
    KycAES aes;
    aes.setKey(ky::builtin::kKeyWrapKey, ky::builtin::kKeyWrapKeySize);
    KycKeyWrap wrapper(&aes);
    const KycBucket unsalted = concat({bytes({1}), wrapper.wrap(pattern(5))});
    EXPECT_EQ(thrownMessage([&] { Kyc::unWrapKey(unsalted); }),
              "Key unwrapping failed: corrupt data.");

    const KycBucket wrapped = Kyc::wrapKey(pattern(16), false);
    for (int cut : {1, 2, 9, 17}) {
        SCOPED_TRACE(cut);
        const KycBucket shorter(wrapped.getData(), cut);
        EXPECT_NE(thrownMessage([&] { Kyc::unWrapKey(shorter); }), "(nothing thrown)");
    }
}

// ---- Sealed data keys -------------------------------------------------------------------

TEST(KycKeys, SealedDataKeyOpensWithTheMatchingKey) {
    for (bool der : {true, false}) {
        SCOPED_TRACE(der);
        const KycBucket& pub = der ? keys().pubDer : keys().pub;
        const KycBucket& pri = der ? keys().priDer : keys().pri;
        for (int len : {0, 16, 32, 200}) {
            const KycBucket sealed = Kyc::encryptDataKey(pattern(len), pub, der);
            EXPECT_EQ(sealed.getSize() % 128, 0);
            EXPECT_EQ(Kyc::decryptDataKey(sealed, pri, der), pattern(len)) << len;
        }
    }
}

// RSA blocks that decrypt fine but do not carry a data key with its check value.
TEST(KycKeys, SealedBlockWithoutItsCheckValueIsAWrongKey) {
    KycRSA rsa;
    rsa.setPubKey(keys().pubDer, true);
    const KycBucket key = pattern(16);
    const KycBucket cases[] = {
        KycBucket(),                         // nothing at all
        bytes({0x12, 0x34}),                 // shorter than a check value
        concat({key, bytes({0, 0, 0, 0})}),  // a check value that does not match
        concat({key, bytes({1})}),           // check value cut short
    };
    for (const KycBucket& plain : cases) {
        SCOPED_TRACE(plain.getSize());
        KycBucket sealed = rsa.encrypt(plain);
        if (sealed.getSize() == 0)
            sealed = rsa.encrypt(KycBucket(1));  // one zero byte: still too short
        EXPECT_TRUE(throwsWrongKey([&] { Kyc::decryptDataKey(sealed, keys().priDer, true); }));
    }
}

// Whoever can submit sealed keys must not tell one failure from another: a block whose
// PKCS #1 padding is wrong, one of the wrong length and one whose check value does not
// match all throw the same WrongKey with the same text.
TEST(KycKeys, EveryUnsealingFailureLooksTheSame) {
    const KycBucket key = pattern(16);
    const KycBucket sealed = Kyc::encryptDataKey(key, keys().pubDer, true);
    KycRSA raw;
    raw.setPubKey(keys().pubDer, true);
    raw.enablePadding(false);
    KycBucket flipped = sealed;
    flipped[5] ^= 0x40;
    KycRSA padded;
    padded.setPubKey(keys().pubDer, true);
    struct Case {
        const char* name;
        KycBucket sealed;
    } cases[] = {
        {"no padding at all", raw.encrypt(pattern(128))},
        {"one bit changed", flipped},
        {"one byte short", KycBucket(sealed.getData(), sealed.getSize() - 1)},
        {"check value wrong", padded.encrypt(concat({key, bytes({0, 0, 0, 0})}))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string got = "(nothing thrown)";
        try {
            Kyc::decryptDataKey(c.sealed, keys().priDer, true);
        } catch (const Kyc::WrongKey& e) {
            got = std::string("WrongKey ") + e.getFuncName() + ": " + e.getMessage();
        } catch (const KyException& e) {
            got = std::string("KyException ") + e.getFuncName() + ": " + e.getMessage();
        }
        EXPECT_EQ(got, "WrongKey Kyc::decryptDataKey: Failed to decrypt data key: wrong RSA key.");
    }
}

// ---- The key-pair file ------------------------------------------------------------------

class KeyFileTest : public ::testing::Test {
protected:
    // Loads `content` as a key file; the buckets start non-empty to show they survive a
    // failure untouched.
    std::string load(const KycBucket& content) {
        const std::string path = dir_.file("keys");
        kytest::writeFile(path, std::string(reinterpret_cast<const char*>(content.getData()),
                                            static_cast<std::size_t>(content.getSize())));
        FILE* f = std::fopen(path.c_str(), "rb");
        const std::string message = thrownMessage([&] { Kyc::loadRSAKeys(f, pub_, pri_); });
        std::fclose(f);
        return message;
    }

    kytest::TempDir dir_;
    KycBucket pub_ = pattern(3, 8);
    KycBucket pri_ = pattern(3, 9);
};

TEST_F(KeyFileTest, SavedKeysLoadBackFromAPrivateFile) {
    const std::string path = dir_.file("pair");
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    Kyc::saveRSAKeys(f, keys().pubDer, keys().priDer);
    std::fclose(f);

    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    f = std::fopen(path.c_str(), "rb");
    KycBucket pub, pri;
    Kyc::loadRSAKeys(f, pub, pri);
    std::fclose(f);
    EXPECT_EQ(pub, keys().pubDer);
    EXPECT_EQ(pri, keys().priDer);
}

TEST_F(KeyFileTest, RecordsMayUseEitherWrapping) {
    const KycBucket a = Kyc::wrapKey(pattern(40, 1), false);
    const KycBucket b = Kyc::scrambleToBin(pattern(50, 2));
    EXPECT_EQ(load(concat({bytes({0}), len2(a.getSize()), a, len2(b.getSize()), b})),
              "(nothing thrown)");
    EXPECT_EQ(pub_, pattern(40, 1));
    EXPECT_EQ(pri_, pattern(50, 2));
}

TEST_F(KeyFileTest, DamagedFilesAreRefusedAndChangeNothing) {
    const std::string corrupt = "Cannot load RSA keys: Corrupt data or unsupported file version.";
    const std::string tooShort = "Cannot load RSA keys: File is too short.";
    const KycBucket r = Kyc::scrambleToBin(pattern(20));
    const int n = r.getSize();
    struct Case {
        const char* what;
        KycBucket content;
        std::string message;  // empty: any KyException
    };
    const Case cases[] = {
        {"empty", KycBucket(), tooShort},
        {"version 1", concat({bytes({1}), len2(n), r, len2(n), r}), corrupt},
        {"version only", bytes({0}), tooShort},
        {"half a length", bytes({0, 0}), tooShort},
        {"first record past the end", concat({bytes({0}), len2(n + 1), r}), tooShort},
        {"huge first length", concat({bytes({0, 0xFF, 0xFF}), r}), tooShort},
        {"no second length", concat({bytes({0}), len2(n), r}), tooShort},
        {"second record past the end", concat({bytes({0}), len2(n), r, len2(n + 5), r}), tooShort},
        {"zero first length", concat({bytes({0, 0, 0}), len2(n), r}), corrupt},
        {"zero second length", concat({bytes({0}), len2(n), r, bytes({0, 0})}), corrupt},
        {"trailing bytes", concat({bytes({0}), len2(n), r, len2(n), r, bytes({0})}), corrupt},
        {"unknown wrapping", concat({bytes({0, 0, 3, 7, 1, 2}), len2(n), r}),
         "Key unwrapping failed: unknown method."},
        {"scrambled record cut",
         concat({bytes({0}), len2(n - 3), KycBucket(r.getData(), n - 3), len2(n), r}), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string message = load(c.content);
        if (c.message.empty())
            EXPECT_NE(message, "(nothing thrown)");
        else
            EXPECT_EQ(message, c.message);
        EXPECT_EQ(pub_, pattern(3, 8));
        EXPECT_EQ(pri_, pattern(3, 9));
    }
}

TEST_F(KeyFileTest, EmptyKeysAreNotSaved) {
    const std::string path = dir_.file("never");
    FILE* f = std::fopen(path.c_str(), "wb");
    EXPECT_EQ(thrownMessage([&] { Kyc::saveRSAKeys(f, KycBucket(), keys().priDer); }),
              "Cannot save RSA keys: they are empty.");
    EXPECT_EQ(thrownMessage([&] { Kyc::saveRSAKeys(f, keys().pubDer, KycBucket()); }),
              "Cannot save RSA keys: they are empty.");
    std::fclose(f);
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
}

// ---- Pass-phrase protection and transit --------------------------------------------------

TEST(KycKeys, PrivateKeyOpensOnlyWithItsPassPhrase) {
    const KycBucket key = keys().priDer;
    const KycBucket sealed = Kyc::encryptRSAPriKey(key, "open sesame");
    EXPECT_NE(sealed, key);
    EXPECT_EQ(Kyc::decryptRSAPriKey(sealed, "open sesame"), key);
    EXPECT_TRUE(Kyc::validatePassPhrase(sealed, "open sesame"));
    EXPECT_FALSE(Kyc::validatePassPhrase(sealed, "open sesame "));
    EXPECT_TRUE(throwsWrongKey([&] { Kyc::decryptRSAPriKey(sealed, "Open sesame"); }));
    // Without one, the built-in default stands in: null and empty are the same.
    const KycBucket byDefault = Kyc::encryptRSAPriKey(key, nullptr);
    EXPECT_EQ(Kyc::decryptRSAPriKey(byDefault, ""), key);
    EXPECT_EQ(Kyc::decryptRSAPriKey(byDefault, ky::builtin::kDefaultPassPhrase), key);
    EXPECT_FALSE(Kyc::validatePassPhrase(byDefault, "open sesame"));
    // Nothing to protect stays nothing.
    EXPECT_EQ(Kyc::encryptRSAPriKey(KycBucket(), "x").getSize(), 0);
    // A malformed record is not a wrong pass phrase: the failure passes through.
    EXPECT_NE(thrownMessage([] { Kyc::validatePassPhrase(pattern(13), "x"); }), "(nothing thrown)");
}

TEST(KycKeys, NetworkTransitNeedsTheSharedPassword) {
    for (int len : {1, 8, 15, 16, 1000}) {
        SCOPED_TRACE(len);
        const KycBucket sealed = Kyc::netEncrypt(pattern(len), "shared");
        EXPECT_EQ(Kyc::netDecrypt(sealed, "shared"), pattern(len));
        EXPECT_TRUE(throwsWrongKey([&] { Kyc::netDecrypt(sealed, "shared2"); }));
    }
    EXPECT_EQ(Kyc::netEncrypt(KycBucket(), nullptr).getSize(), 0);
    EXPECT_EQ(Kyc::netDecrypt(KycBucket(), nullptr).getSize(), 0);
    for (const char* password : {static_cast<const char*>(nullptr), ""}) {
        EXPECT_EQ(thrownMessage([&] { Kyc::netEncrypt(pattern(4), password); }),
                  "Cannot encrypt data for network transit: NULL or empty password.");
        EXPECT_EQ(thrownMessage([&] { Kyc::netDecrypt(pattern(16), password); }),
                  "Cannot decrypt network data: NULL or empty network password.");
    }
}

// ---- Exported pass phrases --------------------------------------------------------------

TEST(KycKeys, ExportedPassPhrasesComeBack) {
    const struct {
        int id;
        int len;
    } cases[] = {{7, 10}, {-5, 1}, {0x7FFFFFFF, 255}, {1, 1023}, {2, 1024}, {3, 3000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.len);
        std::string phrase(static_cast<std::size_t>(c.len), 'p');
        for (int i = 0; i < c.len; ++i)
            phrase[i] = static_cast<char>('a' + i % 26);
        const KycBucket exported = Kyc::exportPassPhrase(c.id, phrase.c_str());
        const int inner = c.len < 1024 ? 1027 : 3 + c.len;
        EXPECT_EQ(exported.getSize(), 5 + Kyc::scrambleToBin(KycBucket(inner)).getSize());
        int id = 0;
        std::string back;
        Kyc::importPassPhrase(exported, &id, &back);
        EXPECT_EQ(id, c.id);
        EXPECT_EQ(back, phrase);
        EXPECT_NO_THROW(Kyc::importPassPhrase(exported, nullptr, nullptr));
    }
    EXPECT_NE(Kyc::exportPassPhrase(7, "same"), Kyc::exportPassPhrase(7, "same"));
    for (const char* empty : {static_cast<const char*>(nullptr), ""})
        EXPECT_EQ(thrownMessage([&] { Kyc::exportPassPhrase(1, empty); }),
                  "Cannot export pass-phrase: it's empty or NULL.");
}

// An exported pass phrase around a hand-made inner block.
KycBucket exportedWith(const KycBucket& inner) {
    return concat({bytes({0, 0, 0, 0, 9}), Kyc::scrambleToBin(inner)});
}

KycBucket hidden(int len, int offset, const std::string& phrase, int areaSize = 1024) {
    KycBucket area = pattern(areaSize, 3);
    for (std::size_t i = 0; i < phrase.size() && offset + static_cast<int>(i) < areaSize; ++i)
        area[offset + static_cast<int>(i)] = static_cast<unsigned char>(phrase[i]);
    return concat({bytes({len >> 8, len, offset}), area});
}

TEST(KycKeys, CraftedPassPhraseDataFailsCleanly) {
    const std::string tooShort = "Cannot import pass-phrase: data is too short.";
    const std::string corrupt = "Cannot import pass-phrase: Unsupported version or corrupt data.";
    struct Case {
        const char* what;
        KycBucket data;
        std::string expected;  // the pass phrase when it starts with '=', else the message
    };
    const KycBucket good = Kyc::exportPassPhrase(9, "secret");
    const std::string kFills(769, 'f');  // from the largest offset to the area's end
    const Case cases[] = {
        {"empty", KycBucket(), tooShort},
        {"four bytes", bytes({0, 0, 0, 9}), tooShort},
        {"version 1", concat({bytes({1}), KycBucket(good.getData() + 1, good.getSize() - 1)}),
         corrupt},
        {"header only", bytes({0, 0, 0, 0, 9}), corrupt},
        {"unknown wrapping", concat({bytes({0, 0, 0, 0, 9, 5}), pattern(30)}),
         "Key unwrapping failed: unknown method."},
        {"scrambled block cut", KycBucket(good.getData(), good.getSize() - 5), ""},
        {"inner of two bytes", exportedWith(bytes({0, 5})), corrupt},
        {"length past the area", exportedWith(hidden(1000, 200, "x")), corrupt},
        {"huge length", exportedWith(hidden(0xFFFF, 255, "x")), corrupt},
        {"area cut short", exportedWith(hidden(10, 0, "0123456789", 20)), corrupt},
        {"long form empty", exportedWith(bytes({0, 0, 0})), corrupt},
        {"long form with offset", exportedWith(concat({bytes({0, 0, 5}), text("abcdefgh")})),
         corrupt},
        {"NUL inside", exportedWith(hidden(3, 0, std::string("a\0b", 3))), corrupt},
        {"largest offset, area filled", exportedWith(hidden(769, 255, kFills)), "=" + kFills},
        {"one past the area", exportedWith(hidden(770, 255, kFills + "x")), corrupt},
        {"long form, short phrase", exportedWith(concat({bytes({0, 0, 0}), text("hello")})),
         "=hello"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        int id = -1;
        std::string phrase = "unchanged";
        const std::string message =
            thrownMessage([&] { Kyc::importPassPhrase(c.data, &id, &phrase); });
        if (!c.expected.empty() && c.expected[0] == '=') {
            EXPECT_EQ(message, "(nothing thrown)");
            EXPECT_EQ(phrase, c.expected.substr(1));
            EXPECT_EQ(id, 9);
            continue;
        }
        if (c.expected.empty())
            EXPECT_NE(message, "(nothing thrown)");
        else
            EXPECT_EQ(message, c.expected);
        EXPECT_EQ(phrase, "unchanged");
        EXPECT_EQ(id, -1);
    }
}

TEST(KycKeys, PassPhraseTravelsThroughAFile) {
    kytest::TempDir dir;
    const std::string path = dir.file("phrase");
    FILE* f = std::fopen(path.c_str(), "wb");
    Kyc::exportPassPhrase(f, 42, "through a file");
    std::fclose(f);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    f = std::fopen(path.c_str(), "rb");
    int id = 0;
    std::string phrase;
    Kyc::importPassPhrase(f, &id, &phrase);
    std::fclose(f);
    EXPECT_EQ(id, 42);
    EXPECT_EQ(phrase, "through a file");
}

class PassPhraseDirTest : public ::testing::Test {
protected:
    void put(const std::string& name, const KycBucket& content) {
        kytest::writeFile(dir_.file(name),
                          std::string(reinterpret_cast<const char*>(content.getData()),
                                      static_cast<std::size_t>(content.getSize())));
    }
    kytest::TempDir dir_;
};

// Files that are not exported pass phrases sit beside ones that are; none stops the search.
TEST_F(PassPhraseDirTest, FindsTheFirstMatchPastFilesOfOtherKinds) {
    put("a-garbage", pattern(300));
    put("b-empty", KycBucket());
    put("c-other-id", Kyc::exportPassPhrase(3, "not this one"));
    put("d-bad-version", concat({bytes({1}), pattern(40)}));
    put("e-match", Kyc::exportPassPhrase(7, "the one"));
    put("f-match-later", Kyc::exportPassPhrase(7, "too late"));
    std::filesystem::create_directory(dir_.file("g-subdir"));

    std::string phrase, path;
    ASSERT_TRUE(Kyc::importPassPhrase(dir_.path().c_str(), 7, &phrase, &path));
    EXPECT_EQ(phrase, "the one");
    EXPECT_EQ(path, dir_.file("e-match"));

    ASSERT_TRUE(Kyc::importPassPhrase(dir_.path().c_str(), 3, &phrase, nullptr));
    EXPECT_EQ(phrase, "not this one");
    EXPECT_FALSE(Kyc::importPassPhrase(dir_.path().c_str(), 8, &phrase, &path));
}

// The folder may be one that others can write: what they link into it is not followed.
TEST_F(PassPhraseDirTest, LinksAreNotFollowed) {
    kytest::TempDir elsewhere;
    const std::string target = elsewhere.file("export");
    const KycBucket exported = Kyc::exportPassPhrase(7, "planted");
    kytest::writeFile(target, std::string(reinterpret_cast<const char*>(exported.getData()),
                                          static_cast<std::size_t>(exported.getSize())));
    std::filesystem::create_symlink(target, dir_.file("link"));
    std::string phrase;
    EXPECT_FALSE(Kyc::importPassPhrase(dir_.path().c_str(), 7, &phrase, nullptr));
    EXPECT_EQ(phrase, "");
}

TEST_F(PassPhraseDirTest, MissingDirectoryIsCreated) {
    const std::string missing = dir_.file("new/deeper");
    std::string phrase;
    EXPECT_FALSE(Kyc::importPassPhrase(missing.c_str(), 1, &phrase, nullptr));
    EXPECT_TRUE(std::filesystem::is_directory(missing));

    put("plain-file", pattern(4));
    const std::string blocked = dir_.file("plain-file/sub");
    EXPECT_EQ(thrownMessage([&] { Kyc::importPassPhrase(blocked.c_str(), 1, &phrase, nullptr); }),
              "Failed to create directory \"" + blocked + "\"");
}

// The descriptors this process has open.
int openDescriptors() {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++count;
    }
    return count;
}

// A failure of any kind while a file is being imported (here: memory running out at each
// allocation in turn) closes that file. Only the larger allocations fail: those of the
// directory listing, before any file is open, end the process when they fail (the
// standard library makes them where it cannot throw).
TEST_F(PassPhraseDirTest, NoFailureLeavesAFileOpen) {
    put("a-other-id", Kyc::exportPassPhrase(3, "not this one"));
    put("b-match", Kyc::exportPassPhrase(7, "the one"));
    std::string phrase;
    ASSERT_TRUE(Kyc::importPassPhrase(dir_.path().c_str(), 7, &phrase, nullptr));
    constexpr std::size_t kLargeAllocation = 256;
    const int before = openDescriptors();
    int failures = 0;
    for (long index = 0;; ++index) {
        bool failed = false;
        {
            kytest::FailAllocation failure(index, kLargeAllocation);
            try {
                Kyc::importPassPhrase(dir_.path().c_str(), 7, &phrase, nullptr);
            } catch (const std::bad_alloc&) {
            }
            failed = failure.failed();
        }
        if (!failed)
            break;  // the whole import ran without reaching allocation `index`
        ++failures;
        ASSERT_EQ(openDescriptors(), before) << "after allocation " << index << " failed";
    }
    EXPECT_GT(failures, 0);
    EXPECT_EQ(phrase, "the one");
}

// The static operations make their own objects; several threads may use them at once.
TEST(KycKeys, StaticOperationsRunOnSeveralThreads) {
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < 20; ++i) {
                const KycBucket key = pattern(16 + i, t);
                if (Kyc::unWrapKey(Kyc::wrapKey(key, (i & 1) != 0)) != key ||
                    Kyc::netDecrypt(Kyc::netEncrypt(key, "pw"), "pw") != key)
                    ++failures[t];
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
