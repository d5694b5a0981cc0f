#include "kylib/crypto/KYPassword.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kylib/crypto/Kyc.h"
#include "kylib/crypto/KycBuiltinKeys.h"
#include "kylib/platforminfo/KYPlatformInfo.h"
#include "os/DataProtection.h"
#include "os/Handle.h"
#include "os/sync/Sync.h"
#include "siblings/KyFocus/KYPI_Focus.h"
#include "tests/support/TempDir.h"

namespace {

using sstring = secure_basic_string<char>;
using swstring = secure_basic_string<wchar_t>;

constexpr const char* kRoot = "SOFTWARE\\Kelbrin Systems\\Sarvex";

std::string hexOf(const unsigned char* p, std::size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

std::string sha256(const std::string& s) {
    unsigned char d[32];
    SHA256(reinterpret_cast<const unsigned char*>(s.data()), s.size(), d);
    return std::string(reinterpret_cast<char*>(d), 32);
}

// Format '3'/'5'/'8' built independently: pad with p bytes of value p (1..8) to whole
// half-blocks, then the six rounds of RFC 3394 over AES-256 (ECB blocks) keyed with the
// given 32 bytes.
std::string handWrap(char format, const std::string& key32, const std::string& pwd) {
    std::string padded = pwd;
    const std::size_t pad = 8 - pwd.size() % 8;
    padded.append(pad, static_cast<char>(pad));
    const std::size_t n = padded.size() / 8;
    unsigned char a[8];
    std::memset(a, 0xA6, 8);
    std::vector<unsigned char> r(padded.begin(), padded.end());
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_aes_256_ecb(), nullptr,
                       reinterpret_cast<const unsigned char*>(key32.data()), nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    for (std::size_t j = 0; j < 6; ++j) {
        for (std::size_t i = 0; i < n; ++i) {
            unsigned char block[16], out[32];
            std::memcpy(block, a, 8);
            std::memcpy(block + 8, &r[8 * i], 8);
            int len = 0;
            if (EVP_EncryptUpdate(ctx, out, &len, block, 16) != 1 || len != 16)
                ADD_FAILURE() << "AES block failed";
            std::uint64_t t = n * j + i + 1;
            for (int k = 7; k >= 0; --k, t >>= 8)
                out[k] ^= static_cast<unsigned char>(t & 0xFF);
            std::memcpy(a, out, 8);
            std::memcpy(&r[8 * i], out + 8, 8);
        }
    }
    EVP_CIPHER_CTX_free(ctx);
    return std::string(1, format) + hexOf(a, 8) + hexOf(r.data(), r.size());
}

std::string pbkdf2Reference(const std::string& pwd, const std::string& salt) {
    unsigned char out[32];
    PKCS5_PBKDF2_HMAC(pwd.data(), static_cast<int>(pwd.size()),
                      reinterpret_cast<const unsigned char*>(salt.data()),
                      static_cast<int>(salt.size()), 1000, EVP_sha256(), 32, out);
    return "7" + hexOf(out, 32);
}

// The older variant: U1 = HMAC(password, salt) without the block index.
std::string legacyReference(const std::string& pwd, const std::string& salt) {
    unsigned char u[32], t[32];
    unsigned int len = 32;
    HMAC(EVP_sha256(), pwd.data(), static_cast<int>(pwd.size()),
         reinterpret_cast<const unsigned char*>(salt.data()), salt.size(), u, &len);
    std::memcpy(t, u, 32);
    for (int i = 1; i < 1000; ++i) {
        HMAC(EVP_sha256(), pwd.data(), static_cast<int>(pwd.size()), u, 32, u, &len);
        for (int k = 0; k < 32; ++k)
            t[k] ^= u[k];
    }
    return "6" + hexOf(t, 32);
}

std::string sha1Reference(const std::string& salt, const std::string& utf16le) {
    const std::string data = salt + utf16le;
    unsigned char d[20];
    SHA1(reinterpret_cast<const unsigned char*>(data.data()), data.size(), d);
    unsigned char b64[64];
    EVP_EncodeBlock(b64, d, 20);
    return "4" + std::string(reinterpret_cast<char*>(b64));
}

std::string plainOf(KYPassword& p, const std::string& text) {
    sstring out;
    if (!p.decrypt(sstring(text.c_str()), out))
        return "(failed)";
    return std::string(out.begin(), out.end());
}

// A private registry store and machine key per test, instance "Instance001", and the
// process-wide V8 caches forgotten before and after.
class PasswordTest : public kytest::StoreTest {
protected:
    void SetUp() override {
        kytest::StoreTest::SetUp();
        machineKey_ = dir_.file("machine.key");
        setenv("KY_MACHINE_KEY", machineKey_.c_str(), 1);
        KYPI_Focus::setFocus("Instance001");
        KYPI_Focus::setProductName("Sarvex");
        KYPI_Focus::setProductType(KELBRIN_PRODUCT_TYPE_DEFAULT);
        KYPI_Focus::setRemoteTesselFocus("");
        KYPassword::resetProcessCachesForTesting();
        mutexName_ = "V8_KEK_MUTEX_test_" + std::to_string(getpid());
        KYPassword::setV8KeyMutexNameForTesting(mutexName_.c_str());
    }
    void TearDown() override {
        KYPassword::setV8KeyMutexNameForTesting(nullptr);
        KYPassword::resetProcessCachesForTesting();
        KYPI_Focus::reload();
        unsetenv("KY_MACHINE_KEY");
        kytest::StoreTest::TearDown();
    }

    void setV5Key(const std::string& hex) {
        KYPlatformInfo store;
        ASSERT_TRUE(store.setRegString("~Kyd", "sKyPwdV5EncKey", hex.c_str()));
    }
    std::string installV5Key() {
        const KycBucket key = Kyc::getRand(32);
        setV5Key(Kyc::wrapKeyToHex(key, false));
        return std::string(reinterpret_cast<const char*>(key.getData()), 32);
    }
    std::string registryText(const char* key, const char* field) {
        KYPlatformInfo store;
        std::string value;
        store.getRegStringFromAbsPath(key, field, &value);
        return value;
    }
    void setNumber(const char* key, const char* field, unsigned long value) {
        KYPlatformInfo store;
        ASSERT_TRUE(store.setRegInt(key, field, value));
    }

    std::string machineKey_;
    std::string mutexName_;
};

// ---- Format '3' pinned byte for byte ---------------------------------------------------

struct StrongCase {
    const char* name;
    std::string pwd;
    const char* keyText;  // null: the built-in default
};

TEST_F(PasswordTest, StrongFormatMatchesIndependentWrap) {
    const StrongCase cases[] = {
        {"abc", "abc", nullptr},
        {"empty", "", nullptr},
        {"whole half-block", "12345678", nullptr},
        {"custom key", "secret", "{00000000-1111-2222-3333-444444444444}"},
        {"longest buffer form", std::string(511, 'x'), nullptr},
    };
    for (const StrongCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string key =
            sha256(c.keyText ? c.keyText : ky::builtin::kDefaultPasswordKeyText);
        const std::string expected = handWrap('3', key, c.pwd);
        ASSERT_EQ(expected.size(), 1 + 2 * (8 * (c.pwd.size() / 8 + 2)));

        KYPassword p;
        char out[2049];
        unsigned int len = sizeof out;
        ASSERT_EQ(1, p.encryptStrong(c.pwd.c_str(), out, &len, c.keyText));
        EXPECT_EQ(expected, out);
        EXPECT_EQ(expected.size() + 1, len);
        EXPECT_STREQ(expected.c_str(), p.getProtectedText());
        EXPECT_EQ(static_cast<int>(c.pwd.size()) + 1, p.getPwdSize());

        KYPassword reader;
        char plain[600];
        unsigned int plainLen = sizeof plain;
        ASSERT_EQ(1, reader.decrypt(expected.c_str(), plain, &plainLen, c.keyText));
        EXPECT_EQ(c.pwd, plain);
        EXPECT_EQ(c.pwd.size() + 1, plainLen);
    }
}

TEST_F(PasswordTest, DefaultKeyTextHasGuidForm) {
    const std::string text = ky::builtin::kDefaultPasswordKeyText;
    ASSERT_EQ(38u, text.size());
    EXPECT_EQ('{', text.front());
    EXPECT_EQ('}', text.back());
}

TEST_F(PasswordTest, AbcGivesThirtyThreeCharacters) {
    KYPassword p;
    ASSERT_EQ(1, p.encrypt("abc"));
    EXPECT_EQ(33, p.getProtectedLength());
    EXPECT_EQ('3', p.getProtectedText()[0]);
    EXPECT_EQ("abc", plainOf(p, p.getProtectedText()));
}

// ---- Round trips of every format and form ------------------------------------------------

TEST_F(PasswordTest, RoundTripsInEveryFormat) {
    const std::string v5 = installV5Key();
    const std::string pwds[] = {"p", "correct horse battery staple", std::string(300, 'q'),
                                "p\xc3\xa4ss\xe2\x82\xac"};
    for (const std::string& pwd : pwds) {
        for (char format : {'3', '5', '8'}) {
            SCOPED_TRACE(std::string(1, format) + " " + pwd.substr(0, 20));
            KYPassword p;
            sstring text;
            const sstring plain(pwd.c_str());
            int ok = 0;
            if (format == '3')
                ok = p.encryptStrong(plain, text, nullptr);
            else if (format == '5')
                ok = p.encryptV5(plain, text);
            else
                ok = p.encryptV8(plain, text);
            ASSERT_EQ(1, ok) << std::hex << p.getLastError();
            EXPECT_EQ(format, text[0]);
            EXPECT_EQ(std::string(text.c_str()), p.getProtectedText());

            KYPassword reader;
            EXPECT_EQ(pwd, plainOf(reader, text.c_str()));
            // The stored text decrypts, too, and compares equal.
            EXPECT_EQ(1, reader.comparePwd(pwd.c_str()));
        }
    }
    // '5' really is under the V5 key.
    KYPassword p;
    sstring text;
    ASSERT_EQ(1, p.encryptV5(sstring("abc"), text));
    EXPECT_EQ(handWrap('5', sha256(v5), "abc"), text.c_str());
}

TEST_F(PasswordTest, V8FormatIsUnderTheStoredMachineKey) {
    KYPassword p;
    sstring text;
    ASSERT_EQ(1, p.encryptV8(sstring("abc"), text));
    KycBucket key;
    ASSERT_EQ(1, p.getV8EncKey(key, false));
    ASSERT_EQ(32, key.getSize());
    const std::string raw(reinterpret_cast<const char*>(key.getData()), 32);
    EXPECT_EQ(handWrap('8', sha256(raw), "abc"), text.c_str());
    // The key sits in the product root and in the instance, as the same text.
    const std::string rootText = registryText(kRoot, "GlobalMiscProp");
    EXPECT_FALSE(rootText.empty());
    EXPECT_EQ(rootText, registryText("~Kyd", "GlobalMiscProp"));
}

TEST_F(PasswordTest, WideFormsConvertThroughUtf8) {
    const wchar_t* wide = L"p\u00e4ss\u20ac\U0001F600";
    const std::string utf8 = "p\xc3\xa4ss\xe2\x82\xac\xf0\x9f\x98\x80";
    using WideEncrypt = int (KYPassword::*)(const wchar_t*, char*, unsigned int*);
    const WideEncrypt forms[] = {&KYPassword::encrypt, &KYPassword::encryptV8};
    for (WideEncrypt form : forms) {
        KYPassword p;
        char out[512];
        unsigned int len = sizeof out;
        ASSERT_EQ(1, (p.*form)(wide, out, &len));
        KYPassword reader;
        EXPECT_EQ(utf8, plainOf(reader, out));
        wchar_t back[64];
        unsigned int backLen = 64;
        ASSERT_EQ(1, reader.decrypt(out, back, &backLen));
        EXPECT_EQ(std::wstring(wide), back);
        EXPECT_EQ(std::wcslen(wide) + 1, backLen);
        EXPECT_EQ(1, reader.comparePwd(wide));
    }
}

// ---- Failures ----------------------------------------------------------------------------

TEST_F(PasswordTest, WrongKeyTextFails) {
    KYPassword p;
    char out[100];
    unsigned int len = sizeof out;
    ASSERT_EQ(1, p.encrypt("abc", out, &len));
    KYPassword reader;
    char plain[100];
    unsigned int plainLen = sizeof plain;
    EXPECT_EQ(0, reader.decrypt(out, plain, &plainLen, "{another-key}"));
    EXPECT_EQ(KYPassword::kErrKeyUnusable, reader.getLastError());
}

struct MalformedCase {
    const char* name;
    std::string text;
    bool null;
    DWORD code;
};

TEST_F(PasswordTest, MalformedTextsAreRefused) {
    const std::string good = handWrap('3', sha256(ky::builtin::kDefaultPasswordKeyText), "abc");
    std::string flipped = good;
    flipped[5] = flipped[5] == '0' ? '1' : '0';
    const MalformedCase cases[] = {
        {"null", "", true, KYPassword::kErrNullArg},
        {"empty", "", false, KYPassword::kErrUnsupported},
        {"unknown format", "9" + good.substr(1), false, KYPassword::kErrUnsupported},
        {"legacy format", "1" + good.substr(1), false, KYPassword::kErrUnsupported},
        {"legacy wide format", "2" + good.substr(1), false, KYPassword::kErrUnsupported},
        {"not hexadecimal", "3zz" + good.substr(3), false, KYPassword::kErrUnsupported},
        {"odd length", good.substr(0, good.size() - 1), false, KYPassword::kErrUnsupported},
        {"one half-block", good.substr(0, 17), false, KYPassword::kErrUnsupported},
        {"partial half-block", good + "0000", false, KYPassword::kErrUnsupported},
        {"damaged", flipped, false, KYPassword::kErrKeyUnusable},
        {"2048 characters", "3" + std::string(2047, '0'), false, KYPassword::kErrTextTooLong},
    };
    for (const MalformedCase& c : cases) {
        SCOPED_TRACE(c.name);
        KYPassword p;
        char out[100];
        unsigned int len = sizeof out;
        EXPECT_EQ(0, p.decrypt(c.null ? nullptr : c.text.c_str(), out, &len));
        EXPECT_EQ(c.code, p.getLastError());
    }
}

TEST_F(PasswordTest, MissingOrBrokenKeysFail) {
    KYPassword writer;
    sstring v8Text;
    ASSERT_EQ(1, writer.encryptV8(sstring("abc"), v8Text));
    const std::string v5Like = handWrap('5', sha256("x"), "abc");

    struct Case {
        const char* name;
        std::string text;
        std::string v5Value;  // "": none stored
        bool dropV8;
        DWORD code;
    };
    const Case cases[] = {
        {"no V5 key", v5Like, "", false, KYPassword::kErrNoKey},
        {"V5 key not hexadecimal", v5Like, "01zz", false, KYPassword::kErrKeyUnusable},
        {"V5 key of another method", v5Like, "07aabb", false, KYPassword::kErrKeyUnusable},
        {"wrong V5 key", v5Like, Kyc::wrapKeyToHex(Kyc::getRand(32), false), false,
         KYPassword::kErrKeyUnusable},
        {"no V8 key", v8Text.c_str(), "", true, KYPassword::kErrNoKey},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KYPlatformInfo store;
        store.delRegField("~Kyd", "sKyPwdV5EncKey");
        if (!c.v5Value.empty())
            setV5Key(c.v5Value);
        if (c.dropV8) {
            store.delRegField("~Kyd", "GlobalMiscProp");
            store.delRegField(kRoot, "GlobalMiscProp");
            KYPassword::resetProcessCachesForTesting();
        }
        KYPassword p;
        sstring plain;
        EXPECT_EQ(0, p.decrypt(sstring(c.text.c_str()), plain));
        EXPECT_EQ(c.code, p.getLastError());
    }
    // A reader never creates the V8 key.
    EXPECT_EQ("", registryText(kRoot, "GlobalMiscProp"));
}

TEST_F(PasswordTest, V8KeyThatDoesNotOpenFails) {
    struct Case {
        const char* name;
        std::string value;
        DWORD code;
    };
    std::vector<unsigned char> shortBlob;
    ASSERT_TRUE(kyos::protectData("sixteen bytes!!!", 16, &shortBlob));
    const Case cases[] = {
        {"not hexadecimal", "xyz0", KYPassword::kErrKeyUnusable},
        {"not a protected blob", "0102030405", KYPassword::kErrDataProtection},
        {"protects the wrong size", Kyc::bin2hex(shortBlob.data(), 16 + 29),
         KYPassword::kErrKeyUnusable},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KYPassword::resetProcessCachesForTesting();
        KYPlatformInfo store;
        ASSERT_TRUE(store.setRegString(kRoot, "GlobalMiscProp", c.value.c_str()));
        store.delRegField("~Kyd", "GlobalMiscProp");
        KYPassword p;
        KycBucket key;
        EXPECT_EQ(0, p.getV8EncKey(key, true));
        EXPECT_EQ(c.code, p.getLastError());
    }
}

// ---- Buffers and lengths -------------------------------------------------------------------

TEST_F(PasswordTest, OutputBufferRule) {
    KYPassword p;
    unsigned int len = 0;
    ASSERT_EQ(1, p.encrypt("abc", nullptr, &len));
    EXPECT_EQ(34u, len);

    struct Case {
        unsigned int given;
        int result;
    };
    for (const Case& c : {Case{33, 0}, Case{34, 1}, Case{100, 1}}) {
        SCOPED_TRACE(c.given);
        char out[100];
        std::memset(out, '#', sizeof out);
        unsigned int size = c.given;
        EXPECT_EQ(c.result, p.encrypt("abc", out, &size));
        EXPECT_EQ(34u, size);
        if (c.result == 0) {
            EXPECT_EQ(KYPassword::kErrNullArg, p.getLastError());
            EXPECT_EQ('#', out[0]);
        } else {
            EXPECT_EQ(33u, std::strlen(out));
        }
    }
    EXPECT_EQ(0, p.encrypt("abc", nullptr, nullptr));
    EXPECT_EQ(KYPassword::kErrNullArg, p.getLastError());
    EXPECT_EQ(0, p.encrypt(static_cast<const char*>(nullptr)));
    EXPECT_EQ(KYPassword::kErrNullArg, p.getLastError());
}

// Long passwords are refused rather than written past the protected text, and reads hand
// back the whole password or fail.
TEST_F(PasswordTest, LongPasswordsAreRefusedNotTruncated) {
    struct Case {
        const char* name;
        std::size_t size;
        bool bufferForm;
        int result;
    };
    const Case cases[] = {
        {"buffer form, 511", 511, true, 1},      {"buffer form, 512", 512, true, 0},
        {"string form, 1007", 1007, false, 1},   {"string form, 1008", 1008, false, 0},
        {"string form, 16383", 16383, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string pwd(c.size, 'L');
        KYPassword p;
        int ok;
        if (c.bufferForm) {
            unsigned int len = 0;
            ok = p.encrypt(pwd.c_str(), nullptr, &len);
        } else {
            sstring out;
            ok = p.encryptStrong(sstring(pwd.c_str()), out, nullptr);
        }
        ASSERT_EQ(c.result, ok);
        if (ok == 0) {
            EXPECT_EQ(KYPassword::kErrPwdTooLong, p.getLastError());
            EXPECT_EQ(0, p.getProtectedLength());
            continue;
        }
        EXPECT_LT(p.getProtectedLength(), 2048);
        const std::string text = p.getProtectedText();
        EXPECT_EQ(pwd, plainOf(p, text));

        // A buffer one short of the password fails instead of cutting it.
        std::vector<char> buf(c.size + 1);
        unsigned int len = static_cast<unsigned int>(c.size);
        EXPECT_EQ(0, p.decrypt(text.c_str(), buf.data(), &len));
        EXPECT_EQ(KYPassword::kErrNullArg, p.getLastError());
        EXPECT_EQ(c.size + 1, len);
        ASSERT_EQ(1, p.decrypt(text.c_str(), buf.data(), &len));
        EXPECT_EQ(pwd, buf.data());
    }
}

// ---- Versions, storage, conversion ------------------------------------------------------------

TEST_F(PasswordTest, EncryptVersionSetting) {
    struct Case {
        DWORD version;
        int result;
    };
    for (const Case& c : {Case{'1', 1}, Case{'2', 1}, Case{'3', 0}, Case{'8', 0}, Case{0, 0}}) {
        SCOPED_TRACE(c.version);
        KYPassword p;
        EXPECT_EQ(static_cast<DWORD>('2'), p.getEncryptVersion());
        EXPECT_EQ(c.result, p.setEncryptVersion(c.version));
        if (c.result == 1) {
            EXPECT_EQ(c.version, p.getEncryptVersion());
        } else {
            EXPECT_EQ(KYPassword::kErrUnsupported, p.getLastError());
            EXPECT_EQ(static_cast<DWORD>('2'), p.getEncryptVersion());
        }
    }
}

TEST_F(PasswordTest, EncryptWithVersion) {
    struct Case {
        char version;
        int result;
        bool clears;
    };
    for (const Case& c :
         {Case{'3', 1, false}, Case{'1', 0, true}, Case{'2', 0, true}, Case{'9', 0, false}}) {
        SCOPED_TRACE(c.version);
        KYPassword p;
        ASSERT_EQ(1, p.encrypt("before"));
        const std::string before = p.getProtectedText();
        char out[100];
        unsigned int len = sizeof out;
        EXPECT_EQ(c.result, p.encryptWithVersion("abc", out, &len, c.version));
        if (c.result == 1) {
            EXPECT_EQ('3', out[0]);
            EXPECT_EQ("abc", plainOf(p, out));
            continue;
        }
        EXPECT_EQ(KYPassword::kErrUnsupported, p.getLastError());
        EXPECT_EQ(c.clears ? std::string() : before, p.getProtectedText());
    }
}

TEST_F(PasswordTest, PutEncPwdAcceptsOnlyStorableFormats) {
    installV5Key();
    KYPassword maker;
    sstring t3, t5, t8;
    ASSERT_EQ(1, maker.encryptStrong(sstring("pw3"), t3, nullptr));
    ASSERT_EQ(1, maker.encryptV5(sstring("pw5"), t5));
    ASSERT_EQ(1, maker.encryptV8(sstring("pw8"), t8));

    struct Case {
        const char* name;
        std::string text;
        int result;
        DWORD code;
    };
    const Case cases[] = {
        {"strong", t3.c_str(), 1, 0},
        {"V8", t8.c_str(), 1, 0},
        {"V5", t5.c_str(), 0, KYPassword::kErrUnsupported},
        {"legacy", "1abcdef", 0, KYPassword::kErrUnsupported},
        {"unknown", "9abcdef", 0, KYPassword::kErrUnsupported},
        {"2049 characters", "3" + std::string(2048, '0'), 0, KYPassword::kErrTextTooLong},
        {"wrong key", handWrap('3', sha256("other"), "x"), 0, KYPassword::kErrKeyUnusable},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KYPassword p;
        EXPECT_EQ(c.result, p.putEncPwd(c.text.c_str()));
        if (c.result == 1) {
            EXPECT_EQ(c.text, p.getProtectedText());
        } else {
            EXPECT_EQ(c.code, p.getLastError());
        }
    }
    // A '5' text is still readable, only not storable.
    KYPassword reader;
    EXPECT_EQ("pw5", plainOf(reader, t5.c_str()));
}

TEST_F(PasswordTest, GetEncPwdReencryptsInTheAskedFormat) {
    installV5Key();
    struct Case {
        DWORD version;
        char format;
    };
    const Case cases[] = {
        {KYPassword::kVersion1, '3'}, {KYPassword::kVersion2, '3'}, {KYPassword::kVersion3, '3'},
        {KYPassword::kVersion5, '5'}, {KYPassword::kVersion8, '8'},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        KYPassword p;
        ASSERT_EQ(1, p.encrypt("stored one"));
        const int size = p.getEncPwdSize(c.version);
        ASSERT_GT(size, 0);
        std::vector<char> out(static_cast<std::size_t>(size));
        unsigned int len = static_cast<unsigned int>(size);
        ASSERT_EQ(1, p.getEncPwd(out.data(), &len, c.version));
        EXPECT_EQ(c.format, out[0]);
        EXPECT_EQ(static_cast<std::size_t>(size), std::strlen(out.data()) + 1);
        KYPassword reader;
        EXPECT_EQ("stored one", plainOf(reader, out.data()));
    }
    KYPassword p;
    ASSERT_EQ(1, p.encrypt("x"));
    EXPECT_EQ(0, p.getEncPwdSize(0x39000000));
    EXPECT_EQ(KYPassword::kErrUnsupported, p.getLastError());
    KYPassword empty;
    EXPECT_EQ(0, empty.getEncPwdSize(KYPassword::kVersion3));
}

TEST_F(PasswordTest, ConversionsBetweenFormats) {
    installV5Key();
    using Convert = int (KYPassword::*)(const sstring&, sstring&);
    struct Case {
        const char* name;
        Convert convert;
        char format;
    };
    const Case cases[] = {
        {"to V3", &KYPassword::ConvertToV3, '3'},
        {"to V5", &KYPassword::ConvertToV5, '5'},
        {"to V8", &KYPassword::ConvertToV8, '8'},
    };
    KYPassword maker;
    sstring t3, t5, t8;
    ASSERT_EQ(1, maker.encryptStrong(sstring("conv"), t3, nullptr));
    ASSERT_EQ(1, maker.encryptV5(sstring("conv"), t5));
    ASSERT_EQ(1, maker.encryptV8(sstring("conv"), t8));
    for (const Case& c : cases) {
        for (const sstring& from : {t3, t5, t8}) {
            SCOPED_TRACE(std::string(c.name) + " from " + from[0]);
            KYPassword p;
            sstring out;
            ASSERT_EQ(1, (p.*c.convert)(from, out));
            EXPECT_EQ(c.format, out[0]);
            EXPECT_EQ("conv", plainOf(p, out.c_str()));
        }
    }
    KYPassword p;
    char out[100];
    unsigned int len = sizeof out;
    ASSERT_EQ(1, p.ConvertToV8(t3.c_str(), out, &len));
    EXPECT_EQ('8', out[0]);
    len = sizeof out;
    ASSERT_EQ(1, p.ConvertToV3(out, out, &len));
    EXPECT_EQ('3', out[0]);
    EXPECT_EQ("conv", plainOf(p, out));

    sstring asmOut("untouched");
    EXPECT_EQ(0, p.ConvertToASM(t3, asmOut));
    EXPECT_EQ(0, p.encryptASM(sstring("x"), asmOut));
    EXPECT_EQ("untouched", std::string(asmOut.c_str()));
}

TEST_F(PasswordTest, Comparisons) {
    KYPassword p;
    ASSERT_EQ(1, p.encrypt("Secret1"));
    const std::string stored = p.getProtectedText();
    struct Case {
        const char* given;
        int result;
    };
    for (const Case& c : {Case{"Secret1", 1}, Case{"secret1", 0}, Case{"Secret", 0},
                          Case{"Secret12", 0}, Case{"", 0}}) {
        SCOPED_TRACE(c.given);
        EXPECT_EQ(c.result, p.comparePwd(c.given));
        if (c.result == 0) {
            EXPECT_EQ(KYPassword::kErrMismatch, p.getLastError());
        }

        KYPassword other;
        ASSERT_EQ(1, other.encrypt(c.given));
        EXPECT_EQ(c.result, p.compareEncPwd(other.getProtectedText()));
        // Comparing leaves the stored password alone.
        EXPECT_EQ(stored, p.getProtectedText());
    }
    EXPECT_EQ(0, p.comparePwd(static_cast<const char*>(nullptr)));
    EXPECT_EQ(KYPassword::kErrNullArg, p.getLastError());
}

// ---- Hashes ----------------------------------------------------------------------------------

TEST_F(PasswordTest, HashesMatchIndependentComputation) {
    const std::string salt(64, 'a');
    const std::string pwds[] = {"", "pw", "p\xc3\xa4ss", std::string(100, 'k')};
    for (const std::string& pwd : pwds) {
        SCOPED_TRACE(pwd.size());
        KYPassword p;
        std::string hash;
        ASSERT_EQ(1, p.hashPassword(pwd, salt, &hash));
        EXPECT_EQ(pbkdf2Reference(pwd, salt), hash);
        EXPECT_EQ(1, p.validatePassword(pwd, hash, salt));
        EXPECT_EQ(1, p.validatePassword(pwd, legacyReference(pwd, salt), salt));
    }
    // '4': SHA-1 of the salt's bytes and the UTF-16LE password, Base64.
    KYPassword p;
    const std::string sha1Hash = sha1Reference("salt", std::string("p\0\xe4\0", 4));
    EXPECT_EQ(1, p.validatePassword("p\xc3\xa4", sha1Hash, "salt"));
    EXPECT_EQ(0, p.validatePassword("p", sha1Hash, "salt"));
}

TEST_F(PasswordTest, ValidatePasswordVerdicts) {
    KYPassword maker;
    std::string salt, hash;
    ASSERT_EQ(1, maker.hashPassword("right", &salt, &hash));
    ASSERT_EQ(1, maker.encrypt("right"));
    const std::string protectedText = maker.getProtectedText();
    const std::string legacy = legacyReference("right", salt);
    const std::string sha1Hash = sha1Reference(salt, std::string("r\0i\0g\0h\0t\0", 10));

    struct Case {
        const char* name;
        std::string pwd;
        std::string stored;
        std::string salt;
        int result;
        DWORD code;
    };
    const Case cases[] = {
        {"7 right", "right", hash, salt, 1, 0},
        {"7 wrong", "wrong", hash, salt, 0, KYPassword::kErrMismatch},
        {"7 other salt", "right", hash, salt + "0", 0, KYPassword::kErrMismatch},
        {"7 no salt", "right", hash, "", 0, KYPassword::kErrNullArg},
        {"7 cut short", "right", hash.substr(0, 40), salt, 0, KYPassword::kErrMismatch},
        {"6 right", "right", legacy, salt, 1, 0},
        {"6 wrong", "Right", legacy, salt, 0, KYPassword::kErrMismatch},
        {"4 right", "right", sha1Hash, salt, 1, 0},
        {"4 wrong", "righ", sha1Hash, salt, 0, KYPassword::kErrMismatch},
        {"protected right", "right", protectedText, "", 1, 0},
        {"protected wrong", "righT", protectedText, "", 0, KYPassword::kErrMismatch},
        {"empty stored", "right", "", salt, 0, KYPassword::kErrUnsupported},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KYPassword p;
        EXPECT_EQ(c.result, p.validatePassword(c.pwd, c.stored, c.salt));
        if (c.result == 0) {
            EXPECT_EQ(c.code, p.getLastError());
        }
    }
}

TEST_F(PasswordTest, FreshSaltsDiffer) {
    KYPassword p;
    std::string salt1, salt2, hash1, hash2;
    ASSERT_EQ(1, p.hashPassword("same", &salt1, &hash1));
    ASSERT_EQ(1, p.hashPassword("same", &salt2, &hash2));
    EXPECT_EQ(64u, salt1.size());
    EXPECT_EQ(std::string::npos, salt1.find_first_not_of("0123456789abcdef"));
    EXPECT_NE(salt1, salt2);
    EXPECT_NE(hash1, hash2);
    EXPECT_EQ(1, p.validatePassword("same", hash1, salt1));
    EXPECT_EQ(1, p.validatePassword("same", hash2, salt2));
    EXPECT_EQ(0, p.validatePassword("other", hash1, salt1));

    EXPECT_EQ(0, p.hashPassword("x", std::string(), &hash1));
    EXPECT_EQ(KYPassword::kErrNullArg, p.getLastError());
    EXPECT_EQ(0, p.hashPassword("x", salt1, nullptr));
    EXPECT_EQ(KYPassword::kErrNullArg, p.getLastError());
}

TEST_F(PasswordTest, TextKinds) {
    struct Case {
        const char* text;
        bool hash;
        bool v8;
    };
    const Case cases[] = {
        {nullptr, false, false}, {"", false, false},     {"4abc", true, false},
        {"6abc", true, false},   {"7abc", true, false},  {"8abc", false, true},
        {"3abc", false, false},  {"5abc", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(null)");
        EXPECT_EQ(c.hash, KYPassword::isHashPassword(c.text));
        EXPECT_EQ(c.v8, KYPassword::isV8Password(c.text));
    }
}

// ---- The V8 key and switch ---------------------------------------------------------------------

TEST_F(PasswordTest, V8KeyIsCreatedOnceAndFoundAgain) {
    KYPassword p;
    sstring first;
    ASSERT_EQ(1, p.encryptV8(sstring("abc"), first));
    const std::string stored = registryText(kRoot, "GlobalMiscProp");
    // Another process starts with an empty cache and finds the same key.
    KYPassword::resetProcessCachesForTesting();
    KYPassword reader;
    EXPECT_EQ("abc", plainOf(reader, first.c_str()));
    sstring second;
    ASSERT_EQ(1, reader.encryptV8(sstring("abc"), second));
    EXPECT_EQ(first, second);
    EXPECT_EQ(stored, registryText(kRoot, "GlobalMiscProp"));
}

TEST_F(PasswordTest, V8KeyOfTheProductRootIsCopiedToTheInstance) {
    KYPassword p;
    sstring text;
    ASSERT_EQ(1, p.encryptV8(sstring("abc"), text));
    KYPlatformInfo store;
    ASSERT_TRUE(store.delRegField("~Kyd", "GlobalMiscProp"));
    KYPassword::resetProcessCachesForTesting();
    EXPECT_EQ("abc", plainOf(p, text.c_str()));
    EXPECT_EQ(registryText(kRoot, "GlobalMiscProp"), registryText("~Kyd", "GlobalMiscProp"));
}

TEST_F(PasswordTest, ThreadsRacingForTheV8KeyShareOne) {
    constexpr int kThreads = 8;
    std::vector<std::string> keys(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&keys, i] {
            KYPassword p;
            KycBucket key;
            if (p.getV8EncKey(key, true))
                keys[i] = Kyc::bin2hex(key);
        });
    }
    for (std::thread& t : threads)
        t.join();
    for (const std::string& key : keys) {
        EXPECT_EQ(64u, key.size());
        EXPECT_EQ(keys[0], key);
    }
}

TEST_F(PasswordTest, ProcessesRacingForTheV8KeyShareOne) {
    constexpr int kProcesses = 6;
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    // The children wait at `go` until all exist, so that they race for real.
    int go[2];
    ASSERT_EQ(0, pipe(go));
    std::vector<pid_t> children;
    for (int i = 0; i < kProcesses; ++i) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(go[1]);
            char ignored;
            while (read(go[0], &ignored, 1) > 0) {
            }
            KYPassword::resetProcessCachesForTesting();
            KYPassword p;
            KycBucket key;
            std::string line = "fail\n";
            if (p.getV8EncKey(key, true))
                line = Kyc::bin2hex(key) + "\n";
            const ssize_t written = write(fds[1], line.data(), line.size());
            _exit(written == static_cast<ssize_t>(line.size()) ? 0 : 1);
        }
        children.push_back(pid);
    }
    close(go[0]);
    close(go[1]);
    close(fds[1]);
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::string all;
    char buf[512];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        all.append(buf, static_cast<std::size_t>(n));
    close(fds[0]);
    std::set<std::string> distinct;
    std::size_t lines = 0;
    for (std::size_t start = 0, end; (end = all.find('\n', start)) != std::string::npos;
         start = end + 1, ++lines)
        distinct.insert(all.substr(start, end - start));
    EXPECT_EQ(static_cast<std::size_t>(kProcesses), lines);
    ASSERT_EQ(1u, distinct.size());
    EXPECT_NE("fail", *distinct.begin());
    // This process reads the one key the children agreed on.
    KYPassword p;
    KycBucket key;
    ASSERT_EQ(1, p.getV8EncKey(key, false));
    EXPECT_EQ(*distinct.begin(), Kyc::bin2hex(key));
}

