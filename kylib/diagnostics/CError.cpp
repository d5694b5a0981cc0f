#include "kylib/diagnostics/CError.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "os/LastError.h"
#include "os/Win32.h"

namespace {

// What a caller's text is formatted into before it is cut to the record's size.
constexpr std::size_t kFormatBufferSize = 1024;
// The most of a system text that is used, as the system call it stands for returns.
constexpr std::size_t kSystemTextSize = 2048;
// A UTF-8 character is at most four bytes: a lead byte and three continuation bytes.
constexpr std::size_t kMaxUtf8Continuations = 3;

void blankControlCharacters(char* text) {
    for (char* p = text; *p != '\0'; ++p) {
        if (*p == '\n' || *p == '\r' || *p == '\v' || *p == '\f')
            *p = ' ';
    }
}

bool isUtf8Continuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// vsnprintf into `buffer`: cut (and terminated) when too long, empty when the format
// cannot be applied, so that the buffer never holds undefined bytes.
void formatInto(char* buffer, std::size_t size, const char* fmt, va_list args) {
    if (fmt == nullptr || std::vsnprintf(buffer, size, fmt, args) < 0)
        buffer[0] = '\0';
}

}  // namespace

CError::CError() : m_text{}, m_code(0) {}

void CError::set(long code) {
    m_code = static_cast<std::int32_t>(code);
    setText("NoText");
}

void CError::set(long code, const char* fmt, ...) {
    if (fmt == nullptr) {
        set(code);
        return;
    }
    m_code = static_cast<std::int32_t>(code);
    char buffer[kFormatBufferSize];
    va_list args;
    va_start(args, fmt);
    formatInto(buffer, sizeof buffer, fmt, args);
    va_end(args);
    setText(buffer);
}

void CError::setSystem(const char* fmt, ...) {
    DWORD lastError = kyos::lastError();
    if (lastError == ERROR_SUCCESS) {
        m_code = 0;
        setText("No Errors");
        return;
    }
    char callerText[kFormatBufferSize];
    va_list args;
    va_start(args, fmt);
    formatInto(callerText, sizeof callerText, fmt, args);
    va_end(args);

    // kyos::win32MessageText answers "Unknown error <code>" for a code without a text:
    // that is the system having none.
    std::string systemText = kyos::win32MessageText(lastError);
    const std::string noText = "Unknown error " + std::to_string(lastError);
    if (systemText == noText)
        systemText = "No text found";
    else if (systemText.size() >= kSystemTextSize)
        systemText.resize(kSystemTextSize - 1);

    std::string text = std::string(callerText) + " (SYSTEM: " + systemText + ")";
    m_code = static_cast<std::int32_t>(lastError);
    setText(text.c_str());
}

void CError::setText(const char* text) {
    std::size_t length = std::strlen(text);
    if (length > kMaxTextLength) {
        length = kMaxTextLength;
        // Narrow text is UTF-8 here: a cut inside a character would leave an invalid
        // sequence at the end, so the cut moves back to the character's first byte (at
        // most three bytes: text that is not UTF-8 is cut where it is).
        std::size_t cut = length;
        while (cut > length - kMaxUtf8Continuations && isUtf8Continuation(text[cut]))
            --cut;
        if (!isUtf8Continuation(text[cut]))
            length = cut;
    }
    std::memcpy(m_text, text, length);
    m_text[length] = '\0';
    blankControlCharacters(m_text);
}
