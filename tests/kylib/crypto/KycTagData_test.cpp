#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kylib/crypto/Kyc.h"
#include "kylib/crypto/KycCipher.h"
#include "kylib/diagnostics/KyException.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes pattern(int len, unsigned seed = 1) {
    Bytes out(static_cast<std::size_t>(len));
    for (int i = 0; i < len; ++i)
        out[i] = static_cast<unsigned char>((i * 37 + seed * 101 + 5) & 0xFF);
    return out;
}

// The check value, computed bit by bit: register from 0xFFFFFFFF, no inversion, most
// significant byte first.
Bytes checkValue(const unsigned char* data, int len) {
    unsigned int crc = 0xFFFFFFFFu;
    for (int i = 0; i < len; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ ((crc & 1) ? 0xEDB88320u : 0u);
    }
    return {static_cast<unsigned char>(crc >> 24), static_cast<unsigned char>(crc >> 16),
            static_cast<unsigned char>(crc >> 8), static_cast<unsigned char>(crc)};
}

struct Thrown {
    bool wrongKey = false;
    std::string tag;
    std::string message;
};

template <class F>
Thrown thrown(F&& f) {
    Thrown t;
    try {
        f();
        t.message = "(nothing thrown)";
    } catch (const Kyc::WrongKey& e) {
        t = {true, e.getFuncName(), e.getMessage()};
    } catch (const KyException& e) {
        t = {false, e.getFuncName(), e.getMessage()};
    }
    return t;
}

constexpr char kWrongKey[] = "Failed to decrypt data: wrong decryption key.";

// ---- The CRC32 record ---------------------------------------------------------------------------

class Crc32RecordTest : public ::testing::Test {
protected:
    void SetUp() override {
        const Bytes key = pattern(16, 3);
        bf.setKey(key.data(), 16);
        reader.setKey(key.data(), 16);
    }

    Bytes seal(const Bytes& data) {
        Bytes record(data.size() + 16);
        const int n =
            Kyc::encryptTagData(data.data(), record.data(), static_cast<int>(data.size()), bf);
        record.resize(static_cast<std::size_t>(n));
        return record;
    }

    // Opens a record into a buffer of exactly the size the reader may write.
    Bytes open(const Bytes& record, KycBlowfish& cipher) {
        Bytes out(record.size() - 8);
        const int n =
            Kyc::decryptTagData(record.data(), out.data(), static_cast<int>(record.size()), cipher);
        out.resize(static_cast<std::size_t>(n));
        return out;
    }

    // The IV of a record and its body deciphered under it, without the reader's rules.
    void dissect(const Bytes& record, Bytes* iv, Bytes* body) {
        iv->assign(8, 0);
        reader.decECB(record.data() + record.size() - 8, iv->data(), 8);
        body->assign(record.size() - 8, 0);
        reader.setIV(iv->data(), 8);
        reader.decCBC61(record.data(), body->data(), static_cast<int>(body->size()));
    }

    KycBlowfish bf;
    KycBlowfish reader;
};

TEST_F(Crc32RecordTest, RecordLengthsAndRoundTrips) {
    struct Case {
        int len;
        int recordLen;
    };
    const Case cases[] = {{1, 16},  {4, 16},  {5, 16},  {7, 16},  {8, 16},  {9, 24},
                          {13, 24}, {15, 24}, {16, 32}, {17, 32}, {24, 40}, {40, 56}};
    for (const Case& c : cases) {
        SCOPED_TRACE("length " + std::to_string(c.len));
        const Bytes data = pattern(c.len, static_cast<unsigned>(c.len));
        const Bytes record = seal(data);
        EXPECT_EQ(static_cast<int>(record.size()), c.recordLen);
        EXPECT_EQ(open(record, reader), data);
    }
}

TEST_F(Crc32RecordTest, EveryLengthRoundTrips) {
    for (int len = 1; len <= 40; ++len) {
        const Bytes data = pattern(len, 77);
        EXPECT_EQ(open(seal(data), reader), data) << "length " << len;
    }
}