// Without the machine-wide mutex a process must not make a key of its own: the others
// could never read what it protects. Here the name is held by an object of another kind.
TEST_F(PasswordTest, V8KeyIsNotMadeWithoutTheMachineMutex) {
    const HANDLE squatter = kyos::createEvent(TRUE, FALSE, mutexName_.c_str());
    ASSERT_NE(squatter, nullptr);
    struct Case {
        bool create;
        DWORD code;
    } cases[] = {{true, KYPassword::kErrKeyWrite}, {false, KYPassword::kErrNoKey}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.create);
        KYPassword p;
        KycBucket key;
        EXPECT_EQ(0, p.getV8EncKey(key, c.create));
        EXPECT_EQ(c.code, p.getLastError());
        EXPECT_EQ("", registryText(kRoot, "GlobalMiscProp"));
        EXPECT_EQ("", registryText("~Kyd", "GlobalMiscProp"));
    }
    sstring text;
    KYPassword writer;
    EXPECT_EQ(0, writer.encryptV8(sstring("abc"), text));
    kyos::closeHandle(squatter);
    // Once the mutex can be had, the key is made as usual.
    KycBucket key;
    EXPECT_EQ(1, writer.getV8EncKey(key, true));
    EXPECT_EQ(32, key.getSize());
}

