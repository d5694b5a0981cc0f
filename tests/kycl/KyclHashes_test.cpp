#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/kycl/KyclTestSupport.h"

namespace {

using namespace kycl_test;

struct HashApi {
    const char* name;
    size_t digestSize;
    kycl_ctx* (*init)(int*, char*, int);
    void (*destroy)(kycl_ctx*);
    int (*update)(kycl_ctx*, const void*, int);
    int (*final)(kycl_ctx*, void*);
    int (*reset)(kycl_ctx*);
    int (*hmacInit)(kycl_ctx*, const void*, int);
    int (*hmacUpdate)(kycl_ctx*, const void*, int);
    int (*hmacFinal)(kycl_ctx*, void*);
};

void PrintTo(const HashApi& api, std::ostream* os) {
    *os << api.name;
}

#define HASH_API(H, SIZE)                                                                         \
    HashApi {                                                                                     \
#H, SIZE, kycl_##H##_init, kycl_##H##_destroy, kycl_##H##_update, kycl_##H##_final,       \
            kycl_##H##_reset, kycl_##H##_hmac_init, kycl_##H##_hmac_update, kycl_##H##_hmac_final \
    }

const HashApi kMd5 = HASH_API(md5, 16);
const HashApi kSha1 = HASH_API(sha1, 20);
const HashApi kSha256 = HASH_API(sha256, 32);
const HashApi kSha512 = HASH_API(sha512, 64);

class HashCtx {
public:
    explicit HashCtx(const HashApi& api) : api_(api) {
        char error[1024] = {};
        ctx_ = api.init(nullptr, error, sizeof(error));
        EXPECT_NE(ctx_, nullptr) << error;
    }
    ~HashCtx() { api_.destroy(ctx_); }
    HashCtx(const HashCtx&) = delete;
    HashCtx& operator=(const HashCtx&) = delete;

    kycl_ctx* get() const { return ctx_; }
    std::string digest(const Bytes& data, size_t piece = 0) {
        feed(api_.update, data, piece);
        Bytes out(api_.digestSize);
        EXPECT_EQ(api_.final(ctx_, out.data()), 0) << kycl_get_last_error(ctx_);
        return toHex(out);
    }
    std::string hmac(const Bytes& data, size_t piece = 0) {
        feed(api_.hmacUpdate, data, piece);
        Bytes out(api_.digestSize);
        EXPECT_EQ(api_.hmacFinal(ctx_, out.data()), 0) << kycl_get_last_error(ctx_);
        return toHex(out);
    }

private:
    // piece 0: one update; otherwise updates of `piece` bytes.
    void feed(int (*update)(kycl_ctx*, const void*, int), const Bytes& data, size_t piece) {
        if (piece == 0) {
            EXPECT_EQ(update(ctx_, data.data(), int(data.size())), 0) << kycl_get_last_error(ctx_);
            return;
        }
        for (size_t i = 0; i < data.size(); i += piece) {
            int n = int(std::min(piece, data.size() - i));
            EXPECT_EQ(update(ctx_, &data[i], n), 0) << kycl_get_last_error(ctx_);
        }
    }

