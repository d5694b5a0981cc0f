// The library's AES-CBC and SHA-256, which go through the crypto module loaded at run
// time, beside the same work done by calling OpenSSL's EVP interface directly: what the
// binding, the bucket and the mode layer cost on top of the primitive itself.
//
// Sizes: 64 bytes and 16 KiB are the records and buffers the product protects one at a
// time; 1 MiB shows the streaming rate.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <memory>
#include <vector>

#include "kylib/crypto/Kyc.h"
#include "kylib/crypto/KycCipher.h"
#include "kylib/crypto/KycHash.h"

namespace {

constexpr int kAesKeySize = 32;
constexpr int kAesBlock = 16;

std::vector<unsigned char> filled(std::size_t size, unsigned char seed) {
    std::vector<unsigned char> data(size);
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<unsigned char>(i * 31 + seed);
    return data;
}

void setBytes(benchmark::State& state, std::size_t perIteration) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(perIteration));
}

// ---- AES-256-CBC --------------------------------------------------------------------------------

void BM_Crypto_KycAES_encCBC(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const auto key = filled(kAesKeySize, 1);
    const auto iv = filled(kAesBlock, 2);
    const auto plain = filled(size, 3);
    std::vector<unsigned char> out(size);
    KycAES aes;
    aes.setKey(key.data(), kAesKeySize);
    for (auto _ : state) {
        aes.setIV(iv.data(), kAesBlock);
        benchmark::DoNotOptimize(aes.encCBC(plain.data(), out.data(), static_cast<int>(size)));
        benchmark::ClobberMemory();
    }
    setBytes(state, size);
}
BENCHMARK(BM_Crypto_KycAES_encCBC)->Arg(16 << 10)->Arg(1 << 20);

void BM_Crypto_EVP_AES256CBC(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const auto key = filled(kAesKeySize, 1);
    const auto iv = filled(kAesBlock, 2);
    const auto plain = filled(size, 3);
    std::vector<unsigned char> out(size + kAesBlock);
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        EVP_CIPHER_CTX_free);
    EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
    if (cipher == nullptr || !ctx) {
        state.SkipWithError("AES-256-CBC is not available");
        return;
    }
    EVP_EncryptInit_ex2(ctx.get(), cipher, key.data(), nullptr, nullptr);
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    for (auto _ : state) {
        int len = 0;
        // A new IV per message, the key schedule kept: what KycAES does per call.
        EVP_EncryptInit_ex2(ctx.get(), nullptr, nullptr, iv.data(), nullptr);
        EVP_EncryptUpdate(ctx.get(), out.data(), &len, plain.data(), static_cast<int>(size));
        benchmark::DoNotOptimize(len);
        benchmark::ClobberMemory();
    }
    EVP_CIPHER_free(cipher);
    setBytes(state, size);
}
BENCHMARK(BM_Crypto_EVP_AES256CBC)->Arg(16 << 10)->Arg(1 << 20);

// ---- SHA-256 ------------------------------------------------------------------------------------

void BM_Crypto_Kyc_sha256(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const auto data = filled(size, 4);
    for (auto _ : state) {
        KycBucket digest = Kyc::sha256(data.data(), static_cast<int>(size));
        benchmark::DoNotOptimize(digest.getData());
    }
    setBytes(state, size);
}
BENCHMARK(BM_Crypto_Kyc_sha256)->Arg(64)->Arg(1 << 20);

// One hasher kept and reset per message: no context creation per digest.
void BM_Crypto_KycSHA256_reused(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const auto data = filled(size, 4);
    KycSHA256 hasher;
    unsigned char digest[32];
    for (auto _ : state) {
        hasher.reset();
        hasher.addData(data.data(), static_cast<int>(size));
        hasher.finish(digest, sizeof digest);
        benchmark::DoNotOptimize(digest);
    }
    setBytes(state, size);
}
BENCHMARK(BM_Crypto_KycSHA256_reused)->Arg(64)->Arg(1 << 20);

// The peer of the one-call digest: EVP_Digest with the algorithm fetched once, the quicker
// of the two ways a user writes it (EVP_sha256() in its place looks the algorithm up again
// on every call).
void BM_Crypto_EVP_Digest_SHA256(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const auto data = filled(size, 4);
    EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    if (md == nullptr) {
        state.SkipWithError("SHA256 is not available");
        return;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    for (auto _ : state) {
        unsigned int len = 0;
        EVP_Digest(data.data(), size, digest, &len, md, nullptr);
        benchmark::DoNotOptimize(digest);
    }
    EVP_MD_free(md);
    setBytes(state, size);
}
BENCHMARK(BM_Crypto_EVP_Digest_SHA256)->Arg(64)->Arg(1 << 20);

// The peer of the reused hasher: one EVP context kept and started afresh per message.
void BM_Crypto_EVP_MD_CTX_SHA256_reused(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const auto data = filled(size, 4);
    EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (md == nullptr || !ctx) {
        state.SkipWithError("SHA256 is not available");
        EVP_MD_free(md);
        return;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    for (auto _ : state) {
        unsigned int len = 0;
        EVP_DigestInit_ex2(ctx.get(), md, nullptr);
        EVP_DigestUpdate(ctx.get(), data.data(), size);
        EVP_DigestFinal_ex(ctx.get(), digest, &len);
        benchmark::DoNotOptimize(digest);
    }
    EVP_MD_free(md);
    setBytes(state, size);
}
BENCHMARK(BM_Crypto_EVP_MD_CTX_SHA256_reused)->Arg(64)->Arg(1 << 20);

}  // namespace