// A process that died holding the mutex (perhaps while making the key) does not lock the
// others out: the mutex is theirs, and the key is looked for again under it.
TEST_F(PasswordTest, AbandonedMachineMutexCountsAsTaken) {
    // Kept open here, so that the mutex outlives its owner and is found abandoned.
    const HANDLE mine = kyos::createMutex(FALSE, mutexName_.c_str());
    ASSERT_NE(mine, nullptr);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const HANDLE owner = kyos::createMutex(FALSE, mutexName_.c_str());
        const bool taken =
            owner != nullptr && kyos::waitForSingleObject(owner, INFINITE) == WAIT_OBJECT_0;
        _exit(taken ? 0 : 1);  // still holding it
    }
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    KYPassword p;
    KycBucket key;
    EXPECT_EQ(1, p.getV8EncKey(key, true));
    EXPECT_NE("", registryText(kRoot, "GlobalMiscProp"));
    kyos::closeHandle(mine);
}

// The key is the machine's, made by whichever process of whichever account comes first:
// every other account must be able to open the mutex it made.
TEST_F(PasswordTest, MachineMutexIsOpenToEveryAccount) {
    std::atomic<bool> seen{false};
    // Makes the key again and again, so that the mutex keeps being made, until it is seen.
    std::thread maker([&seen] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!seen.load() && std::chrono::steady_clock::now() < deadline) {
            KYPassword::resetProcessCachesForTesting();
            KYPlatformInfo store;
            store.delRegField(kRoot, "GlobalMiscProp");
            store.delRegField("~Kyd", "GlobalMiscProp");
            KYPassword p;
            KycBucket key;
            p.getV8EncKey(key, true);
        }
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    mode_t mode = 0;
    while (!seen.load() && std::chrono::steady_clock::now() < deadline) {
        // Held open here, the mutex stays while its mode is read.
        const HANDLE h = kyos::openMutex(SYNCHRONIZE, mutexName_.c_str());
        if (h == nullptr)
            continue;
        struct stat st {};
        if (::stat(kyos::namedObjectPath(mutexName_.c_str()).c_str(), &st) == 0) {
            mode = st.st_mode & 0777;
            seen.store(true);
        }
        kyos::closeHandle(h);
    }
    maker.join();
    ASSERT_TRUE(seen.load()) << "the mutex was never seen";
    EXPECT_EQ(0666u, mode);
}

