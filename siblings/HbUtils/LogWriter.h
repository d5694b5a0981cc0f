// CLogWriterInterface: where this library and the code above it send diagnostics, and the
// process-wide writer g_ptrLogWriter.
//
// A caller asks the writer for its level and, when that level is at least the message's,
// hands it the message: level, function ("Class::method"), source line, three 32-bit
// words that callers pass as 0, and a printf-style format with its arguments. The writer
// behind the interface decides where lines go.
//
// g_ptrLogWriter is replaced at run time (when a process opens its debug log, and again
// when that log goes away) while other threads are logging, so it is only ever read and
// written through GetLogWriter(), SetLogWriter() and ReplaceLogWriter(), which do so
// atomically; a caller keeps the writer it got alive for as long as it holds the pointer.
// It is never null: it starts as, and falls back to, a writer that writes nothing.
// Writers themselves must accept calls from any thread.
#pragma once

#include <boost/shared_ptr.hpp>
#include <cstdarg>
#include <cstdint>

class CLogWriterInterface {
public:
    virtual ~CLogWriterInterface();

    // The highest message level written; messages above it are dropped.
    virtual int GetLevel() const = 0;

    virtual void LogMessageV(int level, const char* function, int line, std::uint32_t word1,
                             std::uint32_t word2, std::uint32_t word3, const char* format,
                             va_list args) __attribute__((format(printf, 8, 0))) = 0;

    void LogMessage(int level, const char* function, int line, std::uint32_t word1,
                    std::uint32_t word2, std::uint32_t word3, const char* format, ...)
        __attribute__((format(printf, 8, 9)));

    // Whether a message of `level` would be written.
    bool IsLevelEnabled(int level) const { return GetLevel() >= level; }
};

// A writer that writes nothing; its level (-1) lies below every message level.
boost::shared_ptr<CLogWriterInterface> CreateNullLogWriter();

// The process-wide writer. Read and write it only through the functions below. It is
// never destroyed, so that a thread still logging while the process exits finds it.
extern boost::shared_ptr<CLogWriterInterface>& g_ptrLogWriter;

boost::shared_ptr<CLogWriterInterface> GetLogWriter();
// Installs `writer` (the null writer when it is null).
void SetLogWriter(boost::shared_ptr<CLogWriterInterface> writer);
// Installs `replacement` (the null writer when null) only if `expected` is still the
// current writer; tells whether it did.
bool ReplaceLogWriter(const boost::shared_ptr<CLogWriterInterface>& expected,
                      boost::shared_ptr<CLogWriterInterface> replacement);
