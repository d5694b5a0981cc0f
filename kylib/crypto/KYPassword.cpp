#include "kylib/crypto/KYPassword.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "kylib/crypto/Kyc.h"
#include "kylib/crypto/KycBuiltinKeys.h"
#include "kylib/crypto/KycCipher.h"
#include "kylib/crypto/KycHash.h"
#include "kylib/crypto/KycKeyWrap.h"
#include "kylib/diagnostics/EvDebug.h"
#include "kylib/diagnostics/KyException.h"
#include "kylib/platforminfo/KYPlatformInfo.h"
#include "os/DataProtection.h"
#include "os/Handle.h"
#include "os/LastError.h"
#include "os/sync/Sync.h"
#include "siblings/HbUtils/HbBase64.h"
#include "siblings/KyFocus/KYPI_Focus.h"

namespace {

constexpr const char* kProductRootPrefix = "SOFTWARE\\Kelbrin Systems\\";
constexpr const char* kDefaultInstance = "Instance001";
constexpr const char* kKydSection = "~Kyd";
constexpr const char* kV8KeyValue = "GlobalMiscProp";
constexpr const char* kV8MutexName = "V8_KEK_MUTEX";
constexpr int kV8KeySize = 32;
constexpr int kSaltSize = 32;
constexpr int kHashSize = 32;
constexpr int kPbkdf2Iterations = 1000;
// The reader refuses texts of this many characters or more.
constexpr int kMaxReadableText = 2048;

using sstring = secure_basic_string<char>;
using swstring = secure_basic_string<wchar_t>;

std::string productRoot() {
    const char* name = KYPI_Focus::getProductName();
    return std::string(kProductRootPrefix) + (name != nullptr && *name != '\0' ? name : "Sarvex");
}

bool hasFocus() {
    const char* focus = KYPI_Focus::getFocus();
    return focus != nullptr && *focus != '\0';
}

// Equal lengths and bytes, in time that depends on the lengths only.
bool equalConstantTime(const void* a, std::size_t aLen, const void* b, std::size_t bLen) {
    const auto* x = static_cast<const unsigned char*>(a);
    const auto* y = static_cast<const unsigned char*>(b);
    const std::size_t n = aLen > bLen ? aLen : bLen;
    volatile unsigned char diff = aLen == bLen ? 0 : 1;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char cx = i < aLen ? x[i] : 0;
        const unsigned char cy = i < bLen ? y[i] : 0;
        diff = diff | static_cast<unsigned char>(cx ^ cy);
    }
    return diff == 0;
}

// ---- UTF-8 <-> code points (strict: no overlongs, surrogates or values past U+10FFFF) ----