// The stored layout, byte for byte: where the check value and the length bits travel.
TEST_F(Crc32RecordTest, LayoutPutsTheCheckValueWhereReadersLookForIt) {
    {
        SCOPED_TRACE("5 bytes: 3 check bytes after the data, the fourth in the IV");
        const Bytes data = pattern(5);
        const Bytes crc = checkValue(data.data(), 5);
        Bytes iv, body;
        dissect(seal(data), &iv, &body);
        EXPECT_EQ(iv[7] & 7, 5);
        EXPECT_EQ(iv[0], crc[3]);
        EXPECT_EQ(Bytes(body.begin(), body.begin() + 5), data);
        EXPECT_EQ(Bytes(body.begin() + 5, body.end()), Bytes(crc.begin(), crc.begin() + 3));
    }
    {
        SCOPED_TRACE("8 bytes: the whole check value in the IV");
        const Bytes data = pattern(8);
        Bytes iv, body;
        dissect(seal(data), &iv, &body);
        EXPECT_EQ(iv[7] & 7, 0);
        EXPECT_EQ(Bytes(iv.begin(), iv.begin() + 4), checkValue(data.data(), 8));
        EXPECT_EQ(body, data);
    }
    {
        SCOPED_TRACE("13 bytes: 5 data bytes, 3 check bytes, the fourth in the IV");
        const Bytes data = pattern(13);
        const Bytes crc = checkValue(data.data(), 13);
        Bytes iv, body;
        dissect(seal(data), &iv, &body);
        EXPECT_EQ(iv[7] & 7, 5);
        EXPECT_EQ(iv[0], crc[3]);
        EXPECT_EQ(Bytes(body.begin(), body.begin() + 13), data);
        EXPECT_EQ(Bytes(body.begin() + 13, body.end()), Bytes(crc.begin(), crc.begin() + 3));
    }
    {
        SCOPED_TRACE("16 bytes: a trailer block of the check value and IV bytes 0..3");
        const Bytes data = pattern(16);
        Bytes iv, body;
        dissect(seal(data), &iv, &body);
        EXPECT_EQ(iv[7] & 7, 0);
        EXPECT_EQ(Bytes(body.begin(), body.begin() + 16), data);
        EXPECT_EQ(Bytes(body.begin() + 16, body.begin() + 20), checkValue(data.data(), 16));
        EXPECT_EQ(Bytes(body.begin() + 20, body.end()), Bytes(iv.begin(), iv.begin() + 4));
    }
}

TEST_F(Crc32RecordTest, AnotherKeyIsAWrongKeyAndLeavesNothingBehind) {
    KycBlowfish other;
    const Bytes otherKey = pattern(16, 4);
    other.setKey(otherKey.data(), 16);
    for (int len : {5, 8, 13, 16, 40}) {
        SCOPED_TRACE("length " + std::to_string(len));
        const Bytes record = seal(pattern(len));
        Bytes out(record.size() - 8, 0xAA);
        const Thrown t = thrown([&] {
            Kyc::decryptTagData(record.data(), out.data(), static_cast<int>(record.size()), other);
        });
        EXPECT_TRUE(t.wrongKey) << t.message;
        EXPECT_EQ(t.tag, "Kyc::decryptDataWithCRC32");
        EXPECT_EQ(t.message, kWrongKey);
        EXPECT_EQ(out, Bytes(out.size(), 0)) << "deciphered bytes were handed back";
    }
}

TEST_F(Crc32RecordTest, AnyAlteredByteIsDetected) {
    for (int len : {5, 13, 24}) {
        const Bytes record = seal(pattern(len));
        for (std::size_t i = 0; i < record.size(); ++i) {
            Bytes altered = record;
            altered[i] ^= 0x01;
            Bytes out(record.size() - 8);
            const Thrown t = thrown([&] {
                Kyc::decryptTagData(altered.data(), out.data(), static_cast<int>(altered.size()),
                                    reader);
            });
            EXPECT_TRUE(t.wrongKey) << "length " << len << ", byte " << i << ": " << t.message;
        }
    }
}

