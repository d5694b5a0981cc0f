#pragma once

// KYPassword: a password in protected form. The object holds the protected text only
// (never the plain password); the plain text exists in caller buffers and secure strings
// for the length of a call. Protected texts start with their format character:
//   '3' strong: KycKeyWrap under AES keyed with SHA-256 of a key text (the caller's, or
//       the built-in default), as lowercase hexadecimal;
//   '5' the same under SHA-256 of the installation's V5 key (registry "sKyPwdV5EncKey");
//   '8' the same under SHA-256 of the machine's V8 key (registry "GlobalMiscProp", a
//       machine-scope protected blob created once per machine).
// The legacy substitution formats '1' and '2' and the network-password scheme have no
// published algorithm; they are refused with kErrUnsupported.
// Password hashes ('7' PBKDF2-HMAC-SHA-256, '6' its older variant, '4' SHA-1, verify only)
// let a caller check a password without keeping it.
//
// Every operation returns 1 on success and 0 on failure with getLastError() set to one of
// the codes below; none throws. An object is used by one thread at a time; the V8 key and
// the V8 switch are process-wide, computed once and safe from any thread.

#include <cstdint>
#include <string>

#include "kylib/crypto/KycBucket.h"
#include "kylib/crypto/SecureString.h"
#include "os/Win32.h"

class EvEvent;

class KYPassword {
public:
    // ---- Failure codes (getLastError) ----------------------------------------------------
    static constexpr DWORD kErrNullArg = 0x14000003;         // null argument or buffer too small
    static constexpr DWORD kErrEncrypt = 0x14000004;         // exception while encrypting
    static constexpr DWORD kErrMismatch = 0x14000006;        // passwords differ
    static constexpr DWORD kErrKeyUnusable = 0x14000008;     // key present but unusable / wrong key
    static constexpr DWORD kErrDataProtection = 0x14000009;  // machine data protection failed
    static constexpr DWORD kErrKeyWrite = 0x14000016;        // new V8 key could not be written
    static constexpr DWORD kErrNoMemory = 0x140000AB;        // out of memory
    static constexpr DWORD kErrNoKey = 0x140000AC;           // V5 or V8 key does not exist
    static constexpr DWORD kErrTextTooLong = 0x140000AD;     // protected text too long
    static constexpr DWORD kErrUnsupported = 0x140000AE;     // unsupported format or version
    static constexpr DWORD kErrPwdTooLong = 0x140000AF;      // password too long

    // ---- Limits --------------------------------------------------------------------------
    // The protected text buffer, terminator included.
    static constexpr int kMaxProtectedText = 2049;
    // Passwords passed as char* / wchar_t* must be shorter than this many bytes (UTF-8).
    static constexpr int kMaxBufferPassword = 512;
    // The longest password whose protected form fits the text buffer: 1 + 16 * (n / 8 + 2)
    // characters must stay below 2048.
    static constexpr int kMaxPassword = 1007;

    // getEncPwd / getEncPwdSize versions: the format character in the high byte.
    static constexpr DWORD kVersion1 = 0x31000000;
    static constexpr DWORD kVersion2 = 0x32000000;
    static constexpr DWORD kVersion3 = 0x33000000;
    static constexpr DWORD kVersion5 = 0x35000000;
    static constexpr DWORD kVersion8 = 0x38000000;

    // ---- Construction --------------------------------------------------------------------
    KYPassword();
    // Nonzero: every failure is also printed to stdout as "\nError: KYPassword::<op> <code>\n".
    explicit KYPassword(int printErrors);
    explicit KYPassword(EvEvent* event);
    KYPassword(const KYPassword& other);
    KYPassword& operator=(const KYPassword& other);
    // Wipes the protected text and the key text.
    ~KYPassword();

    // ---- State ---------------------------------------------------------------------------
    DWORD getLastError() const { return m_lastError; }
    // Plain length + 1 of the last password encrypted, decrypted or stored.
    int getPwdSize() const { return m_plainLength + 1; }
    // The stored protected text ("" when none); valid until the object changes.
    const char* getProtectedText() const { return m_protectedText; }
    int getProtectedLength() const { return m_protectedLength; }
    DWORD getEncryptVersion() const { return m_encryptVersion; }
    // Accepts '1' or '2'; anything else fails with kErrUnsupported.
    int setEncryptVersion(DWORD version);
    void setEvent(EvEvent* event) { m_event = event; }

