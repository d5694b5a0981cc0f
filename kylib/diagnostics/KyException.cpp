#include "kylib/diagnostics/KyException.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "kylib/diagnostics/EvDebug.h"

namespace {

// Stand-ins for texts that are null or cannot be copied. They are shared by every
// exception and never freed, so that an exception made while memory is short still
// carries a text and copying it can never fail.
const char kUnknownName[] = "unknown";
const char kNoMemoryMessage[] = "Not enough memory";

bool isSharedText(const char* text) noexcept {
    return text == kUnknownName || text == kNoMemoryMessage;
}

// A copy of `text` owned by the exception, or `fallback` when there is none to copy.
// malloc rather than new: a failure must give the stand-in, not an exception.
const char* duplicate(const char* text, const char* fallback) noexcept {
    if (text == nullptr)
        return fallback;
    if (isSharedText(text))
        return text;
    std::size_t size = std::strlen(text) + 1;
    char* copy = static_cast<char*>(std::malloc(size));
    if (copy == nullptr)
        return fallback;
    std::memcpy(copy, text, size);
    return copy;
}

void releaseText(const char* text) noexcept {
    if (!isSharedText(text))
        std::free(const_cast<char*>(text));
}

}  // namespace

KyException::KyException(const char* func, const char* message, const char* file, int line,
                         int errorNumber) {
    init(func, message, file, line, errorNumber);
}

KyException::KyException(const char* func, const std::string& message, const char* file, int line,
                         int errorNumber) {
    init(func, message.c_str(), file, line, errorNumber);
}

// A copy is the same failure travelling on (a throw, a catch by value): it is not logged
// again.
KyException::KyException(const KyException& other) noexcept
    : m_funcName(duplicate(other.m_funcName, kUnknownName)),
      m_message(duplicate(other.m_message, kNoMemoryMessage)),
      m_fileName(duplicate(other.m_fileName, kUnknownName)),
      m_lineNum(other.m_lineNum),
      m_errno(other.m_errno) {}

KyException& KyException::operator=(const KyException& other) noexcept {
    if (this == &other)
        return *this;
    // Copies first, then release: the old texts stay valid until the new ones exist.
    const char* funcName = duplicate(other.m_funcName, kUnknownName);
    const char* message = duplicate(other.m_message, kNoMemoryMessage);
    const char* fileName = duplicate(other.m_fileName, kUnknownName);
    release();
    m_funcName = funcName;
    m_message = message;
    m_fileName = fileName;
    m_lineNum = other.m_lineNum;
    m_errno = other.m_errno;
    return *this;
}

KyException::~KyException() {
    release();
}

std::string KyException::formatError() const {
    return std::string(m_funcName) + "(): " + m_message;
}

void KyException::setMessage(const char* message) {
    // The new text may be the current one (setMessage(getMessage())): copy before freeing.
    const char* copy = duplicate(message, kNoMemoryMessage);
    releaseText(m_message);
    m_message = copy;
    try {
        EvDebug().debugLvl(0, "KyException::setMessage(): message='%s'", m_message);
    } catch (...) {
        // The log is a courtesy; a failure to write it must not replace the exception.
    }
}

void KyException::init(const char* func, const char* message, const char* file, int line,
                       int errorNumber) {
    m_funcName = duplicate(func, kUnknownName);
    m_message = duplicate(message, kNoMemoryMessage);
    m_fileName = duplicate(file, kUnknownName);
    m_lineNum = line;
    m_errno = errorNumber;
    try {
        EvDebug log;
        if (m_errno >= 1) {
            log.debugLvl(0,
                         "KyException::init(): func_name=%s, file_name=%s, message='%s', errno= %d",
                         m_funcName, m_fileName, m_message, m_errno);
        } else {
            log.debugLvl(0, "KyException::init(): func_name=%s, file_name=%s, message='%s'",
                         m_funcName, m_fileName, m_message);
        }
    } catch (...) {
        // As in setMessage: the exception is made whether or not the line was written.
    }
}

void KyException::release() noexcept {
    releaseText(m_funcName);
    releaseText(m_message);
    releaseText(m_fileName);
    m_funcName = kUnknownName;
    m_message = kNoMemoryMessage;
    m_fileName = kUnknownName;
}
