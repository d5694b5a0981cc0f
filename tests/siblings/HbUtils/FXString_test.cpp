#include "siblings/HbUtils/FXString.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Parts = std::vector<std::string>;

std::string FormatThroughList(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = FXString::FormatV(format, args);
    va_end(args);
    return text;
}

TEST(FXString, FormatsTextsOfAnyLength) {
    EXPECT_EQ(FXString::Format("%s=%d (%.1f)", "x", -5, 2.25), "x=-5 (2.2)");
    EXPECT_EQ(FXString::Format("%s", ""), "");
    std::string longText(10000, 'z');
    EXPECT_EQ(FXString::Format("<%s>", longText.c_str()), "<" + longText + ">");
    EXPECT_EQ(FormatThroughList("%s-%u", longText.c_str(), 9u), longText + "-9");
    EXPECT_EQ(FormatThroughList(nullptr), "");
}

TEST(FXString, ConvertsBetweenUtf8AndWide) {
    const std::string utf8 =
        "Gr\xC3\xBC\xC3\x9F"
        "e \xE2\x82\xAC \xF0\x9F\x98\x80";
    const std::wstring wide = L"Gr\u00FC\u00DFe \u20AC \U0001F600";
    EXPECT_EQ(FXString::ToWstring(utf8), wide);
    EXPECT_EQ(FXString::ToString(wide), utf8);
    EXPECT_EQ(FXString::ToString(std::u16string(u"Gr\u00FC\u00DFe \u20AC \U0001F600")), utf8);
    EXPECT_EQ(FXString::ToWstring(std::string("a\xFF"
                                              "b")),
              L"a\uFFFDb");
    EXPECT_EQ(FXString::ToString(std::wstring()), "");
}

TEST(FXString, ChangesTheCaseOfAsciiLettersOnly) {
    const std::string mixed = "Key_\xC3\xA4\xC3\x84-9z";
    EXPECT_EQ(FXString::ToUpper(mixed), "KEY_\xC3\xA4\xC3\x84-9Z");
    EXPECT_EQ(FXString::ToLower(mixed), "key_\xC3\xA4\xC3\x84-9z");
}

TEST(FXString, Trim) {
    struct Case {
        std::string text;
        std::string trimmed;
    } cases[] = {
        {"  a b\t", "a b"}, {"\t\t", ""}, {"", ""}, {"x", "x"}, {" \n x \n ", "\n x \n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FXString::Trim(c.text), c.trimmed) << c.text;
    EXPECT_EQ(FXString::Trim("--a-b--", "-"), "a-b");
}

TEST(FXString, ReplaceAll) {
    struct Case {
        std::string text, from, to, result;
    } cases[] = {
        {"a.b.c", ".", "\\", "a\\b\\c"},
        {"aaaa", "aa", "a", "aa"},  // what was put in is not
                                    // looked at again
        {"abab", "a", "aa", "aabaab"},
        {"abc", "", "x", "abc"},
        {"abc", "abc", "", ""},
        {"abc", "d", "x", "abc"},
        {"", "a", "b", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FXString::ReplaceAll(c.text, c.from, c.to), c.result)
            << c.text << " " << c.from << " " << c.to;
    }
}

TEST(FXString, SplitKeepsEveryPart) {
    struct Case {
        std::string text, separator;
        Parts parts;
    } cases[] = {
        {"a,b,c", ",", {"a", "b", "c"}},
        {"a,,b,", ",", {"a", "", "b", ""}},
        {" a , b ", ",", {" a ", " b "}},
        {"a::b", "::", {"a", "b"}},
        {"abc", ",", {"abc"}},
        {"", ",", {}},
        {"a,b", "", {"a,b"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FXString::Split(c.text, c.separator), c.parts) << c.text;
}

TEST(FXString, SplitArguments) {
    struct Case {
        std::string text, separator;
        Parts parts;
    } cases[] = {
        {"a,b,c", ",", {"a", "b", "c"}},
        {" a , , b ,", ",", {"a", "b"}},
        {"a   b\tc", " ", {"a", "b\tc"}},
        {"\"a,b\",c", ",", {"\"a,b\"", "c"}},
        {"x \"a b\" y", " ", {"x", "\"a b\"", "y"}},
        {"a,\"b,c", ",", {"a", "\"b,c"}},  // an unclosed quote runs to the end
        {"a::b", "::", {"a", "b"}},
        {"  ", ",", {}},
        {"", ",", {}},
        {" a,b ", "", {"a,b"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FXString::SplitArguments(c.text, c.separator), c.parts)
            << "[" << c.text << "] by [" << c.separator << "]";
    }
}

// How a settings list is read: split by each default separator in turn.
TEST(FXString, SplitArgumentsAppliedInTurnKeepsQuotedRuns) {
    Parts parts{"host1, host2;host3 \"my host:4\"|host5:6"};
    for (const char* separator : {",", ";", " ", ":", "|"}) {
        Parts next;
        for (const std::string& part : parts) {
            for (std::string& piece : FXString::SplitArguments(part, separator)) {
                next.push_back(std::move(piece));
            }
        }
        parts = std::move(next);
    }
    EXPECT_EQ(parts, (Parts{"host1", "host2", "host3", "\"my host:4\"", "host5", "6"}));
}

}  // namespace