    // ---- Encryption: plain in, protected text out (also kept in the object) -------------
    // char* forms: *outLen receives protected length + 1; a non-null `out` smaller than the
    // caller's *outLen fails with kErrNullArg; a null `out` asks only for the size.
    // A null keyText means the built-in default key text. Format '3'.
    int encryptStrong(const char* pwd, char* out, unsigned int* outLen, const char* keyText);
    int encryptStrong(const wchar_t* pwd, char* out, unsigned int* outLen, const char* keyText);
    int encryptStrong(const secure_basic_string<char>& pwd, secure_basic_string<char>& out,
                      const char* keyText);
    // Format '3' under the default key text.
    int encrypt(const char* pwd);
    int encrypt(const wchar_t* pwd);
    int encrypt(const char* pwd, char* out, unsigned int* outLen);
    int encrypt(const wchar_t* pwd, char* out, unsigned int* outLen);
    // Format '5' (the installation's V5 key must exist).
    int encryptV5(const char* pwd, char* out, unsigned int* outLen);
    int encryptV5(const wchar_t* pwd, char* out, unsigned int* outLen);
    int encryptV5(const secure_basic_string<char>& pwd, secure_basic_string<char>& out);
    // Format '8' (creates the machine's V8 key when missing).
    int encryptV8(const char* pwd, char* out, unsigned int* outLen);
    int encryptV8(const wchar_t* pwd, char* out, unsigned int* outLen);
    int encryptV8(const secure_basic_string<char>& pwd, secure_basic_string<char>& out);
    // Offers no format: returns 0 at once, lastError and out untouched.
    int encryptASM(const secure_basic_string<char>& pwd, secure_basic_string<char>& out);
    // '3' as encryptStrong with the default key; '1'/'2' (legacy) and anything else fail with
    // kErrUnsupported, and a refused legacy request clears the stored text.
    int encryptWithVersion(const char* pwd, char* out, unsigned int* outLen, char version);

    // ---- Decryption: protected text in (kept in the object), plain out -------------------
    // Texts of 2048 characters or more fail with kErrTextTooLong; the output follows the
    // buffer rule (wchar_t forms count wchar_t units). A wrong key fails with
    // kErrKeyUnusable; a text that is not a readable protected form with kErrUnsupported.
    int decrypt(const char* protectedText, char* out, unsigned int* outLen);
    int decrypt(const char* protectedText, wchar_t* out, unsigned int* outLen);
    // Sets the key text of format '3' first (null: the default).
    int decrypt(const char* protectedText, char* out, unsigned int* outLen, const char* keyText);
    // Decrypt the stored text.
    int decrypt(char* out, unsigned int* outLen);
    int decrypt(wchar_t* out, unsigned int* outLen);
    int decrypt(const secure_basic_string<char>& protectedText, secure_basic_string<char>& out);
    int decrypt(const secure_basic_string<char>& protectedText, secure_basic_string<wchar_t>& out);

    // ---- Storage and conversion ---------------------------------------------------------
    // Keeps a protected text of format '1', '2', '3' or '8' after proving it decrypts
    // (others: kErrUnsupported; 2049 characters or more: kErrTextTooLong).
    int putEncPwd(const char* protectedText);
    // Re-encrypts the stored password in the format named by `version` (kVersion1..8; '1'
    // and '2' give format '3'). Buffer rule as for encryption.
    int getEncPwd(char* out, unsigned int* outLen, DWORD version);
    // The buffer size getEncPwd needs (protected length + 1), or 0 on failure.
    int getEncPwdSize(DWORD version);
    // Decrypt a text of any readable format and encrypt it again in the named one.
    int ConvertToV3(const secure_basic_string<char>& in, secure_basic_string<char>& out);
    int ConvertToV3(const char* in, char* out, unsigned int* outLen);
    int ConvertToV5(const secure_basic_string<char>& in, secure_basic_string<char>& out);
    int ConvertToV8(const secure_basic_string<char>& in, secure_basic_string<char>& out);
    int ConvertToV8(const char* in, char* out, unsigned int* outLen);
    // Decrypts, then returns encryptASM's result: 0.
    int ConvertToASM(const secure_basic_string<char>& in, secure_basic_string<char>& out);
    // 1 when the stored password equals `pwd` (constant time over the bytes); else 0 with
    // kErrMismatch (or the decryption's code).
    int comparePwd(const char* pwd);
    int comparePwd(const wchar_t* pwd);
    // The same with a protected text, decrypted first.
    int compareEncPwd(const char* protectedText);

    // UTF-8 <-> wide text; false (out cleared) for malformed input.
    static bool UTF8StringToWideString(const secure_basic_string<char>& in,
                                       secure_basic_string<wchar_t>& out);
    static bool WideStringToUTF8String(const secure_basic_string<wchar_t>& in,
                                       secure_basic_string<char>& out);

