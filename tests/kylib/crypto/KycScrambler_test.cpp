#include "kylib/crypto/KycScrambler.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kylib/crypto/Kyc.h"
#include "kylib/crypto/KycBuiltinKeys.h"
#include "kylib/crypto/KycCipher.h"
#include "kylib/diagnostics/KyException.h"
#include "tests/kylib/crypto/CryptoTestSupport.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr const char* kMethodMessage = "Scrambled data is corrupt: unrecognized scrambling method.";
constexpr const char* kCountMessage =
    "Scrambled data is corrupt: Invalid last block valid byte counter.";
constexpr const char* kCrcMessage = "Scrambled data is corrupt: CRC32 mismatch.";
constexpr const char* kTooShortMessage = "Cannot descramble data: It's too short.";

using kytest::thrownMessage;

Bytes pattern(int n) {
    Bytes b(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
        b[static_cast<std::size_t>(i)] = static_cast<unsigned char>(i * 37 + 11);
    return b;
}

Bytes bytesOf(const KycBucket& b) {
    return Bytes(b.getData(), b.getData() + b.getSize());
}

unsigned int crcOf(const unsigned char* data, int len) {
    unsigned int crc = 0xFFFFFFFFu;
    Kyc::crc32(data, len, &crc);
    return crc;
}

std::unique_ptr<KycBlowfish> builtinCipher(const unsigned char* header) {
    unsigned char iv[8];
    std::memcpy(iv, header + 1, 7);
    iv[7] = static_cast<unsigned char>(iv[0] ^ iv[2] ^ iv[4] ^ iv[6]);
    auto bf = std::make_unique<KycBlowfish>();
    bf->setKey(ky::builtin::scrambleKey(), ky::builtin::scrambleKeySize());
    bf->setIV(iv, 8);
    return bf;
}

// A message read back by hand from its documented layout, without the scrambler.
struct Opened {
    Bytes body;  // every decrypted data byte, padding included
    unsigned int storedCrc = 0;
    int count = 0;
};

Opened openByHand(const Bytes& message) {
    Opened o;
    auto bf = builtinCipher(message.data());
    const int body = static_cast<int>(message.size()) - 16;
    o.body.resize(static_cast<std::size_t>(body));
    bf->decCBC61(message.data() + 8, o.body.data(), body);
    unsigned char trailer[8];
    bf->decECB(message.data() + 8 + body, trailer, 8);
    o.storedCrc = static_cast<unsigned int>(trailer[0]) << 24 | trailer[1] << 16 | trailer[2] << 8 |
                  trailer[3];
    o.count = trailer[4];
    return o;
}

// A message built by hand, with whatever CRC and count the test wants.
Bytes craft(const Bytes& paddedBody, unsigned int crc, int count) {
    Bytes message(8 + paddedBody.size() + 8);
    const unsigned char header[8] = {0, 0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0};
    std::memcpy(message.data(), header, 8);
    auto bf = builtinCipher(header);
    bf->encCBC61(paddedBody.data(), message.data() + 8, static_cast<int>(paddedBody.size()));
    const unsigned char trailer[8] = {static_cast<unsigned char>(crc >> 24),
                                      static_cast<unsigned char>(crc >> 16),
                                      static_cast<unsigned char>(crc >> 8),
                                      static_cast<unsigned char>(crc),
                                      static_cast<unsigned char>(count),
                                      0xA1,
                                      0xB2,
                                      0xC3};
    bf->encECB(trailer, message.data() + 8 + paddedBody.size(), 8);
    return message;
}

Bytes descrambled(const Bytes& message) {
    return bytesOf(Kyc::descrambleFromBin(message.data(), static_cast<int>(message.size())));
}

// ---- Layout ---------------------------------------------------------------------------------

// 256 and 512 are where a valid-byte count taken from the length mod 256 came out as 0,
// and the reader dropped the whole last block.
class ScramblerLayoutTest : public ::testing::TestWithParam<int> {};
INSTANTIATE_TEST_SUITE_P(Lengths, ScramblerLayoutTest,
                         ::testing::Values(1, 5, 7, 8, 9, 16, 255, 256, 257, 264, 512));

TEST_P(ScramblerLayoutTest, FollowsTheDocumentedLayoutAndRoundTrips) {
    const int n = GetParam();
    const Bytes data = pattern(n);
    const Bytes message = bytesOf(Kyc::scrambleToBin(data.data(), n));
    const int padded = (n + 7) / 8 * 8;
    ASSERT_EQ(static_cast<int>(message.size()), 16 + padded);
    EXPECT_EQ(message[0], 0);

    const Opened o = openByHand(message);
    EXPECT_EQ(Bytes(o.body.begin(), o.body.begin() + n), data);
    EXPECT_EQ(Bytes(o.body.begin() + n, o.body.end()), Bytes(static_cast<std::size_t>(padded - n)));
    EXPECT_EQ(o.count, (n - 1) % 8 + 1);
    EXPECT_EQ(o.storedCrc, crcOf(data.data(), n));

    EXPECT_EQ(descrambled(message), data);
}

TEST(ScramblerTest, FiveBytesTakeTwentyFourAndComeBack) {
    const Bytes data = {'h', 'e', 'l', 'l', 'o'};
    const KycBucket message = Kyc::scrambleToBin(data.data(), 5);
    ASSERT_EQ(message.getSize(), 24);
    EXPECT_EQ(message[0], 0);
    EXPECT_EQ(bytesOf(Kyc::descrambleFromBin(message)), data);
}

TEST(ScramblerTest, EveryLengthRoundTripsThroughEachForm) {
    for (int n = 1; n <= 40; ++n) {
        SCOPED_TRACE(n);
        const Bytes data = pattern(n);
        const KycBucket bucket(data.data(), n);
        EXPECT_EQ(bytesOf(Kyc::descrambleFromBin(Kyc::scrambleToBin(bucket))), data);
        EXPECT_EQ(bytesOf(Kyc::descrambleFromHex(Kyc::scrambleToHex(data.data(), n).c_str())),
                  data);
        KycScrambler s;
        EXPECT_EQ(bytesOf(s.descramble(s.scramble(bucket))), data);
    }
}

TEST(ScramblerTest, EmptyInGivesEmptyOut) {
    EXPECT_EQ(Kyc::scrambleToBin(nullptr, 0).getSize(), 0);
    EXPECT_EQ(Kyc::scrambleToHex(KycBucket()), "");
    EXPECT_EQ(Kyc::descrambleFromBin(nullptr, 0).getSize(), 0);
    EXPECT_EQ(Kyc::descrambleFromHex("").getSize(), 0);
    KycScrambler s;
    EXPECT_EQ(s.scramble(nullptr, 0, nullptr, 0, true), 0);
    EXPECT_EQ(s.descramble(nullptr, 0, nullptr, 0, true), 0);
}

TEST(ScramblerTest, SameDataTwiceGivesDifferentBytes) {
    const Bytes data = pattern(20);
    const KycBucket a = Kyc::scrambleToBin(data.data(), 20);
    const KycBucket b = Kyc::scrambleToBin(data.data(), 20);
    EXPECT_NE(a, b);
    // Fresh IV: the header differs, and so does every ciphertext block after it.
    EXPECT_NE(Bytes(a.getData() + 1, a.getData() + 8), Bytes(b.getData() + 1, b.getData() + 8));
    EXPECT_EQ(bytesOf(Kyc::descrambleFromBin(a)), data);
    EXPECT_EQ(bytesOf(Kyc::descrambleFromBin(b)), data);
}

// ---- Messages in several calls --------------------------------------------------------------

TEST(ScramblerTest, TwoCallMessageDescramblesInOneCall) {
    const Bytes data = pattern(19);
    KycScrambler s;
    Bytes message(64);
    int n = s.scramble(data.data(), 16, message.data(), 40, false);
    ASSERT_EQ(n, 24);
    n += s.scramble(data.data() + 16, 3, message.data() + n, 27, true);
    ASSERT_EQ(n, 40);
    message.resize(40);
    EXPECT_EQ(descrambled(message), data);
}

TEST(ScramblerTest, DescramblesInPiecesThatKeepTheLastBlockWithTheTrailer) {
    const Bytes data = pattern(19);
    const Bytes message = bytesOf(Kyc::scrambleToBin(data.data(), 19));  // 8 + 24 + 8
    for (int split : {16, 24}) {
        SCOPED_TRACE(split);
        KycScrambler d;
        Bytes out(message.size());
        int got = d.descramble(message.data(), split, out.data(), split, false);
        const int rest = static_cast<int>(message.size()) - split;
        got += d.descramble(message.data() + split, rest, out.data() + got, rest, true);
        out.resize(static_cast<std::size_t>(got));
        EXPECT_EQ(out, data);
    }
}

TEST(ScramblerTest, AnEmptyLastCallClosesAMessageBegunEarlier) {
    const Bytes data = pattern(16);
    KycScrambler s;
    Bytes message(64);
    int n = s.scramble(data.data(), 16, message.data(), 40, false);
    const int closing = s.scramble(nullptr, 0, message.data() + n, 24, true);
    EXPECT_EQ(closing, 8);
    message.resize(static_cast<std::size_t>(n + closing));
    EXPECT_EQ(descrambled(message), data);
}

// ---- Refused arguments ----------------------------------------------------------------------

TEST(ScramblerTest, RefusesBadArgumentsWithClearMessages) {
    const Bytes data = pattern(32);
    Bytes out(64);
    struct Case {
        const char* name;
        std::function<void(KycScrambler&)> call;
        const char* message;  // the whole text, or its beginning when it ends in "..."
    };
    const Case cases[] = {
        {"null input", [&](KycScrambler& s) { s.scramble(nullptr, 5, out.data(), 64, true); },
         "Cannot scramble data: NULL data passed as input."},
        {"null output", [&](KycScrambler& s) { s.scramble(data.data(), 5, nullptr, 64, true); },
         "Cannot scramble data: Destination buffer should be at least 24 bytes longer than the "
         "source one."},
        {"output 23 bytes longer",
         [&](KycScrambler& s) { s.scramble(data.data(), 5, out.data(), 28, true); },
         "Cannot scramble data: Destination buffer should be at least 24 bytes longer than the "
         "source one."},
        {"partial block before the last call",
         [&](KycScrambler& s) { s.scramble(data.data(), 5, out.data(), 64, false); },
         "Cannot scramble data: every call but the last must pass a multiple of 8 bytes..."},
        {"descramble null input",
         [&](KycScrambler& s) { s.descramble(nullptr, 24, out.data(), 64, true); },
         "Cannot descramble data: NULL data passed as input."},
        {"descramble output too small",
         [&](KycScrambler& s) { s.descramble(data.data(), 24, out.data(), 23, true); },
         "Cannot descramble data: Destination buffer should be as big as the source one."},
        {"12 bytes", [&](KycScrambler& s) { s.descramble(data.data(), 12, out.data(), 64, true); },
         kTooShortMessage},
        {"header and trailer only",
         [&](KycScrambler& s) { s.descramble(data.data(), 16, out.data(), 64, true); },
         kTooShortMessage},
        {"header only",
         [&](KycScrambler& s) { s.descramble(data.data(), 8, out.data(), 64, false); },
         kTooShortMessage},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KycScrambler s;
        const std::string got = thrownMessage([&] { c.call(s); });
        std::string expected = c.message;
        if (expected.size() > 3 && expected.compare(expected.size() - 3, 3, "...") == 0)
            EXPECT_EQ(got.rfind(expected.substr(0, expected.size() - 3), 0), 0u) << got;
        else
            EXPECT_EQ(got, expected);
    }
}

// ---- Damaged and crafted input --------------------------------------------------------------

struct TamperCase {
    int length;
    std::vector<int> positions;
};

// With 8 data bytes every IV byte reaches a checked plaintext byte, so every position of
// the message counts; with 5, IV bytes 5 and 6 only touch padding, which no check covers.
std::vector<TamperCase> tamperCases() {
    std::vector<TamperCase> cases;
    TamperCase whole{8, {}};
    for (int i = 0; i < 24; ++i)
        whole.positions.push_back(i);
    TamperCase shortData{5, {0}};
    for (int i = 8; i < 24; ++i)
        shortData.positions.push_back(i);
    TamperCase longer{30, {0}};
    for (int i = 8; i < 48; ++i)
        longer.positions.push_back(i);
    return {whole, shortData, longer};
}

TEST(ScramblerTest, AnyChangedByteIsDetected) {
    for (const TamperCase& c : tamperCases()) {
        const Bytes data = pattern(c.length);
        const Bytes message = bytesOf(Kyc::scrambleToBin(data.data(), c.length));
        for (int pos : c.positions) {
            for (unsigned char flip : {0x01, 0x80}) {
                SCOPED_TRACE("length " + std::to_string(c.length) + ", byte " +
                             std::to_string(pos) + ", flip " + std::to_string(flip));
                Bytes damaged = message;
                damaged[static_cast<std::size_t>(pos)] ^= flip;
                const std::string got = thrownMessage([&] { descrambled(damaged); });
                if (pos == 0)
                    EXPECT_EQ(got, kMethodMessage);
                else
                    EXPECT_TRUE(got == kCrcMessage || got == kCountMessage) << got;
            }
        }
    }
}

TEST(ScramblerTest, CraftedTrailersAreCheckedBeforeAnyLengthIsUsed) {
    const Bytes body = {1, 2, 3, 4, 5, 0, 0, 0};
    const unsigned int goodCrc = crcOf(body.data(), 5);
    struct Case {
        const char* name;
        unsigned int crc;
        int count;
        const char* message;  // null: descrambles to the 5 bytes
    };
    const Case cases[] = {
        {"sound", goodCrc, 5, nullptr},
        {"count 0", goodCrc, 0, kCountMessage},
        {"count 9", goodCrc, 9, kCountMessage},
        {"count 255", goodCrc, 255, kCountMessage},
        {"wrong crc", goodCrc ^ 1u, 5, kCrcMessage},
        {"count reaching into padding", goodCrc, 6, kCrcMessage},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes message = craft(body, c.crc, c.count);
        if (c.message == nullptr)
            EXPECT_EQ(descrambled(message), Bytes(body.begin(), body.begin() + 5));
        else
            EXPECT_EQ(thrownMessage([&] { descrambled(message); }), c.message);
    }
}

TEST(ScramblerTest, TruncatedMessagesAreRefused) {
    const Bytes message = bytesOf(Kyc::scrambleToBin(pattern(8).data(), 8));  // 24 bytes
    struct Case {
        int keep;
        const char* message;
    };
    const Case cases[] = {
        {23, "Scrambled data is corrupt: length is not a whole number of blocks."},
        {17, "Scrambled data is corrupt: length is not a whole number of blocks."},
        {16, kTooShortMessage},
        {12, kTooShortMessage},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keep);
        EXPECT_EQ(thrownMessage([&] { Kyc::descrambleFromBin(message.data(), c.keep); }),
                  c.message);
    }
}

