#include "kylib/crypto/KycBuiltinKeys.h"

namespace ky::builtin {

namespace {

// Drawn once from the system's generator and frozen. Changing it makes every scrambled
// record written so far unreadable.
constexpr unsigned char kScrambleKey[kScrambleKeySize] = {
    0xd0, 0x13, 0xf6, 0x45, 0x12, 0xb8, 0x8c, 0xe1, 0xae, 0x0c, 0x09, 0x29, 0x57, 0x72, 0xaf, 0x90,
};

}  // namespace

const unsigned char* scrambleKey() {
    return kScrambleKey;
}

int scrambleKeySize() {
    return kScrambleKeySize;
}

}  // namespace ky::builtin
