#include "kylib/crypto/CGuidFactory.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "kylib/crypto/Kyc.h"
#include "kylib/crypto/KycHash.h"
#include "kylib/crypto/SecureString.h"
#include "kylib/diagnostics/KyException.h"

namespace {

void feedLittleEndian(KycSHA256& hasher, uint64_t value, int size) {
    unsigned char bytes[8];
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    hasher.addData(bytes, size);
}

void feedText(KycSHA256& hasher, const std::string& text, const char* tag) {
    if (text.size() > 0x7FFFFFFFu)
        KY_THROW(tag, "Cannot make an identifier: text too long.");
    feedLittleEndian(hasher, text.size(), 4);
    hasher.addData(text.data(), static_cast<int>(text.size()));
}

void requireOutput(const std::string* out, const char* tag) {
    if (out == nullptr)
        KY_THROW(tag, "Cannot make an identifier: NULL output string.");
}

// Strips trailing separators, optionally upper-cases ASCII letters, and hashes the rest.
void objectGuid(const char* name, char separator, bool upperCase, std::string* out,
                const char* tag) {
    requireOutput(out, tag);
    if (name == nullptr)
        KY_THROW(tag, "Cannot make an identifier: NULL object name.");
    std::string normal(name);
    while (!normal.empty() && normal.back() == separator)
        normal.pop_back();
    // Not toupper: its answer depends on the process's locale, and an identifier must
    // not.
    if (upperCase)
        for (char& c : normal)
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 'a' + 'A');
    GetGUID(normal.data(), static_cast<int>(normal.size()), out);
}

}  // namespace

CGuidFactory::CGuidFactory() : hasher(std::make_unique<KycSHA256>()) {
    hasher->reset();
}

CGuidFactory::CGuidFactory(const CGuidFactory& other)
    : hasher(std::make_unique<KycSHA256>()), haveSalt(other.haveSalt) {
    hasher->reset();
    std::memcpy(salt, other.salt, sizeof salt);
}

CGuidFactory& CGuidFactory::operator=(const CGuidFactory& other) {
    if (this != &other) {
        // The old hasher goes only once the new one exists: each factory releases the
        // context it made, and no other.
        auto fresh = std::make_unique<KycSHA256>();
        fresh->reset();
        hasher = std::move(fresh);
        std::memcpy(salt, other.salt, sizeof salt);
        haveSalt = other.haveSalt;
    }
    return *this;
}

CGuidFactory::~CGuidFactory() {
    ky::secureWipe(salt, sizeof salt);
}

bool CGuidFactory::generate_salt() {
    try {
        Kyc::getRand(salt, kSaltSize);
    } catch (const KyException&) {
        ky::secureWipe(salt, sizeof salt);
        return false;
    }
    return true;
}

std::string CGuidFactory::hexstring(const unsigned char* data, int len) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(static_cast<std::size_t>(len > 0 ? len : 0) * 2);
    for (int i = 0; i < len; ++i) {
        text += kDigits[data[i] & 0x0F];
        text += kDigits[data[i] >> 4];
    }
    return text;
}

void CGuidFactory::begin(unsigned char kind) {
    // Hashing an unset salt would hand out identifiers that any other factory without a
    // salt repeats.
    if (!haveSalt) {
        if (!generate_salt())
            KY_THROW("CGuidFactory::get_guid",
                     "Cannot make an identifier: failed to generate the salt.");
        haveSalt = true;
    }
    hasher->reset();
    hasher->addData(&kind, 1);
}

std::string CGuidFactory::finishGuid(unsigned int number, uint64_t value, const std::string& text) {
    feedLittleEndian(*hasher, number, 4);
    feedLittleEndian(*hasher, value, 8);
    feedText(*hasher, text, "CGuidFactory::get_guid");
    hasher->addData(salt, kSaltSize);
    const KycBucket digest = hasher->finish();
    hasher->reset();
    return hexstring(digest.getData(), digest.getSize());
}

std::string CGuidFactory::get_guid(const std::string& name, unsigned int number, uint64_t value,
                                   const std::string& text) {
    begin('N');
    feedText(*hasher, name, "CGuidFactory::get_guid");
    return finishGuid(number, value, text);
}

std::string CGuidFactory::get_guid(int id, unsigned int number, uint64_t value,
                                   const std::string& text) {
    begin('I');
    feedLittleEndian(*hasher, static_cast<uint32_t>(id), 4);
    return finishGuid(number, value, text);
}

std::string CGuidFactory::get_guid_nosalt(const std::string& text) {
    if (text.size() > 0x7FFFFFFFu)
        KY_THROW("CGuidFactory::get_guid_nosalt", "Cannot make an identifier: text too long.");
    hasher->reset();
    hasher->addData(text.data(), static_cast<int>(text.size()));
    const KycBucket digest = hasher->finish();
    hasher->reset();
    return hexstring(digest.getData(), digest.getSize());
}

// ---- Free functions -------------------------------------------------------------------------

extern "C" void GetGUID(const void* data, int len, std::string* out) {
    requireOutput(out, "GetGUID");
    if (len < 0 || (data == nullptr && len > 0))
        KY_THROW("GetGUID", "Cannot make an identifier: invalid data pointer or length.");
    KycMD5 md5;
    md5.addData(data, len);
    *out = Kyc::bin2hex(md5.finish());
}

extern "C" void GetObjectGuid(const char* name, char separator, std::string* out) {
    objectGuid(name, separator, false, out, "GetObjectGuid");
}

extern "C" void GetObjectGuidFixLocale(const char* name, char separator, std::string* out) {
    objectGuid(name, separator, true, out, "GetObjectGuidFixLocale");
}

extern "C" void GetVersionGuid(const char* product, const char* component, long long major,
                               long long minor, long long build, unsigned long long revision,
                               std::string* out) {
    requireOutput(out, "GetVersionGuid");
    const char* a = product != nullptr ? product : "";
    const char* b = component != nullptr ? component : "";
    const int size =
        std::snprintf(nullptr, 0, "%s_%s_%lld_%lld_%lld_%llu", a, b, major, minor, build, revision);
    if (size < 0)
        KY_THROW("GetVersionGuid", "Cannot make an identifier: cannot format the version.");
    std::vector<char> text(static_cast<std::size_t>(size) + 1);
    std::snprintf(text.data(), text.size(), "%s_%s_%lld_%lld_%lld_%llu", a, b, major, minor, build,
                  revision);
    GetGUID(text.data(), size, out);
}

extern "C" void GetVersionGuid2(int64_t first, int64_t second, std::string* out) {
    requireOutput(out, "GetVersionGuid2");
    char text[48];
    const int size = std::snprintf(text, sizeof text, "%lld_%lld", static_cast<long long>(first),
                                   static_cast<long long>(second));
    GetGUID(text, size, out);
}