TEST(ScramblerTest, ACorruptMessageLeavesNoPlaintextAndTheObjectReusable) {
    const Bytes data = pattern(16);
    Bytes message = bytesOf(Kyc::scrambleToBin(data.data(), 16));
    const Bytes sound = message;
    message[message.size() - 1] ^= 0x40;  // the trailer

    KycScrambler d;
    Bytes out(message.size(), 0xEE);
    EXPECT_NE(thrownMessage([&] {
                  d.descramble(message.data(), static_cast<int>(message.size()), out.data(),
                               static_cast<int>(out.size()), true);
              }),
              "(nothing thrown)");
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 16), Bytes(16));

    const int n = d.descramble(sound.data(), static_cast<int>(sound.size()), out.data(),
                               static_cast<int>(out.size()), true);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + n), data);
}

// ---- Copies ---------------------------------------------------------------------------------

struct CopyCase {
    const char* name;
    std::function<std::unique_ptr<KycScrambler>(const KycScrambler&)> copy;
};

const CopyCase kCopies[] = {
    {"copy constructor", [](const KycScrambler& s) { return std::make_unique<KycScrambler>(s); }},
    {"copy assignment over a scrambler mid-message",
     [](const KycScrambler& s) {
         auto target = std::make_unique<KycScrambler>();
         const Bytes other = pattern(8);
         Bytes out(32);
         target->scramble(other.data(), 8, out.data(), 32, false);
         *target = s;
         return target;
     }},
};

