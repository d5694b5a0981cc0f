#include "os/Utf.h"

#include <gtest/gtest.h>

namespace {

TEST(Utf, RoundTripsEveryPlane) {
    const std::string text = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";  // A é € 😀 z
    std::u16string wide = kyos::utf8ToUtf16(text);
    EXPECT_EQ(wide, u"A\u00e9\u20ac\U0001F600z");
    EXPECT_EQ(kyos::utf16ToUtf8(wide), text);
    EXPECT_EQ(kyos::utf8ToWide(text), L"A\u00e9\u20ac\U0001F600z");
    EXPECT_EQ(kyos::wideToUtf8(kyos::utf8ToWide(text)), text);
}

TEST(Utf, InvalidInput) {
    struct Case {
        const char* name;
        std::string utf8;
        std::u16string lenient;
    } cases[] = {
        {"stray continuation", "a\x80z", u"a\uFFFDz"},
        {"truncated sequence", "a\xE2\x82", u"a\uFFFD"},
        {"overlong slash", "\xC0\xAF", u"\uFFFD\uFFFD"},
        {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"above U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(kyos::utf8ToUtf16(c.utf8), c.lenient) << c.name;
        EXPECT_FALSE(kyos::utf8ToUtf16Strict(c.utf8)) << c.name;
        EXPECT_FALSE(kyos::isValidUtf8(c.utf8)) << c.name;
    }
    const char16_t lone[] = {u'a', 0xD800, u'b', 0};
    EXPECT_EQ(kyos::utf16ToUtf8(lone), "a\xEF\xBF\xBD" "b");
    EXPECT_FALSE(kyos::utf16ToUtf8Strict(lone));
}

TEST(Utf, LittleEndianBytes) {
    std::string bytes = kyos::utf16ToLittleEndian(u"A\u20ac");
    EXPECT_EQ(bytes, std::string("A\0\xAC\x20", 4));
    EXPECT_EQ(kyos::utf16FromLittleEndian(bytes + "\x01"), u"A\u20ac");
}

}  // namespace