    // ---- Keys ------------------------------------------------------------------------------
    // The installation's V5 key (read on every call): kErrNoKey when absent, kErrKeyUnusable
    // when it does not decode.
    int getV5EncKey(KycBucket& key);
    // The machine's V8 key, cached for the process once read; `create` makes it when the
    // machine has none. When the key is not found at once, it is looked for again (and
    // made) only while holding the machine-wide mutex "V8_KEK_MUTEX", which processes of
    // every account may open (one whose owner died counts as taken). A mutex that cannot
    // be taken fails the call: kErrKeyWrite for a writer (`create`), kErrNoKey for a reader.
    int getV8EncKey(KycBucket& key, bool create);
    // False without a focus; otherwise "CryptUseV8Encryption" (instance root, else product
    // root), absent meaning on; computed once per process.
    static bool isV8EncryptionEnabled();
    // Forgets the process's cached V8 key and V8 switch, so that tests can give each case
    // its own store. Not for production code: other threads may hold the old key.
    static void resetProcessCachesForTesting();
    // Names the machine-wide V8 key mutex (null: "V8_KEK_MUTEX"), so that tests running at
    // once do not share it. Not for production code.
    static void setV8KeyMutexNameForTesting(const char* name);
    static bool isV8Password(const char* text);
    static bool isHashPassword(const char* text);

    // ---- Network passwords -----------------------------------------------------------------
    // The legacy network scheme is not available: the transforms fail with kErrUnsupported.
    int networkEncrypt(const char* pwd, char* out, unsigned int* outLen, DWORD key);
    int networkEncrypt(const wchar_t* pwd, char* out, unsigned int* outLen, DWORD key);
    int networkDecrypt(const char* text, char* out, unsigned int* outLen, DWORD key);
    int networkDecrypt(const char* text, wchar_t* out, unsigned int* outLen, DWORD key);
    int getNetworkEncPwd(char* out, unsigned int* outLen, DWORD* key);
    int putNetworkEncPwd(const char* text, DWORD key);
    // A new nonzero key from the FIPS generator.
    static DWORD createEncryptKey();
    // 1 for a key createEncryptKey could have made (nonzero); else 0 with kErrNullArg.
    int validateEncryptKey(DWORD key);

    // ---- Hashes (the caller keeps the salt) ---------------------------------------------------
    // Draws a fresh salt (64 lowercase hex characters of 32 random bytes), then hashes.
    int hashPassword(const std::string& pwd, std::string* salt, std::string* hash);
    // Format '7': "7" + hex of PBKDF2-HMAC-SHA-256(pwd, salt text, 1000 iterations, 32).
    // Null hash or empty salt: kErrNullArg.
    int hashPassword(const std::string& pwd, const std::string& salt, std::string* hash);
    // 1 when `pwd` matches `stored` ('7', '6', '4' hashes; any other first character is a
    // protected text decrypted and compared); comparisons take constant time.
    int validatePassword(const std::string& pwd, const std::string& stored, std::string salt);
    // A signed text ('S' "001" nn text hex-signature) needs the separate signature module,
    // which this library does not have: such texts fail with kErrDataProtection. Anything
    // else is not a signed text: 1 with isSigned false.
    int verify(const secure_basic_string<char>& text, const secure_basic_string<char>& payload,
               bool& isSigned);

private:
    int fail(const char* op, DWORD code);
    void wipe();
    void keep(const char* text, int len);
    // The protected text of `plain` in `format` ('3', '5', '8'); keyText for '3'.
    int encryptFormat(const char* op, const secure_basic_string<char>& plain, char format,
                      const char* keyText, secure_basic_string<char>& out);
    int decryptText(const char* op, const char* text, secure_basic_string<char>& plain);
    // `keepText` false leaves the stored text alone (comparisons against it).
    int decryptText(const char* op, const char* text, secure_basic_string<char>& plain,
                    bool keepText);
    int toBuffer(const char* op, const secure_basic_string<char>& text, char* out,
                 unsigned int* outLen);
    int plainFromBuffer(const char* op, const char* pwd, unsigned int* outLen,
                        secure_basic_string<char>& plain);
    int plainFromBuffer(const char* op, const wchar_t* pwd, unsigned int* outLen,
                        secure_basic_string<char>& plain);
    // The protected text of the caller's password in `format`, into the caller's buffer.
    template <class CharT>
    int encryptToBuffer(const char* op, const CharT* pwd, char format, const char* keyText,
                        char* out, unsigned int* outLen);

    char m_protectedText[kMaxProtectedText];
    int m_protectedLength = 0;
    int m_plainLength = 0;
    DWORD m_lastError = 0;
    DWORD m_encryptVersion = '2';
    int m_printErrors = 0;
    secure_basic_string<char> m_keyText;
    EvEvent* m_event = nullptr;
};
