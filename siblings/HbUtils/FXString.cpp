#include "siblings/HbUtils/FXString.h"

#include <cstdio>

#include "os/Utf.h"

namespace FXString {
namespace {

// Most formatted texts (log lines, error texts) fit, which saves the second pass.
constexpr size_t kFirstFormatBuffer = 256;

constexpr char kQuote = '"';
constexpr std::string_view kBlanks = " \t";

}  // namespace

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = FormatV(format, args);
    va_end(args);
    return text;
}

std::string FormatV(const char* format, va_list args) {
    if (format == nullptr)
        return std::string();
    char first[kFirstFormatBuffer];
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(first, sizeof first, format, copy);
    va_end(copy);
    if (length < 0)
        return std::string();
    if (static_cast<size_t>(length) < sizeof first)
        return std::string(first, length);
    std::string text(static_cast<size_t>(length), '\0');
    va_copy(copy, args);
    int written = std::vsnprintf(text.data(), text.size() + 1, format, copy);
    va_end(copy);
    return written == length ? text : std::string();
}

std::string ToString(std::wstring_view text) {
    return kyos::wideToUtf8(text);
}

std::string ToString(std::u16string_view text) {
    return kyos::utf16ToUtf8(text);
}

std::wstring ToWstring(std::string_view text) {
    return kyos::utf8ToWide(text);
}

std::string ToUpper(std::string_view text) {
    std::string result(text);
    for (char& c : result) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return result;
}

std::string ToLower(std::string_view text) {
    std::string result(text);
    for (char& c : result) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return result;
}

std::string Trim(std::string_view text, std::string_view characters) {
    std::string_view::size_type first = text.find_first_not_of(characters);
    if (first == std::string_view::npos)
        return std::string();
    std::string_view::size_type last = text.find_last_not_of(characters);
    return std::string(text.substr(first, last - first + 1));
}

std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
    if (from.empty())
        return std::string(text);
    std::string result;
    result.reserve(text.size());
    std::string_view::size_type start = 0;
    for (;;) {
        std::string_view::size_type found = text.find(from, start);
        if (found == std::string_view::npos)
            break;
        result.append(text.substr(start, found - start));
        result.append(to);
        start = found + from.size();
    }
    result.append(text.substr(start));
    return result;
}

std::vector<std::string> Split(std::string_view text, std::string_view separator) {
    std::vector<std::string> parts;
    if (text.empty())
        return parts;
    if (separator.empty()) {
        parts.emplace_back(text);
        return parts;
    }
    std::string_view::size_type start = 0;
    for (;;) {
        std::string_view::size_type found = text.find(separator, start);
        if (found == std::string_view::npos)
            break;
        parts.emplace_back(text.substr(start, found - start));
        start = found + separator.size();
    }
    parts.emplace_back(text.substr(start));
    return parts;
}

std::vector<std::string> SplitArguments(std::string_view text, std::string_view separator) {
    std::vector<std::string> parts;
    auto keep = [&parts](std::string_view part) {
        std::string trimmed = Trim(part, kBlanks);
        if (!trimmed.empty())
            parts.push_back(std::move(trimmed));
    };
    if (separator.empty()) {
        keep(text);
        return parts;
    }
    std::string_view::size_type start = 0;
    std::string_view::size_type i = 0;
    bool quoted = false;
    while (i < text.size()) {
        if (text[i] == kQuote) {
            quoted = !quoted;
            ++i;
        } else if (!quoted && text.compare(i, separator.size(), separator) == 0) {
            keep(text.substr(start, i - start));
            i += separator.size();
            start = i;
        } else {
            ++i;
        }
    }
    keep(text.substr(start));
    return parts;
}

}  // namespace FXString