bool decodeUtf8(const sstring& in, secure_basic_string<char32_t>& out) {
    out.clear();
    const auto* s = reinterpret_cast<const unsigned char*>(in.data());
    const std::size_t n = in.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = s[i];
        char32_t cp;
        int extra;
        if (c < 0x80) {
            cp = c;
            extra = 0;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            extra = 2;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            extra = 3;
        } else {
            return false;
        }
        if (i + static_cast<std::size_t>(extra) >= n && extra > 0)
            return false;
        for (int k = 1; k <= extra; ++k) {
            const unsigned char cc = s[i + static_cast<std::size_t>(k)];
            if ((cc & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        static constexpr char32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMinimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        out.push_back(cp);
        i += static_cast<std::size_t>(extra) + 1;
    }
    return true;
}

void encodeUtf8(char32_t cp, sstring& out) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// The UTF-16LE bytes of a UTF-8 text (the '4' hash hashes the password in that form).
bool utf8ToUtf16Le(const sstring& in, sstring& out) {
    secure_basic_string<char32_t> points;
    out.clear();
    if (!decodeUtf8(in, points))
        return false;
    auto put = [&out](unsigned unit) {
        out.push_back(static_cast<char>(unit & 0xFF));
        out.push_back(static_cast<char>(unit >> 8));
    };
    for (char32_t cp : points) {
        if (cp >= 0x10000) {
            const char32_t v = cp - 0x10000;
            put(0xD800 + static_cast<unsigned>(v >> 10));
            put(0xDC00 + static_cast<unsigned>(v & 0x3FF));
        } else {
            put(static_cast<unsigned>(cp));
        }
    }
    return true;
}

// ---- Keys ---------------------------------------------------------------------------------

KycBucket wrapUnder(const KycBucket& material, const KycBucket& data) {
    KycBucket key = Kyc::sha256(material);
    KycAES aes;
    aes.setKey(key);
    KycKeyWrap wrap(&aes);
    return wrap.wrap(data);
}

KycBucket unWrapUnder(const KycBucket& material, const KycBucket& wrapped) {
    KycBucket key = Kyc::sha256(material);
    KycAES aes;
    aes.setKey(key);
    KycKeyWrap wrap(&aes);
    return wrap.unWrap(wrapped);
}

KycBucket keyTextMaterial(const char* keyText) {
    if (keyText == nullptr || *keyText == '\0')
        keyText = ky::builtin::kDefaultPasswordKeyText;
    return KycBucket(keyText, static_cast<int>(std::strlen(keyText)));
}

// The process-wide V8 key and switch. The key is published through `keyReady` (release /
// acquire), so readers on the fast path never see a half-written bucket; the slow paths
// run under their own mutexes.
struct ProcessState {
    std::mutex keyMutex;
    std::atomic<bool> keyReady{false};
    KycBucket key;
    // The machine-wide mutex's name (tests give each case its own); guarded by keyMutex.
    std::string keyMutexName = kV8MutexName;
    std::mutex switchMutex;
    std::atomic<int> v8Switch{-1};
    std::atomic<bool> chatterChecked{false};
};

ProcessState& processState() {
    static ProcessState state;
    return state;
}

// Holds the machine-wide V8 key mutex for its lifetime, when it could be taken. The key
// is the machine's, shared by the processes of every account, so the mutex is made for
// all of them to open: one that cannot take it must not go on to make a key of its own.
class V8KeyMutexLock {
public:
    explicit V8KeyMutexLock(const std::string& name) {
        m_handle = kyos::createMutex(FALSE, name.c_str(), kyos::ObjectSecurity::Everyone);
        if (m_handle == nullptr) {
            m_error = kyos::lastError();
            return;
        }
        const DWORD result = kyos::waitForSingleObject(m_handle, INFINITE);
        // An owner that died holding it (perhaps half way through making the key) hands it
        // over: the key is read again under it as after any wait.
        m_held = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
        if (!m_held)
            m_error = result == WAIT_FAILED ? kyos::lastError() : result;
    }
    ~V8KeyMutexLock() {
        if (m_held)
            kyos::releaseMutex(m_handle);
        if (m_handle != nullptr)
            kyos::closeHandle(m_handle);
    }
    V8KeyMutexLock(const V8KeyMutexLock&) = delete;
    V8KeyMutexLock& operator=(const V8KeyMutexLock&) = delete;

    bool held() const { return m_held; }
    // Why it is not held: the system's code, or the wait's result.
    DWORD error() const { return m_error; }

private:
    HANDLE m_handle = nullptr;
    bool m_held = false;
    DWORD m_error = 0;
};

// Reads the V8 key text: the instance's copy first, else the product root's (copied to the
// instance when found there). Without a focus only the product root is consulted, since an
// instance key cannot be named then.
bool readV8KeyText(std::string& hex) {
    KYPlatformInfo store;
    hex.clear();
    const bool focus = hasFocus();
    if (focus && store.getRegStringFromAbsPath(kKydSection, kV8KeyValue, &hex) && !hex.empty())
        return true;
    hex.clear();
    if (store.getRegStringFromAbsPath(productRoot().c_str(), kV8KeyValue, &hex) && !hex.empty()) {
        if (focus)
            store.setRegString(kKydSection, kV8KeyValue, hex.c_str());
        return true;
    }
    hex.clear();
    return false;
}

// PBKDF2-HMAC-SHA-256 (one block of 32 bytes). `legacy` drops the block index from U1,
// which is what the older '6' hashes were made with.
KycBucket pbkdf2(const std::string& pwd, const std::string& salt, bool legacy) {
    KycSHA256 hmac;
    // An empty key would switch the hash to a plain digest; HMAC pads short keys with
    // zeros, so a block of zeros is the same key as no key at all.
    static const unsigned char kZeroKey[64] = {};
    if (pwd.empty())
        hmac.setKey(kZeroKey, sizeof kZeroKey);
    else
        hmac.setKey(pwd.data(), static_cast<int>(pwd.size()));
    hmac.addData(salt.data(), static_cast<int>(salt.size()));
    if (!legacy) {
        static const unsigned char kBlockIndex[4] = {0, 0, 0, 1};
        hmac.addData(kBlockIndex, 4);
    }
    KycBucket u = hmac.finish();
    KycBucket t = u;
    for (int i = 1; i < kPbkdf2Iterations; ++i) {
        hmac.reset();
        hmac.addData(u);
        u = hmac.finish();
        unsigned char* out = t.getData();
        for (int k = 0; k < kHashSize; ++k)
            out[k] ^= u[k];
    }
    return t;
}

}  // namespace

// =========================================================================================
// Construction.

KYPassword::KYPassword() {
    std::memset(m_protectedText, 0, sizeof m_protectedText);
}

KYPassword::KYPassword(int printErrors) : KYPassword() {
    m_printErrors = printErrors;
}

KYPassword::KYPassword(EvEvent* event) : KYPassword() {
    m_event = event;
}

KYPassword::KYPassword(const KYPassword& other) : KYPassword() {
    *this = other;
}

KYPassword& KYPassword::operator=(const KYPassword& other) {
    if (this == &other)
        return *this;
    std::memcpy(m_protectedText, other.m_protectedText, sizeof m_protectedText);
    m_protectedLength = other.m_protectedLength;
    m_plainLength = other.m_plainLength;
    m_lastError = other.m_lastError;
    m_encryptVersion = other.m_encryptVersion;
    m_printErrors = other.m_printErrors;
    m_keyText = other.m_keyText;
    m_event = other.m_event;
    return *this;
}

KYPassword::~KYPassword() {
    ky::secureWipe(m_protectedText, sizeof m_protectedText);
}

int KYPassword::fail(const char* op, DWORD code) {
    m_lastError = code;
    if (m_printErrors != 0)
        std::printf("\nError: KYPassword::%s %lu\n", op, static_cast<unsigned long>(code));
    return 0;
}

void KYPassword::wipe() {
    ky::secureWipe(m_protectedText, sizeof m_protectedText);
    m_protectedLength = 0;
    m_plainLength = 0;
}

void KYPassword::keep(const char* text, int len) {
    // Callers bound `len` below the buffer; the check keeps a slip from becoming an overflow.
    if (len < 0 || len >= kMaxProtectedText) {
        wipe();
        return;
    }
    if (text != m_protectedText) {
        ky::secureWipe(m_protectedText, sizeof m_protectedText);
        std::memcpy(m_protectedText, text, static_cast<std::size_t>(len));
    }
    m_protectedText[len] = '\0';
    m_protectedLength = len;
}

int KYPassword::setEncryptVersion(DWORD version) {
    if (version != '1' && version != '2')
        return fail("setEncryptVersion", kErrUnsupported);
    m_encryptVersion = version;
    return 1;
}

// =========================================================================================
// The formats.

int KYPassword::encryptFormat(const char* op, const sstring& plain, char format,
                              const char* keyText, sstring& out) {
    // A longer password would give a protected text that the text buffer (and every reader)
    // cannot hold.
    if (plain.size() > static_cast<std::size_t>(kMaxPassword))
        return fail(op, kErrPwdTooLong);
    KycBucket material;
    if (format == '5') {
        if (!getV5EncKey(material))
            return fail(op, m_lastError);
    } else if (format == '8') {
        if (!getV8EncKey(material, true))
            return fail(op, m_lastError);
    } else if (format != '3') {
        return fail(op, kErrUnsupported);
    }
    try {
        if (format == '3')
            material = keyTextMaterial(keyText);
        const KycBucket wrapped =
            wrapUnder(material, KycBucket(plain.data(), static_cast<int>(plain.size())));
        sstring text(1, format);
        text += Kyc::bin2hex_s(wrapped);
        if (text.size() >= static_cast<std::size_t>(kMaxReadableText))
            return fail(op, kErrPwdTooLong);
        keep(text.data(), static_cast<int>(text.size()));
        m_plainLength = static_cast<int>(plain.size());
        if (format == '3')
            m_keyText = keyText != nullptr ? keyText : "";
        out.swap(text);
        return 1;
    } catch (const std::bad_alloc&) {
        return fail(op, kErrNoMemory);
    } catch (...) {
        return fail(op, kErrEncrypt);
    }
}

int KYPassword::decryptText(const char* op, const char* text, sstring& plain) {
    return decryptText(op, text, plain, true);
}

int KYPassword::decryptText(const char* op, const char* text, sstring& plain, bool keepText) {
    plain.clear();
    if (text == nullptr)
        return fail(op, kErrNullArg);
    const std::size_t len = strnlen(text, kMaxReadableText);
    if (len >= static_cast<std::size_t>(kMaxReadableText))
        return fail(op, kErrTextTooLong);
    const char format = text[0];
    if (format != '3' && format != '5' && format != '8')
        return fail(op, kErrUnsupported);
    KycBucket wrapped;
    try {
        wrapped = Kyc::hex2bin(text + 1);
    } catch (const std::bad_alloc&) {
        return fail(op, kErrNoMemory);
    } catch (...) {
        return fail(op, kErrUnsupported);
    }
    // A wrapped password is whole half-blocks: the check block and at least one of data.
    if (wrapped.getSize() < 16 || wrapped.getSize() % 8 != 0)
        return fail(op, kErrUnsupported);
    KycBucket material;
    if (format == '5') {
        if (!getV5EncKey(material))
            return fail(op, m_lastError);
    } else if (format == '8') {
        if (!getV8EncKey(material, false))
            return fail(op, m_lastError);
    }
    try {
        if (format == '3')
            material = keyTextMaterial(m_keyText.c_str());
        const KycBucket bytes = unWrapUnder(material, wrapped);
        plain.assign(reinterpret_cast<const char*>(bytes.getData()),
                     static_cast<std::size_t>(bytes.getSize()));
    } catch (const std::bad_alloc&) {
        return fail(op, kErrNoMemory);
    } catch (...) {
        // The check block or the padding did not come out: another key made this text.
        return fail(op, kErrKeyUnusable);
    }
    if (keepText) {
        keep(text, static_cast<int>(len));
        m_plainLength = static_cast<int>(plain.size());
    }
    return 1;
}

int KYPassword::toBuffer(const char* op, const sstring& text, char* out, unsigned int* outLen) {
    if (outLen == nullptr)
        return fail(op, kErrNullArg);
    const unsigned int given = *outLen;
    const unsigned int needed = static_cast<unsigned int>(text.size()) + 1;
    *outLen = needed;
    if (out == nullptr)
        return 1;
    if (given < needed)
        return fail(op, kErrNullArg);
    std::memcpy(out, text.data(), text.size());
    out[text.size()] = '\0';
    return 1;
}

namespace {

int wideToBuffer(const swstring& text, wchar_t* out, unsigned int* outLen, bool* small) {
    const unsigned int given = *outLen;
    const unsigned int needed = static_cast<unsigned int>(text.size()) + 1;
    *outLen = needed;
    *small = false;
    if (out == nullptr)
        return 1;
    if (given < needed) {
        *small = true;
        return 0;
    }
    std::memcpy(out, text.data(), text.size() * sizeof(wchar_t));
    out[text.size()] = L'\0';
    return 1;
}

}  // namespace

int KYPassword::plainFromBuffer(const char* op, const char* pwd, unsigned int* outLen,
                                sstring& plain) {
    (void)outLen;
    plain.clear();
    if (pwd == nullptr)
        return fail(op, kErrNullArg);
    const std::size_t len = strnlen(pwd, kMaxBufferPassword);
    if (len >= static_cast<std::size_t>(kMaxBufferPassword))
        return fail(op, kErrPwdTooLong);
    plain.assign(pwd, len);
    return 1;
}

int KYPassword::plainFromBuffer(const char* op, const wchar_t* pwd, unsigned int* outLen,
                                sstring& plain) {
    (void)outLen;
    plain.clear();
    if (pwd == nullptr)
        return fail(op, kErrNullArg);
    const std::size_t len = wcsnlen(pwd, kMaxBufferPassword);
    if (len >= static_cast<std::size_t>(kMaxBufferPassword))
        return fail(op, kErrPwdTooLong);
    if (!WideStringToUTF8String(swstring(pwd, len), plain))
        return fail(op, kErrUnsupported);
    if (plain.size() >= static_cast<std::size_t>(kMaxBufferPassword))
        return fail(op, kErrPwdTooLong);
    return 1;
}

// =========================================================================================
// Encryption.

template <class CharT>
int KYPassword::encryptToBuffer(const char* op, const CharT* pwd, char format, const char* keyText,
                                char* out, unsigned int* outLen) {
    sstring plain, text;
    if (outLen == nullptr)
        return fail(op, kErrNullArg);
    if (!plainFromBuffer(op, pwd, outLen, plain) ||
        !encryptFormat(op, plain, format, keyText, text))
        return 0;
    return toBuffer(op, text, out, outLen);
}

int KYPassword::encryptStrong(const char* pwd, char* out, unsigned int* outLen,
                              const char* keyText) {
    return encryptToBuffer("encryptStrong", pwd, '3', keyText, out, outLen);
}

int KYPassword::encryptStrong(const wchar_t* pwd, char* out, unsigned int* outLen,
                              const char* keyText) {
    return encryptToBuffer("encryptStrong", pwd, '3', keyText, out, outLen);
}

int KYPassword::encryptStrong(const sstring& pwd, sstring& out, const char* keyText) {
    sstring text;
    if (!encryptFormat("encryptStrong", pwd, '3', keyText, text))
        return 0;
    out.swap(text);
    return 1;
}

int KYPassword::encrypt(const char* pwd) {
    sstring plain, text;
    return plainFromBuffer("encrypt", pwd, nullptr, plain) &&
                   encryptFormat("encrypt", plain, '3', nullptr, text)
               ? 1
               : 0;
}

int KYPassword::encrypt(const wchar_t* pwd) {
    sstring plain, text;
    return plainFromBuffer("encrypt", pwd, nullptr, plain) &&
                   encryptFormat("encrypt", plain, '3', nullptr, text)
               ? 1
               : 0;
}

int KYPassword::encrypt(const char* pwd, char* out, unsigned int* outLen) {
    return encryptStrong(pwd, out, outLen, nullptr);
}

int KYPassword::encrypt(const wchar_t* pwd, char* out, unsigned int* outLen) {
    return encryptStrong(pwd, out, outLen, nullptr);
}

int KYPassword::encryptV5(const char* pwd, char* out, unsigned int* outLen) {
    return encryptToBuffer("encryptV5", pwd, '5', nullptr, out, outLen);
}

int KYPassword::encryptV5(const wchar_t* pwd, char* out, unsigned int* outLen) {
    return encryptToBuffer("encryptV5", pwd, '5', nullptr, out, outLen);
}

int KYPassword::encryptV5(const sstring& pwd, sstring& out) {
    sstring text;
    if (!encryptFormat("encryptV5", pwd, '5', nullptr, text))
        return 0;
    out.swap(text);
    return 1;
}

int KYPassword::encryptV8(const char* pwd, char* out, unsigned int* outLen) {
    return encryptToBuffer("encryptV8", pwd, '8', nullptr, out, outLen);
}

int KYPassword::encryptV8(const wchar_t* pwd, char* out, unsigned int* outLen) {
    return encryptToBuffer("encryptV8", pwd, '8', nullptr, out, outLen);
}

int KYPassword::encryptV8(const sstring& pwd, sstring& out) {
    sstring text;
    if (!encryptFormat("encryptV8", pwd, '8', nullptr, text))
        return 0;
    out.swap(text);
    return 1;
}

int KYPassword::encryptASM(const sstring&, sstring&) {
    return 0;
}

int KYPassword::encryptWithVersion(const char* pwd, char* out, unsigned int* outLen, char version) {
    if (version == '3')
        return encryptStrong(pwd, out, outLen, nullptr);
    if (version == '1' || version == '2')
        wipe();
    return fail("encryptWithVersion", kErrUnsupported);
}

// =========================================================================================
// Decryption.

int KYPassword::decrypt(const char* protectedText, char* out, unsigned int* outLen) {
    sstring plain;
    if (outLen == nullptr)
        return fail("decrypt", kErrNullArg);
    if (!decryptText("decrypt", protectedText, plain))
        return 0;
    return toBuffer("decrypt", plain, out, outLen);
}

int KYPassword::decrypt(const char* protectedText, wchar_t* out, unsigned int* outLen) {
    sstring plain;
    swstring wide;
    if (outLen == nullptr)
        return fail("decrypt", kErrNullArg);
    if (!decryptText("decrypt", protectedText, plain))
        return 0;
    if (!UTF8StringToWideString(plain, wide))
        return fail("decrypt", kErrUnsupported);
    bool small = false;
    if (!wideToBuffer(wide, out, outLen, &small))
        return fail("decrypt", kErrNullArg);
    return 1;
}

int KYPassword::decrypt(const char* protectedText, char* out, unsigned int* outLen,
                        const char* keyText) {
    m_keyText = keyText != nullptr ? keyText : "";
    return decrypt(protectedText, out, outLen);
}

int KYPassword::decrypt(char* out, unsigned int* outLen) {
    const sstring stored(m_protectedText, static_cast<std::size_t>(m_protectedLength));
    return decrypt(stored.c_str(), out, outLen);
}

int KYPassword::decrypt(wchar_t* out, unsigned int* outLen) {
    const sstring stored(m_protectedText, static_cast<std::size_t>(m_protectedLength));
    return decrypt(stored.c_str(), out, outLen);
}

int KYPassword::decrypt(const sstring& protectedText, sstring& out) {
    sstring plain;
    if (!decryptText("decrypt", protectedText.c_str(), plain))
        return 0;
    out.swap(plain);
    return 1;
}

int KYPassword::decrypt(const sstring& protectedText, swstring& out) {
    sstring plain;
    swstring wide;
    if (!decryptText("decrypt", protectedText.c_str(), plain))
        return 0;
    if (!UTF8StringToWideString(plain, wide))
        return fail("decrypt", kErrUnsupported);
    out.swap(wide);
    return 1;
}

// =========================================================================================
// Storage and conversion.

int KYPassword::putEncPwd(const char* protectedText) {
    if (protectedText == nullptr)
        return fail("putEncPwd", kErrNullArg);
    if (strnlen(protectedText, kMaxProtectedText) >= static_cast<std::size_t>(kMaxProtectedText))
        return fail("putEncPwd", kErrTextTooLong);
    const char format = protectedText[0];
    if (format != '1' && format != '2' && format != '3' && format != '8')
        return fail("putEncPwd", kErrUnsupported);
    sstring plain;
    return decryptText("putEncPwd", protectedText, plain);
}

int KYPassword::getEncPwd(char* out, unsigned int* outLen, DWORD version) {
    if (outLen == nullptr)
        return fail("getEncPwd", kErrNullArg);
    if (m_protectedLength == 0)
        return fail("getEncPwd", kErrNullArg);
    char format;
    switch (version >> 24) {
        case '1':
        case '2':
        case '3':
            format = '3';
            break;
        case '5':
            format = '5';
            break;
        case '8':
            format = '8';
            break;
        default:
            return fail("getEncPwd", kErrUnsupported);
    }
    const sstring stored(m_protectedText, static_cast<std::size_t>(m_protectedLength));
    sstring plain, text;
    if (!decryptText("getEncPwd", stored.c_str(), plain) ||
        !encryptFormat("getEncPwd", plain, format, nullptr, text))
        return 0;
    return toBuffer("getEncPwd", text, out, outLen);
}

int KYPassword::getEncPwdSize(DWORD version) {
    unsigned int len = 0;
    return getEncPwd(nullptr, &len, version) ? static_cast<int>(len) : 0;
}

int KYPassword::ConvertToV3(const sstring& in, sstring& out) {
    sstring plain, text;
    if (!decryptText("ConvertToV3", in.c_str(), plain) ||
        !encryptFormat("ConvertToV3", plain, '3', nullptr, text))
        return 0;
    out.swap(text);
    return 1;
}

int KYPassword::ConvertToV3(const char* in, char* out, unsigned int* outLen) {
    sstring text;
    if (in == nullptr || outLen == nullptr)
        return fail("ConvertToV3", kErrNullArg);
    if (!ConvertToV3(sstring(in), text))
        return 0;
    return toBuffer("ConvertToV3", text, out, outLen);
}

int KYPassword::ConvertToV5(const sstring& in, sstring& out) {
    sstring plain, text;
    if (!decryptText("ConvertToV5", in.c_str(), plain) ||
        !encryptFormat("ConvertToV5", plain, '5', nullptr, text))
        return 0;
    out.swap(text);
    return 1;
}

int KYPassword::ConvertToV8(const sstring& in, sstring& out) {
    sstring plain, text;
    if (!decryptText("ConvertToV8", in.c_str(), plain) ||
        !encryptFormat("ConvertToV8", plain, '8', nullptr, text))
        return 0;
    out.swap(text);
    return 1;
}

int KYPassword::ConvertToV8(const char* in, char* out, unsigned int* outLen) {
    sstring text;
    if (in == nullptr || outLen == nullptr)
        return fail("ConvertToV8", kErrNullArg);
    if (!ConvertToV8(sstring(in), text))
        return 0;
    return toBuffer("ConvertToV8", text, out, outLen);
}

int KYPassword::ConvertToASM(const sstring& in, sstring& out) {
    sstring plain;
    if (!decryptText("ConvertToASM", in.c_str(), plain))
        return 0;
    return encryptASM(plain, out);
}

int KYPassword::comparePwd(const char* pwd) {
    if (pwd == nullptr)
        return fail("comparePwd", kErrNullArg);
    const sstring stored(m_protectedText, static_cast<std::size_t>(m_protectedLength));
    sstring plain;
    if (!decryptText("comparePwd", stored.c_str(), plain))
        return 0;
    if (!equalConstantTime(plain.data(), plain.size(), pwd, std::strlen(pwd)))
        return fail("comparePwd", kErrMismatch);
    return 1;
}

int KYPassword::comparePwd(const wchar_t* pwd) {
    if (pwd == nullptr)
        return fail("comparePwd", kErrNullArg);
    sstring utf8;
    if (!WideStringToUTF8String(swstring(pwd), utf8))
        return fail("comparePwd", kErrMismatch);
    return comparePwd(utf8.c_str());
}

int KYPassword::compareEncPwd(const char* protectedText) {
    // The stored text stays what it was: comparing must not replace the password it is
    // compared with.
    const sstring stored(m_protectedText, static_cast<std::size_t>(m_protectedLength));
    sstring mine, theirs;
    if (!decryptText("compareEncPwd", stored.c_str(), mine) ||
        !decryptText("compareEncPwd", protectedText, theirs, false))
        return 0;
    if (!equalConstantTime(mine.data(), mine.size(), theirs.data(), theirs.size()))
        return fail("compareEncPwd", kErrMismatch);
    return 1;
}

bool KYPassword::UTF8StringToWideString(const sstring& in, swstring& out) {
    secure_basic_string<char32_t> points;
    out.clear();
    if (!decodeUtf8(in, points))
        return false;
    for (char32_t cp : points) {
        if (sizeof(wchar_t) == 2 && cp >= 0x10000) {
            const char32_t v = cp - 0x10000;
            out.push_back(static_cast<wchar_t>(0xD800 + (v >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + (v & 0x3FF)));
        } else {
            out.push_back(static_cast<wchar_t>(cp));
        }
    }
    return true;
}

bool KYPassword::WideStringToUTF8String(const swstring& in, sstring& out) {
    out.clear();
    for (std::size_t i = 0; i < in.size(); ++i) {
        char32_t cp = static_cast<char32_t>(in[i]);
        if (sizeof(wchar_t) == 2 && cp >= 0xD800 && cp <= 0xDBFF && i + 1 < in.size()) {
            const char32_t low = static_cast<char32_t>(in[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.clear();
            return false;
        }
        encodeUtf8(cp, out);
    }
    return true;
}

// =========================================================================================
// Keys.

int KYPassword::getV5EncKey(KycBucket& key) {
    std::string instance;
    if (hasFocus()) {
        instance = KYPI_Focus::getFocus();
    } else {
        KYPlatformInfo root;
        if (!root.getRegStringFromAbsPath(productRoot().c_str(), "sKYPasswordFocus", &instance) ||
            instance.empty())
            instance = kDefaultInstance;
    }
    KYPlatformInfo store(instance);
    std::string value;
    store.getRegStringFromAbsPath(kKydSection, "sKyPwdV5EncKey", &value);
    sstring hex(value.begin(), value.end());
    ky::secureWipe(value.data(), value.size());
    if (hex.empty())
        return fail("getV5EncKey", kErrNoKey);
    // The value may be kept as a protected password value; the wrapped key's text itself
    // starts with its method byte ("00" or "01"), which no protected format does.
    if (hex[0] == '3' || hex[0] == '8') {
        KYPassword inner;
        sstring plain;
        if (!inner.decrypt(hex, plain))
            return fail("getV5EncKey", kErrKeyUnusable);
        hex.swap(plain);
    }
    try {
        KycBucket unwrapped = Kyc::unWrapKey(hex.c_str());
        if (unwrapped.getSize() == 0)
            return fail("getV5EncKey", kErrKeyUnusable);
        key = unwrapped;
    } catch (const std::bad_alloc&) {
        return fail("getV5EncKey", kErrNoMemory);
    } catch (...) {
        return fail("getV5EncKey", kErrKeyUnusable);
    }
    return 1;
}

int KYPassword::getV8EncKey(KycBucket& key, bool create) {
    ProcessState& state = processState();
    if (state.keyReady.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(state.keyMutex);
        key = state.key;
        return 1;
    }
    std::lock_guard<std::mutex> lock(state.keyMutex);
    if (state.keyReady.load(std::memory_order_relaxed)) {
        key = state.key;
        return 1;
    }
    std::string hex;
    if (!readV8KeyText(hex)) {
        V8KeyMutexLock machineLock(state.keyMutexName);
        if (!machineLock.held()) {
            EvDebug().Error("KYPassword::getV8EncKey", "Cannot take the mutex [%s]: error %lu",
                            state.keyMutexName.c_str(),
                            static_cast<unsigned long>(machineLock.error()));
            return fail("getV8EncKey", create ? kErrKeyWrite : kErrNoKey);
        }
        if (!readV8KeyText(hex) && create) {
            KycBucket fresh;
            std::vector<unsigned char> blob;
            try {
                fresh = Kyc::getRand(kV8KeySize);
            } catch (...) {
                return fail("getV8EncKey", kErrEncrypt);
            }
            if (!kyos::protectData(fresh.getData(), static_cast<std::size_t>(fresh.getSize()),
                                   &blob))
                return fail("getV8EncKey", kErrDataProtection);
            hex = Kyc::bin2hex(blob.data(), static_cast<int>(blob.size()));
            KYPlatformInfo store;
            if (!store.setRegString(productRoot().c_str(), kV8KeyValue, hex.c_str()))
                return fail("getV8EncKey", kErrKeyWrite);
            if (hasFocus())
                store.setRegString(kKydSection, kV8KeyValue, hex.c_str());
        }
    }
    if (hex.empty())
        return fail("getV8EncKey", kErrNoKey);
    KycBucket blob;
    try {
        blob = Kyc::hex2bin(hex.c_str());
    } catch (...) {
        return fail("getV8EncKey", kErrKeyUnusable);
    }
    kyos::SecureBytes plain;
    if (!kyos::unprotectData(blob.getData(), static_cast<std::size_t>(blob.getSize()), &plain))
        return fail("getV8EncKey", kErrDataProtection);
    if (plain.size() != static_cast<std::size_t>(kV8KeySize))
        return fail("getV8EncKey", kErrKeyUnusable);
    state.key = KycBucket(plain.data(), kV8KeySize);
    state.keyReady.store(true, std::memory_order_release);
    key = state.key;
    return 1;
}

bool KYPassword::isV8EncryptionEnabled() {
    if (!hasFocus())
        return false;
    ProcessState& state = processState();
    if (!state.chatterChecked.exchange(true)) {
        KYPlatformInfo store;
        unsigned long chatter = 0;
        if (store.getRegInt("~Session", "nChatterFlag", &chatter) && chatter == 1)
            return false;
    }
    const int cached = state.v8Switch.load(std::memory_order_acquire);
    if (cached >= 0)
        return cached != 0;
    std::lock_guard<std::mutex> lock(state.switchMutex);
    int value = state.v8Switch.load(std::memory_order_relaxed);
    if (value < 0) {
        KYPlatformInfo store;
        unsigned long flag = 1;
        if (!store.getRegInt("~", "CryptUseV8Encryption", &flag) &&
            !store.getRegInt(productRoot().c_str(), "CryptUseV8Encryption", &flag))
            flag = 1;
        value = flag != 0 ? 1 : 0;
        state.v8Switch.store(value, std::memory_order_release);
    }
    return value != 0;
}

void KYPassword::setV8KeyMutexNameForTesting(const char* name) {
    ProcessState& state = processState();
    std::lock_guard<std::mutex> lock(state.keyMutex);
    state.keyMutexName = name != nullptr ? name : kV8MutexName;
}

void KYPassword::resetProcessCachesForTesting() {
    ProcessState& state = processState();
    {
        std::lock_guard<std::mutex> lock(state.keyMutex);
        state.keyReady.store(false, std::memory_order_release);
        state.key = KycBucket();
    }
    std::lock_guard<std::mutex> lock(state.switchMutex);
    state.v8Switch.store(-1, std::memory_order_release);
    state.chatterChecked.store(false);
}

bool KYPassword::isV8Password(const char* text) {
    return text != nullptr && text[0] == '8';
}

bool KYPassword::isHashPassword(const char* text) {
    return text != nullptr && (text[0] == '4' || text[0] == '6' || text[0] == '7');
}

// =========================================================================================
// Network passwords. Their substitution scheme was never published, so texts of it can be
// neither made nor read here; only the keys are real.

int KYPassword::networkEncrypt(const char* pwd, char* out, unsigned int* outLen, DWORD key) {
    (void)key;
    (void)out;
    if (pwd == nullptr || outLen == nullptr)
        return fail("networkEncrypt", kErrNullArg);
    return fail("networkEncrypt", kErrUnsupported);
}

int KYPassword::networkEncrypt(const wchar_t* pwd, char* out, unsigned int* outLen, DWORD key) {
    (void)key;
    (void)out;
    if (pwd == nullptr || outLen == nullptr)
        return fail("networkEncrypt", kErrNullArg);
    return fail("networkEncrypt", kErrUnsupported);
}

int KYPassword::networkDecrypt(const char* text, char* out, unsigned int* outLen, DWORD key) {
    (void)key;
    (void)out;
    if (text == nullptr || outLen == nullptr)
        return fail("networkDecrypt", kErrNullArg);
    return fail("networkDecrypt", kErrUnsupported);
}

int KYPassword::networkDecrypt(const char* text, wchar_t* out, unsigned int* outLen, DWORD key) {
    (void)key;
    (void)out;
    if (text == nullptr || outLen == nullptr)
        return fail("networkDecrypt", kErrNullArg);
    return fail("networkDecrypt", kErrUnsupported);
}

int KYPassword::getNetworkEncPwd(char* out, unsigned int* outLen, DWORD* key) {
    (void)out;
    if (outLen == nullptr || key == nullptr)
        return fail("getNetworkEncPwd", kErrNullArg);
    return fail("getNetworkEncPwd", kErrUnsupported);
}

int KYPassword::putNetworkEncPwd(const char* text, DWORD key) {
    (void)key;
    if (text == nullptr)
        return fail("putNetworkEncPwd", kErrNullArg);
    return fail("putNetworkEncPwd", kErrUnsupported);
}

DWORD KYPassword::createEncryptKey() {
    // A key drawn from a clock-seeded rand() is guessable from the time it was made.
    DWORD key = 0;
    while (key == 0)
        Kyc::getRand(&key, static_cast<int>(sizeof key));
    return key;
}

int KYPassword::validateEncryptKey(DWORD key) {
    if (key == 0)
        return fail("validateEncryptKey", kErrNullArg);
    return 1;
}

// =========================================================================================
// Hashes.

int KYPassword::hashPassword(const std::string& pwd, std::string* salt, std::string* hash) {
    if (salt == nullptr || hash == nullptr)
        return fail("hashPassword", kErrNullArg);
    std::string fresh;
    try {
        fresh = Kyc::bin2hex(Kyc::getRand(kSaltSize));
    } catch (...) {
        return fail("hashPassword", kErrEncrypt);
    }
    if (!hashPassword(pwd, fresh, hash))
        return 0;
    *salt = fresh;
    return 1;
}

int KYPassword::hashPassword(const std::string& pwd, const std::string& salt, std::string* hash) {
    if (hash == nullptr || salt.empty())
        return fail("hashPassword", kErrNullArg);
    try {
        *hash = "7" + Kyc::bin2hex(pbkdf2(pwd, salt, false));
    } catch (const std::bad_alloc&) {
        return fail("hashPassword", kErrNoMemory);
    } catch (...) {
        return fail("hashPassword", kErrEncrypt);
    }
    return 1;
}

int KYPassword::validatePassword(const std::string& pwd, const std::string& stored,
                                 std::string salt) {
    if (stored.empty())
        return fail("validatePassword", kErrUnsupported);
    const char format = stored[0];
    std::string expected;
    try {
        if (format == '7' || format == '6') {
            if (salt.empty())
                return fail("validatePassword", kErrNullArg);
            expected = std::string(1, format) + Kyc::bin2hex(pbkdf2(pwd, salt, format == '6'));
        } else if (format == '4') {
            sstring wide;
            if (!utf8ToUtf16Le(sstring(pwd.begin(), pwd.end()), wide))
                return fail("validatePassword", kErrMismatch);
            KycBucket data(salt.data(), static_cast<int>(salt.size()));
            data.append(wide.data(), static_cast<int>(wide.size()));
            const KycBucket digest = Kyc::sha1(data);
            expected = "4" + HbBase64::Encode(digest.getData(),
                                              static_cast<std::size_t>(digest.getSize()));
        }
    } catch (const std::bad_alloc&) {
        return fail("validatePassword", kErrNoMemory);
    } catch (...) {
        return fail("validatePassword", kErrEncrypt);
    }
    if (!expected.empty()) {
        if (!equalConstantTime(expected.data(), expected.size(), stored.data(), stored.size()))
            return fail("validatePassword", kErrMismatch);
        return 1;
    }
    sstring plain;
    if (!decryptText("validatePassword", stored.c_str(), plain))
        return 0;
    if (!equalConstantTime(plain.data(), plain.size(), pwd.data(), pwd.size()))
        return fail("validatePassword", kErrMismatch);
    return 1;
}

int KYPassword::verify(const sstring& text, const sstring& payload, bool& isSigned) {
    (void)payload;
    isSigned = text.size() >= 4 && text[0] == 'S';
    if (!isSigned)
        return 1;
    return fail("verify", kErrDataProtection);
}