TEST_F(PasswordTest, V8Enablement) {
    struct Case {
        const char* name;
        long instanceFlag;  // -1: absent
        long rootFlag;
        bool expected;
    };
    const Case cases[] = {
        {"absent", -1, -1, true},
        {"instance off", 0, -1, false},
        {"instance on, root off", 1, 0, true},
        {"root off", -1, 0, false},
        {"root on", -1, 5, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KYPassword::resetProcessCachesForTesting();
        KYPlatformInfo store;
        store.delRegField("~", "CryptUseV8Encryption");
        store.delRegField(kRoot, "CryptUseV8Encryption");
        if (c.instanceFlag >= 0)
            setNumber("~", "CryptUseV8Encryption", static_cast<unsigned long>(c.instanceFlag));
        if (c.rootFlag >= 0)
            setNumber(kRoot, "CryptUseV8Encryption", static_cast<unsigned long>(c.rootFlag));
        EXPECT_EQ(c.expected, KYPassword::isV8EncryptionEnabled());
        // Computed once: a later change is not seen by this process.
        setNumber("~", "CryptUseV8Encryption", c.expected ? 0 : 1);
        EXPECT_EQ(c.expected, KYPassword::isV8EncryptionEnabled());
    }
}

TEST_F(PasswordTest, V8EnablementFirstChatterCallAndNoFocus) {
    setNumber("~Session", "nChatterFlag", 1);
    EXPECT_FALSE(KYPassword::isV8EncryptionEnabled());
    EXPECT_TRUE(KYPassword::isV8EncryptionEnabled());

    KYPassword::resetProcessCachesForTesting();
    KYPI_Focus::setFocus("");
    if (*KYPI_Focus::getFocus() == '\0') {
        EXPECT_FALSE(KYPassword::isV8EncryptionEnabled());
    }
}

// ---- Network keys ------------------------------------------------------------------------------

// Keys made within one clock tick must still differ: a clock-seeded generator repeats them.
TEST_F(PasswordTest, EncryptKeysAreUnpredictable) {
    std::set<DWORD> keys;
    for (int i = 0; i < 32; ++i) {
        const DWORD key = KYPassword::createEncryptKey();
        EXPECT_NE(0u, key);
        keys.insert(key);
        KYPassword p;
        EXPECT_EQ(1, p.validateEncryptKey(key));
    }
    EXPECT_EQ(32u, keys.size());
    KYPassword p;
    EXPECT_EQ(0, p.validateEncryptKey(0));
}

TEST_F(PasswordTest, NetworkSchemeIsRefused) {
    char out[64];
    wchar_t wout[64];
    unsigned int len = 64;
    DWORD key = 0;
    struct Case {
        const char* name;
        std::function<int(KYPassword&)> call;
        DWORD code;
    };
    const Case cases[] = {
        {"encrypt", [&](KYPassword& p) { return p.networkEncrypt("pw", out, &len, 7); },
         KYPassword::kErrUnsupported},
        {"encrypt wide", [&](KYPassword& p) { return p.networkEncrypt(L"pw", out, &len, 7); },
         KYPassword::kErrUnsupported},
        {"decrypt", [&](KYPassword& p) { return p.networkDecrypt("0a0b", out, &len, 7); },
         KYPassword::kErrUnsupported},
        {"decrypt wide", [&](KYPassword& p) { return p.networkDecrypt("0a0b", wout, &len, 7); },
         KYPassword::kErrUnsupported},
        {"get", [&](KYPassword& p) { return p.getNetworkEncPwd(out, &len, &key); },
         KYPassword::kErrUnsupported},
        {"put", [&](KYPassword& p) { return p.putNetworkEncPwd("0a0b", 7); },
         KYPassword::kErrUnsupported},
        {"encrypt null",
         [&](KYPassword& p) {
             return p.networkEncrypt(static_cast<const char*>(nullptr), out, &len, 7);
         },
         KYPassword::kErrNullArg},
        {"get null key", [&](KYPassword& p) { return p.getNetworkEncPwd(out, &len, nullptr); },
         KYPassword::kErrNullArg},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KYPassword p;
        EXPECT_EQ(0, c.call(p));
        EXPECT_EQ(c.code, p.getLastError());
    }
}

// ---- Object life -------------------------------------------------------------------------------

TEST_F(PasswordTest, PrintErrorsWritesTheOperationAndCode) {
    KYPassword loud(1);
    testing::internal::CaptureStdout();
    char out[10];
    unsigned int len = sizeof out;
    EXPECT_EQ(0, loud.decrypt("9abc", out, &len));
    EXPECT_EQ("\nError: KYPassword::decrypt " + std::to_string(0x140000AEUL) + "\n",
              testing::internal::GetCapturedStdout());

    KYPassword quiet;
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, quiet.decrypt("9abc", out, &len));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
}

