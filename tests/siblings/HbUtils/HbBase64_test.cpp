#include "siblings/HbUtils/HbBase64.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(HbBase64, Rfc4648Vectors) {
    struct Case {
        std::string bytes, text;
    } cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {std::string("\0\xFF\xFE", 3), "AP/+"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(HbBase64::Encode(c.bytes), c.text);
        std::string decoded = "stale";
        EXPECT_TRUE(HbBase64::Decode(c.text, decoded)) << c.text;
        EXPECT_EQ(decoded, c.bytes);
    }
}

TEST(HbBase64, EveryByteValueRoundTrips) {
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += static_cast<char>(i);
    for (size_t length = 0; length <= bytes.size(); length += 37) {
        std::string part = bytes.substr(bytes.size() - length);
        std::string decoded;
        ASSERT_TRUE(HbBase64::Decode(HbBase64::Encode(part.data(), part.size()), decoded));
        EXPECT_EQ(decoded, part);
    }
}

TEST(HbBase64, RejectsMalformedText) {
    const char* malformed[] = {
        "Zg=",       // length not a multiple of four
        "Zg",        // padding left out
        "Zg==Zg==",  // padding before the end
        "Z===",      // three padding characters
        "====",      // nothing but padding
        "Zh==",      // unused bits set
        "Zm9=",      // unused bits set
        "Zm9v\n",    // line break
        "Zm 9",      // blank
        "Zm9v!A==",  // outside the alphabet
        "Zm9-",      // URL-safe alphabet
        "Zm=v",      // padding inside a group
    };
    for (const char* text : malformed) {
        std::string out = "stale";
        EXPECT_FALSE(HbBase64::Decode(text, out)) << text;
        EXPECT_TRUE(out.empty()) << text;
    }
}

}  // namespace
