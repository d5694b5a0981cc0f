#include "os/Utf.h"

#include <cstdint>

namespace kyos {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point at text[i], advancing i. Returns false for an invalid sequence
// (i then points past the longest prefix that could have started one, as recommended by
// Unicode for replacement).
bool decodeUtf8(std::string_view text, size_t& i, char32_t& out) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char b0 = byte(i);
    if (b0 < 0x80) {
        out = b0;
        ++i;
        return true;
    }
    int extra;
    char32_t cp;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        extra = 1;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        extra = 2;
        cp = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;  // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        extra = 3;
        cp = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        ++i;
        return false;
    }
    ++i;
    for (int k = 0; k < extra; ++k) {
        if (i >= text.size()) return false;
        unsigned char b = byte(i);
        if (b < lo || b > hi) return false;
        lo = 0x80;
        hi = 0xBF;
        cp = (cp << 6) | (b & 0x3F);
        ++i;
    }
    out = cp;
    return true;
}

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

void appendUtf16(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out += static_cast<char16_t>(cp);
    } else {
        cp -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (cp >> 10));
        out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    }
}

bool isSurrogate(char32_t cp) { return cp >= 0xD800 && cp <= 0xDFFF; }

// Decodes one code point of UTF-16 at text[i]; false for an unpaired surrogate.
bool decodeUtf16(std::u16string_view text, size_t& i, char32_t& out) {
    char16_t u = text[i++];
    if (u < 0xD800 || u > 0xDFFF) {
        out = u;
        return true;
    }
    if (u <= 0xDBFF && i < text.size() && text[i] >= 0xDC00 && text[i] <= 0xDFFF) {
        out = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (text[i] - 0xDC00);
        ++i;
        return true;
    }
    return false;
}

template <bool kStrict>
std::optional<std::u16string> toUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        char32_t cp;
        if (!decodeUtf8(text, i, cp)) {
            if (kStrict) return std::nullopt;
            cp = kReplacement;
        }
        appendUtf16(out, cp);
    }
    return out;
}

template <bool kStrict>
std::optional<std::string> fromUtf16(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        char32_t cp;
        if (!decodeUtf16(text, i, cp)) {
            if (kStrict) return std::nullopt;
            cp = kReplacement;
        }
        appendUtf8(out, cp);
    }
    return out;
}

}  // namespace

std::u16string utf8ToUtf16(std::string_view text) { return *toUtf16<false>(text); }
std::string utf16ToUtf8(std::u16string_view text) { return *fromUtf16<false>(text); }
std::optional<std::u16string> utf8ToUtf16Strict(std::string_view text) { return toUtf16<true>(text); }
std::optional<std::string> utf16ToUtf8Strict(std::u16string_view text) { return fromUtf16<true>(text); }

std::wstring utf8ToWide(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        char32_t cp;
        if (!decodeUtf8(text, i, cp)) cp = kReplacement;
        out += static_cast<wchar_t>(cp);
    }
    return out;
}

std::string wideToUtf8(std::wstring_view text) {
    static_assert(sizeof(wchar_t) == 4, "wide strings hold UTF-32 on this platform");
    std::string out;
    out.reserve(text.size());
    for (wchar_t w : text) {
        auto cp = static_cast<char32_t>(w);
        if (cp > 0x10FFFF || isSurrogate(cp)) cp = kReplacement;
        appendUtf8(out, cp);
    }
    return out;
}

bool isValidUtf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        char32_t cp;
        if (!decodeUtf8(text, i, cp)) return false;
    }
    return true;
}

std::u16string utf16FromLittleEndian(std::string_view bytes) {
    std::u16string out(bytes.size() / 2, u'\0');
    for (size_t k = 0; k < out.size(); ++k) {
        out[k] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * k]) |
                                       (static_cast<unsigned char>(bytes[2 * k + 1]) << 8));
    }
    return out;
}

std::string utf16ToLittleEndian(std::u16string_view text) {
    std::string out(text.size() * 2, '\0');
    for (size_t k = 0; k < text.size(); ++k) {
        out[2 * k] = static_cast<char>(text[k] & 0xFF);
        out[2 * k + 1] = static_cast<char>(text[k] >> 8);
    }
    return out;
}

}  // namespace kyos
