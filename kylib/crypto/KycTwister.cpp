#include "kylib/crypto/KycTwister.h"

#include <cstring>
#include <string>

#include "kylib/crypto/Kycl.h"
#include "kylib/crypto/SecureString.h"
#include "kylib/diagnostics/KyException.h"

namespace {

constexpr int kErrorTextSize = 256;

std::string moduleError(kycl_ctx* handle) {
    const char* reason = Kycl::get_last_error != nullptr ? Kycl::get_last_error(handle) : nullptr;
    return reason != nullptr ? reason : "unknown error";
}

}  // namespace

KycTwister::KycTwister() {
    Kycl::init();
    char errorText[kErrorTextSize] = {};
    handle = Kycl::twister_init(nullptr, errorText, kErrorTextSize);
    if (handle == nullptr) {
        errorText[kErrorTextSize - 1] = '\0';
        KY_THROW("KycTwister", std::string("Failed to instantiate Twister PRNG: ") + errorText);
    }
    generation = Kycl::getGeneration();
}

KycTwister::~KycTwister() {
    // A twister that outlives the binding (or a module instance destroyed and bound again)
    // has nothing left to release: the module freed its contexts itself.
    if (handle != nullptr && Kycl::twister_destroy != nullptr &&
        Kycl::getGeneration() == generation)
        Kycl::twister_destroy(handle);
}

void KycTwister::seed(const unsigned char* data, int len) {
    if (data == nullptr || len <= 0)
        KY_THROW("KycTwister::seed", "Failed to seed Twister PRNG: empty seed.");
    if (Kycl::twister_seed(handle, data, len) != 0)
        KY_THROW("KycTwister::seed", "Failed to seed Twister PRNG: " + moduleError(handle));
}

KycBucket KycTwister::get(int n) {
    if (n < 0)
        KY_THROW("KycTwister::get",
                 "Failed to get pseudo-random sequence from Twister PRNG: negative length " +
                     std::to_string(n) + ".");
    KycBucket bytes(n);
    if (n > 0 && Kycl::twister_get(handle, bytes.getData(), n) != 0)
        KY_THROW("KycTwister::get",
                 "Failed to get pseudo-random sequence from Twister PRNG: " + moduleError(handle));
    return bytes;
}

unsigned int KycTwister::getInt() {
    const KycBucket bytes = get(static_cast<int>(sizeof(unsigned int)));
    unsigned int value = 0;
    std::memcpy(&value, bytes.getData(), sizeof value);
    return value;
}