// The copy must continue the message exactly where the original stands, with a cipher
// context of its own that outlives the original.
TEST(ScramblerCopyTest, ACopyMidMessageContinuesLikeTheOriginal) {
    const Bytes data = pattern(35);
    for (const CopyCase& c : kCopies) {
        SCOPED_TRACE(c.name);
        auto original = std::make_unique<KycScrambler>();
        Bytes prefix(40);
        prefix.resize(static_cast<std::size_t>(
            original->scramble(data.data(), 16, prefix.data(), 40, false)));
        auto copy = c.copy(*original);

        auto finish = [&](KycScrambler& s) {
            Bytes message = prefix;
            Bytes tail(64);
            int n = s.scramble(data.data() + 16, 16, tail.data(), 40, false);
            n += s.scramble(data.data() + 32, 3, tail.data() + n, 27, true);
            message.insert(message.end(), tail.begin(), tail.begin() + n);
            return message;
        };
        const Bytes fromOriginal = finish(*original);
        original.reset();
        const Bytes fromCopy = finish(*copy);

        ASSERT_EQ(fromOriginal.size(), fromCopy.size());
        // Identical up to the trailer, whose filler bytes are random.
        const std::size_t trailer = fromCopy.size() - 8;
        EXPECT_EQ(Bytes(fromOriginal.begin(), fromOriginal.begin() + trailer),
                  Bytes(fromCopy.begin(), fromCopy.begin() + trailer));
        EXPECT_EQ(descrambled(fromOriginal), data);
        EXPECT_EQ(descrambled(fromCopy), data);
    }
}

