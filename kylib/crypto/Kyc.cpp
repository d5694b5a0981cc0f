// Kyc: the cipher table, hexadecimal text and the process-wide FIPS generator.
#include "kylib/crypto/Kyc.h"

#include <cstdlib>
#include <string>

#include "kylib/concurrency/KySync.h"
#include "kylib/crypto/Kycl.h"

Kyc::WrongKey::WrongKey(const char* func, const char* message, const char* file, int line)
    : KyException(func, message, file, line, -1) {}

const char* Kyc::getCipherName(CIPHER type) {
    switch (type) {
        case OldBlowfish:
            return "Old Blowfish";
        case Blowfish:
            return "Blowfish";
        case AES:
            return "AES";
        case Serpent:
            return "Serpent";
        case Twofish:
            return "Twofish";
        case TripleDES:
            return "3DES";
        case GOST:
            return "GOST";
        case DES:
        default:
            return "UNKNOWN";
    }
}

// ---- Hexadecimal text ---------------------------------------------------------------------

namespace {

const char kHexDigits[] = "0123456789abcdef";

void checkSource(const char* func, const void* data, int len) {
    if (len < 0)
        KY_THROW(func, "Negative size passed as input.");
    if (data == nullptr && len > 0)
        KY_THROW(func, "Null data pointer passed with a positive size.");
}

template <class String>
String toHex(const void* data, int len) {
    checkSource("Kyc::bin2hex", data, len);
    String text;
    text.resize(static_cast<std::size_t>(len) * 2);
    auto* bytes = static_cast<const unsigned char*>(data);
    for (int i = 0; i < len; ++i) {
        text[2 * static_cast<std::size_t>(i)] = kHexDigits[bytes[i] >> 4];
        text[2 * static_cast<std::size_t>(i) + 1] = kHexDigits[bytes[i] & 0x0F];
    }
    return text;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool isTrailingSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

std::string Kyc::bin2hex(const void* data, int len) {
    return toHex<std::string>(data, len);
}

std::string Kyc::bin2hex(const KycBucket& data) {
    return bin2hex(data.getData(), data.getSize());
}

secure_string Kyc::bin2hex_s(const void* data, int len) {
    return toHex<secure_string>(data, len);
}

secure_string Kyc::bin2hex_s(const KycBucket& data) {
    return bin2hex_s(data.getData(), data.getSize());
}

KycBucket Kyc::hex2bin(const char* hex) {
    KycBucket bytes;
    if (hex == nullptr)
        return bytes;
    std::size_t length = 0;
    while (hex[length] != '\0')
        ++length;
    while (length > 0 && isTrailingSpace(hex[length - 1]))
        --length;
    if (length % 2 != 0)
        KY_THROW("Kyc::hex2bin",
                 "Cannot convert hex to bin: Input string does not have an even length.");
    if (length / 2 > static_cast<std::size_t>(INT32_MAX))
        KY_THROW("Kyc::hex2bin", "Not enough memory");
    bytes.resize(static_cast<int>(length / 2));
    unsigned char* out = bytes.getData();
    for (std::size_t i = 0; i < length; i += 2) {
        int high = hexValue(hex[i]);
        int low = hexValue(hex[i + 1]);
        if (high < 0 || low < 0)
            KY_THROW("Kyc::hex2bin", "Cannot convert hex to bin: Illegal character encountered.");
        out[i / 2] = static_cast<unsigned char>(high << 4 | low);
    }
    return bytes;
}

// ---- The FIPS generator ---------------------------------------------------------------------

namespace {

constexpr int kErrorTextSize = 1024;

// Made on first use and never destroyed: the exit handler below still needs it.
KyCriticalSection& generatorLock() {
    static KyCriticalSection* section = new KyCriticalSection;
    return *section;
}

// Guarded by generatorLock(). Plain values without destructors, for the same reason.
kycl_ctx* g_generator = nullptr;
unsigned long g_generatorGeneration = 0;
bool g_exitHandlerRegistered = false;

// At process exit: the generator goes first, then the module itself.
void destroyGenerator() {
    {
        KyCriticalSectionLock lock(&generatorLock());
        if (g_generator != nullptr && Kycl::isLoaded() &&
            Kycl::getGeneration() == g_generatorGeneration && Kycl::frand_destroy != nullptr)
            Kycl::frand_destroy(g_generator);
        g_generator = nullptr;
    }
    Kycl::destroy();
}

// The generator of the module as bound now. Called with generatorLock() held.
kycl_ctx* generator(const char* func) {
    Kycl::init();
    if (g_generator != nullptr && g_generatorGeneration != Kycl::getGeneration()) {
        // Made by a module instance that was destroyed since: its state died with it.
        g_generator = nullptr;
    }
    if (g_generator == nullptr) {
        char errorText[kErrorTextSize] = {};
        kycl_ctx* made = Kycl::frand_init(nullptr, errorText, kErrorTextSize);
        if (made == nullptr) {
            errorText[kErrorTextSize - 1] = '\0';
            KY_THROW(func, std::string("Failed to instantiate FIPS PRNG: ") + errorText);
        }
        g_generator = made;
        g_generatorGeneration = Kycl::getGeneration();
        // Registered after the module was loaded (and its statics made), so it runs
        // before they are torn down.
        if (!g_exitHandlerRegistered) {
            std::atexit(&destroyGenerator);
            g_exitHandlerRegistered = true;
        }
    }
    return g_generator;
}

std::string moduleError(kycl_ctx* ctx) {
    const char* text = Kycl::get_last_error != nullptr ? Kycl::get_last_error(ctx) : nullptr;
    return text != nullptr ? text : "";
}

}  // namespace

void Kyc::getRand(void* buffer, int len) {
    checkSource("Kyc::getRand", buffer, len);
    if (len == 0)
        return;
    KyCriticalSectionLock lock(&generatorLock());
    kycl_ctx* h = generator("Kyc::getRand");
    if (Kycl::frand_get(h, buffer, len) != 0)
        KY_THROW("Kyc::getRand", "FIPS PRNG failed: " + moduleError(h));
}

KycBucket Kyc::getRand(int len) {
    checkSource("Kyc::getRand", &len, len);
    KycBucket bytes(len);
    if (len > 0)
        getRand(bytes.getData(), len);
    return bytes;
}

void Kyc::seedRand(const void* data, int len) {
    checkSource("Kyc::seedRand", data, len);
    static const unsigned char kNothing = 0;
    KyCriticalSectionLock lock(&generatorLock());
    kycl_ctx* h = generator("Kyc::seedRand");
    if (Kycl::frand_seed(h, len > 0 ? data : &kNothing, len) != 0)
        KY_THROW("Kyc::seedRand", "Failed to seed FIPS PRNG: " + moduleError(h));
}