    const HashApi& api_;
    kycl_ctx* ctx_ = nullptr;
};

// ---- Plain digests -----------------------------------------------------------------------

struct DigestCase {
    const HashApi* api;
    const char* message;
    const char* digest;
};

void PrintTo(const DigestCase& c, std::ostream* os) {
    *os << c.api->name << " of \"" << c.message << "\"";
}

const char kTwoBlock[] = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";

const DigestCase kDigests[] = {
    {&kMd5, "", "d41d8cd98f00b204e9800998ecf8427e"},
    {&kMd5, "abc", "900150983cd24fb0d6963f7d28e17f72"},
    {&kMd5, "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {&kSha1, "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
    {&kSha1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {&kSha1, kTwoBlock, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
    {&kSha256, "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {&kSha256, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {&kSha256, kTwoBlock, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {&kSha512, "",
     "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2877"
     "eec2f63b931bd47417a81a538327af927da3e"},
    {&kSha512, "abc",
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3f"
     "eebbd454d4423643ce80e2a9ac94fa54ca49f"},
};

class Digest : public KyclTest, public ::testing::WithParamInterface<DigestCase> {};

TEST_P(Digest, MatchesThePublishedValueInOneOrManyUpdates) {
    const DigestCase& c = GetParam();
    HashCtx ctx(*c.api);
    EXPECT_EQ(ctx.digest(bytesOf(c.message)), c.digest);
    // The context restarts after final: the same message again, fed byte by byte.
    EXPECT_EQ(ctx.digest(bytesOf(c.message), 1), c.digest);
}

INSTANTIATE_TEST_SUITE_P(Vectors, Digest, ::testing::ValuesIn(kDigests));

// ---- HMAC --------------------------------------------------------------------------------

struct HmacCase {
    const HashApi* api;
    Bytes key;
    Bytes message;
    const char* mac;
    const char* source;
};

void PrintTo(const HmacCase& c, std::ostream* os) {
    *os << c.api->name << " " << c.source;
}

const std::vector<HmacCase>& hmacCases() {
    static const Bytes k0b20(20, 0x0b), k0b16(16, 0x0b), kaa20(20, 0xaa), kaa80(80, 0xaa),
        kaa131(131, 0xaa), dd50(50, 0xdd);
    static const Bytes hiThere = bytesOf("Hi There"), jefe = bytesOf("Jefe"),
                       want = bytesOf("what do ya want for nothing?"),
                       large = bytesOf("Test Using Larger Than Block-Size Key - Hash Key First");
    static const std::vector<HmacCase> cases = {
        {&kMd5, k0b16, hiThere, "9294727a3638bb1c13f48ef8158bfc9d", "RFC 2202 MD5 1"},
        {&kMd5, jefe, want, "750c783e6ab0b503eaa86e310a5db738", "RFC 2202 MD5 2"},
        {&kSha1, k0b20, hiThere, "b617318655057264e28bc0b6fb378c8ef146be00", "RFC 2202 SHA1 1"},
        {&kSha1, jefe, want, "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79", "RFC 2202 SHA1 2"},
        {&kSha1, kaa20, dd50, "125d7342b9ac11cd91a39af48aa17b4f63f175d3", "RFC 2202 SHA1 3"},
        {&kSha1, kaa80, large, "aa4ae5e15272d00e95705637ce8a3b55ed402112", "RFC 2202 SHA1 6"},
        {&kSha256, k0b20, hiThere,
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7", "RFC 4231 1"},
        {&kSha256, jefe, want, "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843",
         "RFC 4231 2"},
        {&kSha256, kaa131, large,
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54", "RFC 4231 6"},
        {&kSha256, Bytes(), Bytes(),
         "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad", "empty key"},
        {&kSha512, k0b20, hiThere,
         "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cdedaa833b7d6b8a702038b274e"
         "aea3f4e4be9d914eeb61f1702e696c203a126854",
         "RFC 4231 1"},
        {&kSha512, jefe, want,
         "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea2505549758bf75c05a994a6d034f65"
         "f8f0e6fdcaeab1a34d4a6b4b636e070a38bce737",
         "RFC 4231 2"},
        {&kSha512, kaa131, large,
         "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f3526b56d037e05f2598bd0fd221"
         "5d6a1e5295e64f73f63f0aec8b915a985d786598",
         "RFC 4231 6"},
    };
    return cases;
}

class Hmac : public KyclTest, public ::testing::WithParamInterface<HmacCase> {};

TEST_P(Hmac, MatchesThePublishedValueAndRestartsUnderTheSameKey) {
    const HmacCase& c = GetParam();
    HashCtx ctx(*c.api);
    ASSERT_EQ(c.api->hmacInit(ctx.get(), c.key.data(), int(c.key.size())), 0)
        << kycl_get_last_error(ctx.get());
    EXPECT_EQ(ctx.hmac(c.message), c.mac) << c.source;
    EXPECT_EQ(ctx.hmac(c.message, 3), c.mac) << c.source << ", second message";
}

INSTANTIATE_TEST_SUITE_P(Vectors, Hmac, ::testing::ValuesIn(hmacCases()));

// ---- Context behaviour, for every hash ---------------------------------------------------

class EveryHash : public KyclTest, public ::testing::WithParamInterface<HashApi> {
protected:
    const HashApi& api() const { return GetParam(); }
};

TEST_P(EveryHash, ResetDropsAMessageHalfFed) {
    HashCtx ctx(api());
    HashCtx clean(api());
    ASSERT_EQ(api().update(ctx.get(), "junk", 4), 0);
    ASSERT_EQ(api().reset(ctx.get()), 0);
    EXPECT_EQ(ctx.digest(bytesOf("abc")), clean.digest(bytesOf("abc")));
}

TEST_P(EveryHash, DigestAndHmacOnOneContextDoNotDisturbEachOther) {
    HashCtx mixed(api());
    HashCtx plain(api());
    HashCtx mac(api());
    const Bytes key = bytesOf("Jefe");
    ASSERT_EQ(api().hmacInit(mixed.get(), key.data(), int(key.size())), 0);
    ASSERT_EQ(api().hmacInit(mac.get(), key.data(), int(key.size())), 0);
    ASSERT_EQ(api().update(mixed.get(), "ab", 2), 0);
    ASSERT_EQ(api().hmacUpdate(mixed.get(), "what do ya", 10), 0);
    ASSERT_EQ(api().update(mixed.get(), "c", 1), 0);
    EXPECT_EQ(mixed.hmac(bytesOf(" want for nothing?")),
              mac.hmac(bytesOf("what do ya want for nothing?")));
    EXPECT_EQ(mixed.digest(Bytes()), plain.digest(bytesOf("abc")));
}

TEST_P(EveryHash, ANewHmacKeyReplacesTheOld) {
    HashCtx ctx(api());
    HashCtx fresh(api());
    const Bytes first = bytesOf("first key"), second = bytesOf("second key");
    ASSERT_EQ(api().hmacInit(ctx.get(), first.data(), int(first.size())), 0);
    ASSERT_EQ(api().hmacUpdate(ctx.get(), "half", 4), 0);
    ASSERT_EQ(api().hmacInit(ctx.get(), second.data(), int(second.size())), 0);
    ASSERT_EQ(api().hmacInit(fresh.get(), second.data(), int(second.size())), 0);
    EXPECT_EQ(ctx.hmac(bytesOf("message")), fresh.hmac(bytesOf("message")));
}

TEST_P(EveryHash, MisuseFailsWithTheRightCode) {
    HashCtx ctx(api());
    Bytes out(api().digestSize);
    struct Case {
        const char* what;
        int rc;
        int expected;
    };
    const Case cases[] = {
        {"hmac update before a key", api().hmacUpdate(ctx.get(), "x", 1), KYCL_ERR_STATE},
        {"hmac final before a key", api().hmacFinal(ctx.get(), out.data()), KYCL_ERR_STATE},
        {"update null data", api().update(ctx.get(), nullptr, 4), KYCL_ERR_ARGUMENT},
        {"update negative length", api().update(ctx.get(), "x", -1), KYCL_ERR_ARGUMENT},
        {"final null out", api().final(ctx.get(), nullptr), KYCL_ERR_ARGUMENT},
        {"hmac null key", api().hmacInit(ctx.get(), nullptr, 8), KYCL_ERR_ARGUMENT},
        {"hmac after a failed init", api().hmacUpdate(ctx.get(), "x", 1), KYCL_ERR_STATE},
        {"null handle", api().update(nullptr, "x", 1), KYCL_ERR_ARGUMENT},
        {"empty update", api().update(ctx.get(), nullptr, 0), 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.rc, c.expected) << c.what;
    }
    // A handle of another hash is refused, and left intact.
    HashCtx other(std::string(api().name) == "md5" ? kSha1 : kMd5);
    EXPECT_EQ(api().update(other.get(), "x", 1), KYCL_ERR_ARGUMENT);
    api().destroy(other.get());
    EXPECT_EQ(kycl_get_last_errno(other.get()), KYCL_ERR_ARGUMENT);
}

INSTANTIATE_TEST_SUITE_P(Hashes, EveryHash, ::testing::Values(kMd5, kSha1, kSha256, kSha512),
                         [](const ::testing::TestParamInfo<HashApi>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