TEST_F(PasswordTest, CopiesCarryTheStoredPassword) {
    KYPassword p(1);
    char out[100];
    unsigned int len = sizeof out;
    ASSERT_EQ(1, p.encryptStrong("copied", out, &len, "{custom}"));
    ASSERT_EQ(1, p.setEncryptVersion('1'));
    KYPassword copy(p);
    KYPassword assigned;
    assigned = p;
    for (KYPassword* q : {&copy, &assigned}) {
        EXPECT_STREQ(p.getProtectedText(), q->getProtectedText());
        EXPECT_EQ(p.getPwdSize(), q->getPwdSize());
        EXPECT_EQ(static_cast<DWORD>('1'), q->getEncryptVersion());
        // The key text travels too, so the copy still reads its own text.
        EXPECT_EQ(1, q->comparePwd("copied"));
    }
}

TEST_F(PasswordTest, DestructorWipesTheProtectedText) {
    alignas(KYPassword) unsigned char storage[sizeof(KYPassword)];
    auto* p = new (storage) KYPassword;
    ASSERT_EQ(1, p->encrypt("wipe me"));
    const std::string text = p->getProtectedText();
    p->~KYPassword();
    const std::string raw(reinterpret_cast<const char*>(storage), sizeof storage);
    EXPECT_EQ(std::string::npos, raw.find(text.substr(0, 16)));
}

TEST_F(PasswordTest, SignedTexts) {
    KYPassword p;
    bool isSigned = true;
    EXPECT_EQ(1, p.verify(sstring("3abc"), sstring(), isSigned));
    EXPECT_FALSE(isSigned);
    EXPECT_EQ(1, p.verify(sstring("S00"), sstring(), isSigned));
    EXPECT_FALSE(isSigned);
    EXPECT_EQ(0, p.verify(sstring("S00103abcdef"), sstring(), isSigned));
    EXPECT_TRUE(isSigned);
    EXPECT_EQ(KYPassword::kErrDataProtection, p.getLastError());
}

}  // namespace
