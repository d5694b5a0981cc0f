// CError: the text-and-code record that older classes (the named mutex, for one) fill in
// for their caller when an operation fails.
//
// The text is at most kMaxTextLength bytes and always terminated; it is kept on one line
// (line feeds, carriage returns, vertical tabs and form feeds become blanks). The code
// is a Win32 code or the caller's own. The record owns its text; getText() stays valid
// until the next set. A plain value owned by one thread at a time; copies may go to
// other threads.
#pragma once

#include <cstddef>
#include <cstdint>

class CError {
public:
    static constexpr std::size_t kMaxTextLength = 512;

    // Code 0 and an empty text.
    CError();

    // The code with the text "NoText".
    void set(long code);
    // The code with the formatted text, cut to kMaxTextLength; a null format is set(code).
    void set(long code, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    // The calling thread's last Win32 error: code 0 and "No Errors" when there is none;
    // otherwise that code and "<formatted text> (SYSTEM: <system text of the code>)", or
    // "(SYSTEM: No text found)" when the system has no text for it. The last error is
    // only read, never changed.
    void setSystem(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

    long getCode() const { return m_code; }
    const char* getText() const { return m_text; }

private:
    void setText(const char* text);

    char m_text[kMaxTextLength + 1];
    std::int32_t m_code;
};