TEST_F(Crc32RecordTest, BadArgumentsFailWithTheirMessages) {
    struct Case {
        const char* label;
        std::function<void()> call;
        const char* tag;
        const char* message;
    };
    static unsigned char buf[64];
    const Case cases[] = {
        {"encrypt to null", [this] { Kyc::encryptTagData(buf, nullptr, 5, bf); },
         "Kyc::encryptDataWithCRC32", "Cannot encrypt data: Output buffer is a NULL pointer."},
        {"decrypt to null", [this] { Kyc::decryptTagData(buf, nullptr, 16, reader); },
         "Kyc::decryptDataWithCRC32", "Cannot decrypt data: Output buffer is a NULL pointer."},
        {"12 bytes", [this] { Kyc::decryptTagData(buf, buf, 12, reader); },
         "Kyc::decryptDataWithCRC32", "Cannot decrypt data: length is not a multiple of 8."},
        {"8 bytes", [this] { Kyc::decryptTagData(buf, buf, 8, reader); },
         "Kyc::decryptDataWithCRC32",
         "Cannot decrypt data: too short (must be at least 16 bytes long)."},
        {"negative record", [this] { Kyc::decryptTagData(buf, buf, -16, reader); },
         "Kyc::decryptDataWithCRC32",
         "Cannot decrypt data: too short (must be at least 16 bytes long)."},
    };
    for (const Case& c : cases) {
        const Thrown t = thrown(c.call);
        EXPECT_EQ(t.tag, c.tag) << c.label;
        EXPECT_EQ(t.message, c.message) << c.label;
    }
    EXPECT_THROW(Kyc::encryptTagData(buf, buf, -5, bf), KyException);
    // Nothing to do is not an error.
    EXPECT_EQ(Kyc::encryptTagData(nullptr, nullptr, 5, bf), 0);
    EXPECT_EQ(Kyc::encryptTagData(buf, nullptr, 0, bf), 0);
    EXPECT_EQ(Kyc::decryptTagData(nullptr, nullptr, 16, reader), 0);
}

// Records nobody wrote: every length field the IV can claim, on every short record size,
// must end in WrongKey and never touch a byte outside the reader's buffer.
TEST_F(Crc32RecordTest, CraftedRecordsFailCleanly) {
    for (int len = 16; len <= 48; len += 8) {
        for (int r = 0; r < 8; ++r) {
            SCOPED_TRACE("record " + std::to_string(len) + ", length bits " + std::to_string(r));
            Bytes record = pattern(len, static_cast<unsigned>(len * 8 + r));
            Bytes iv = pattern(8, 99);
            iv[7] = static_cast<unsigned char>((iv[7] & ~7) | r);
            reader.encECB(iv.data(), record.data() + len - 8, 8);
            auto out = std::make_unique<unsigned char[]>(static_cast<std::size_t>(len - 8));
            const Thrown t =
                thrown([&] { Kyc::decryptTagData(record.data(), out.get(), len, reader); });
            EXPECT_TRUE(t.wrongKey) << t.message;
        }
    }
}

// ---- The tag-data format ------------------------------------------------------------------------

struct TagCipher {
    const char* name;
    std::function<std::unique_ptr<KycBlockCipher>()> make;
    int keyLen;
};

void PrintTo(const TagCipher& c, std::ostream* os) {
    *os << c.name;
}

template <class T>
std::unique_ptr<KycBlockCipher> makeOf() {
    return std::make_unique<T>();
}

const TagCipher kTagCiphers[] = {
    {"AES", makeOf<KycAES>, 16},         {"Blowfish", makeOf<KycBlowfish>, 16},
    {"TripleDES", makeOf<Kyc3DES>, 24},  {"DES", makeOf<KycDES>, 8},
    {"Serpent", makeOf<KycSerpent>, 32}, {"Twofish", makeOf<KycTwofish>, 32},
    {"GOST", makeOf<KycGOST>, 32},
};

class TagDataTest : public ::testing::TestWithParam<TagCipher> {
protected:
    void SetUp() override {
        writer = GetParam().make();
        reader = GetParam().make();
        const Bytes key = pattern(GetParam().keyLen, 8);
        writer->setKey(key.data(), GetParam().keyLen);
        reader->setKey(key.data(), GetParam().keyLen);
    }