TEST(ScramblerCopyTest, ACopyOfAReaderMidMessageReadsTheSameRest) {
    const Bytes data = pattern(30);
    const Bytes message = bytesOf(Kyc::scrambleToBin(data.data(), 30));  // 8 + 32 + 8
    for (const CopyCase& c : kCopies) {
        SCOPED_TRACE(c.name);
        auto original = std::make_unique<KycScrambler>();
        Bytes first(24);
        ASSERT_EQ(original->descramble(message.data(), 24, first.data(), 24, false), 16);
        auto copy = c.copy(*original);

        auto finish = [&](KycScrambler& s) {
            Bytes out(24);
            out.resize(static_cast<std::size_t>(
                s.descramble(message.data() + 24, 24, out.data(), 24, true)));
            return out;
        };
        const Bytes fromOriginal = finish(*original);
        original.reset();
        EXPECT_EQ(finish(*copy), fromOriginal);
        EXPECT_EQ(fromOriginal, Bytes(data.begin() + 16, data.end()));
    }
}

TEST(ScramblerCopyTest, MovesCarryTheMessageAndLeaveASourceReadyForANewOne) {
    const Bytes data = pattern(19);
    KycScrambler source;
    Bytes message(64);
    int n = source.scramble(data.data(), 16, message.data(), 40, false);

    KycScrambler moved(std::move(source));
    KycScrambler assigned;
    assigned = std::move(moved);
    n += assigned.scramble(data.data() + 16, 3, message.data() + n, 27, true);
    message.resize(static_cast<std::size_t>(n));
    EXPECT_EQ(descrambled(message), data);

    // NOLINTNEXTLINE(bugprone-use-after-move): a moved-from scrambler is meant to be usable.
    EXPECT_EQ(bytesOf(source.descramble(source.scramble(KycBucket(data.data(), 19)))), data);
}

TEST(ScramblerCopyTest, SelfAssignmentKeepsTheMessage) {
    const Bytes data = pattern(19);
    KycScrambler s;
    KycScrambler& alias = s;
    Bytes message(64);
    int n = s.scramble(data.data(), 16, message.data(), 40, false);
    s = alias;
    n += s.scramble(data.data() + 16, 3, message.data() + n, 27, true);
    message.resize(static_cast<std::size_t>(n));
    EXPECT_EQ(descrambled(message), data);
}

}  // namespace
