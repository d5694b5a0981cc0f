#pragma once

// The constants built into the crypto subsystem: keys that every process of an
// installation (and of every other installation) must agree on, because data protected
// under them by one process is read back by another, possibly years later.
//
// They live here, and only here, so that no copy of a key drifts apart from another and
// so that a reviewer sees at one glance everything that is not secret from whoever holds
// the binary. Changing any byte of any of them makes every existing record protected
// under it unreadable: they belong to the stored formats.
//
// The functions return pointers to static, immutable storage; safe from any thread.

namespace ky::builtin {

// ---- Scrambling (KycScrambler) ----------------------------------------------------------
// The Blowfish key that scrambled records (method 0 of key wrapping, RSA key files,
// exported pass phrases) are encrypted under. Changing it makes every scrambled record
// written so far unreadable.
constexpr int kScrambleKeySize = 16;
const unsigned char* scrambleKey();
int scrambleKeySize();

// ---- Password protection (KYPassword) ----------------------------------------------------
// The key text of protected-password format '3' when the caller gives none: the AES key is
// SHA-256 of these 38 characters (no terminator). Drawn once from the system's generator in
// the registry form of a GUID and frozen. The V5 key itself is stored wrapped by
// Kyc::wrapKey, that is under kKeyWrapKey below.
inline constexpr char kDefaultPasswordKeyText[] = "{a3312b6d-550f-462c-a7a8-c4014eddf54d}";

// ---- Key wrapping and RSA key protection (KycKeys.cpp) ----------------------------------
// The AES key of key-wrapping method 1 (Kyc::wrapKey), and the pass phrase that protects
// an RSA private key when the caller gives none. Both were drawn once from the system's
// generator and frozen; the pass phrase is used as text, not decoded.
constexpr int kKeyWrapKeySize = 16;
inline constexpr unsigned char kKeyWrapKey[kKeyWrapKeySize] = {
    0x0f, 0x5c, 0x54, 0x4a, 0x80, 0xed, 0x36, 0x58, 0xbb, 0x22, 0xf5, 0xbe, 0x6c, 0x1e, 0xc6, 0x4e,
};
inline constexpr char kDefaultPassPhrase[] =
    "45a3bda422625c92e8fa3ea84ad0c950772a3830172ad6e16008bd1795"
    "c59000d386229c963d250c6667c8aae5e2b904d76f94f3632dc8533e7e";

}  // namespace ky::builtin