    std::unique_ptr<KycBlockCipher> writer, reader;
};

INSTANTIATE_TEST_SUITE_P(Ciphers, TagDataTest, ::testing::ValuesIn(kTagCiphers),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(TagDataTest, EveryLengthRoundTripsAndKeepsItsLength) {
    for (int len = 0; len <= 40; ++len) {
        SCOPED_TRACE("length " + std::to_string(len));
        // One spare byte, so that even length 0 has a source pointer.
        Bytes data = pattern(len + 1, static_cast<unsigned>(len));
        data.pop_back();
        // Exact-size heap buffers: a read or write past the data shows under ASan.
        auto sealed = std::make_unique<unsigned char[]>(static_cast<std::size_t>(len) + 1);
        auto opened = std::make_unique<unsigned char[]>(static_cast<std::size_t>(len) + 1);
        unsigned char crc[4], iv[8];
        ASSERT_EQ(Kyc::encryptTagData(data.data(), sealed.get(), len, crc, iv, writer.get()), len);
        ASSERT_EQ(Kyc::decryptTagData(sealed.get(), opened.get(), len, crc, iv, reader.get()), len);
        EXPECT_EQ(Bytes(opened.get(), opened.get() + len), data);
        if (len >= 4) {
            EXPECT_NE(Bytes(sealed.get(), sealed.get() + len), data);
        }
    }
}

TEST_P(TagDataTest, WorksInPlace) {
    for (int len : {3, 12, 29, 40}) {
        const Bytes data = pattern(len);
        Bytes buf = data;
        unsigned char crc[4], iv[8];
        Kyc::encryptTagData(buf.data(), buf.data(), len, crc, iv, writer.get());
        Kyc::decryptTagData(buf.data(), buf.data(), len, crc, iv, reader.get());
        EXPECT_EQ(buf, data) << "length " << len;
    }
}

TEST_P(TagDataTest, AlteredDataCheckOrIVIsAWrongKey) {
    for (int len : {2, 12, 29}) {
        const Bytes data = pattern(len);
        Bytes sealed(data.size());
        unsigned char crc[4], iv[8];
        Kyc::encryptTagData(data.data(), sealed.data(), len, crc, iv, writer.get());
        struct Alteration {
            const char* what;
            unsigned char* byte;
        };
        const Alteration alterations[] = {{"first data byte", &sealed[0]},
                                          {"last data byte", &sealed[len - 1]},
                                          {"check value", &crc[1]},
                                          {"IV", &iv[3]}};
        for (const Alteration& a : alterations) {
            *a.byte ^= 0x40;
            Bytes out(data.size(), 0xAA);
            const Thrown t = thrown([&] {
                Kyc::decryptTagData(sealed.data(), out.data(), len, crc, iv, reader.get());
            });
            *a.byte ^= 0x40;
            EXPECT_TRUE(t.wrongKey) << len << " " << a.what << ": " << t.message;
            EXPECT_EQ(t.tag, "Kyc::decryptTagData");
            EXPECT_EQ(t.message, kWrongKey);
            EXPECT_EQ(out, Bytes(out.size(), 0)) << "deciphered bytes were handed back";
        }
    }
}

// The three size cases with AES, each rebuilt from the cipher's own modes.
class AesTagDataLayoutTest : public ::testing::Test {
protected:
    void SetUp() override {
        const Bytes key = pattern(16, 12);
        aes.setKey(key.data(), 16);
        check.setKey(key.data(), 16);
    }

    void sealData(const Bytes& data) {
        sealed.assign(data.size(), 0);
        Kyc::encryptTagData(data.data(), sealed.data(), static_cast<int>(data.size()), crc, iv,
                            &aes);
        // The IV the format chains from: the 8 bytes followed by 8 zero bytes.
        Bytes full(iv, iv + 8);
        full.resize(16, 0);
        check.setIV(full.data(), 16);
    }

    KycAES aes, check;
    Bytes sealed;
    unsigned char crc[4] = {}, iv[8] = {};
};

TEST_F(AesTagDataLayoutTest, ShortDataIsXoredWithOneKeystreamBlock) {
    const Bytes data = pattern(10);
    sealData(data);
    Bytes k(16);
    check.encECB(check.getIV().getData(), k.data(), 16);
    const Bytes crcPlain = checkValue(data.data(), 10);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(sealed[i], data[i] ^ k[i]) << i;
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(crc[i], crcPlain[i] ^ k[10 + i]) << i;
}

TEST_F(AesTagDataLayoutTest, DataAndCheckFillingOneBlockAreOneCbcBlock) {
    const Bytes data = pattern(12);
    sealData(data);
    Bytes t = data;
    const Bytes crcPlain = checkValue(data.data(), 12);
    t.insert(t.end(), crcPlain.begin(), crcPlain.end());
    Bytes e(16);
    check.encCBC(t.data(), e.data(), 16);
    EXPECT_EQ(sealed, Bytes(e.begin(), e.begin() + 12));
    EXPECT_EQ(Bytes(crc, crc + 4), Bytes(e.begin() + 12, e.end()));
}

TEST_F(AesTagDataLayoutTest, LongerDataStealsCiphertextForItsTail) {
    const Bytes data = pattern(29);
    sealData(data);
    Bytes head(16);
    check.encCBC(data.data(), head.data(), 16);
    Bytes tail(data.begin() + 16, data.end());
    const Bytes crcPlain = checkValue(data.data(), 29);
    tail.insert(tail.end(), crcPlain.begin(), crcPlain.end());
    ASSERT_EQ(tail.size(), 17u);
    Bytes tailSealed(17);
    ASSERT_EQ(check.encCBC(tail.data(), tailSealed.data(), 17), 17);
    EXPECT_EQ(Bytes(sealed.begin(), sealed.begin() + 16), head);
    EXPECT_EQ(Bytes(sealed.begin() + 16, sealed.end()),
              Bytes(tailSealed.begin(), tailSealed.begin() + 13));
    EXPECT_EQ(Bytes(crc, crc + 4), Bytes(tailSealed.begin() + 13, tailSealed.end()));
}

TEST(TagDataArgumentsTest, NullPointersAreReportedInOrder) {
    KycAES aes;
    const Bytes key = pattern(16);
    aes.setKey(key.data(), 16);
    unsigned char in[8] = {}, out[8], crc[4] = {}, iv[8] = {};
    struct Case {
        const void* in;
        void* out;
        void* crc;
        void* iv;
        KycBlockCipher* cipher;
        const char* what;
    };
    const Case cases[] = {
        {nullptr, nullptr, nullptr, nullptr, nullptr, "source pointer is NULL"},
        {in, nullptr, nullptr, nullptr, nullptr, "destination pointer is NULL"},
        {in, out, nullptr, nullptr, nullptr, "CRC32 pointer is NULL"},
        {in, out, crc, nullptr, nullptr, "IV pointer is NULL"},
        {in, out, crc, iv, nullptr, "cipher is NULL"},
    };
    for (const Case& c : cases) {
        const Thrown enc =
            thrown([&] { Kyc::encryptTagData(c.in, c.out, 8, c.crc, c.iv, c.cipher); });
        EXPECT_EQ(enc.tag, "Kyc::encryptTagData");
        EXPECT_EQ(enc.message, std::string("Can't encrypt data: ") + c.what);
        const Thrown dec =
            thrown([&] { Kyc::decryptTagData(c.in, c.out, 8, c.crc, c.iv, c.cipher); });
        EXPECT_EQ(dec.tag, "Kyc::decryptTagData");
        EXPECT_EQ(dec.message, std::string("Can't decrypt data: ") + c.what);
    }
    EXPECT_THROW(Kyc::encryptTagData(in, out, -1, crc, iv, &aes), KyException);
    EXPECT_THROW(Kyc::decryptTagData(in, out, -1, crc, iv, &aes), KyException);
}

}  // namespace
