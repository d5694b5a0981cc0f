#include "siblings/HbUtils/LogWriter.h"

#include <boost/make_shared.hpp>

namespace {

class CNullLogWriter final : public CLogWriterInterface {
public:
    int GetLevel() const override { return -1; }
    void LogMessageV(int, const char*, int, std::uint32_t, std::uint32_t, std::uint32_t,
                     const char*, va_list) override {}
};

// One null writer for the whole process, never destroyed, so that a thread that logs
// during process exit still finds it.
const boost::shared_ptr<CLogWriterInterface>& SharedNullWriter() {
    static const auto* writer =
        new boost::shared_ptr<CLogWriterInterface>(boost::make_shared<CNullLogWriter>());
    return *writer;
}

}  // namespace

CLogWriterInterface::~CLogWriterInterface() = default;

void CLogWriterInterface::LogMessage(int level, const char* function, int line, std::uint32_t word1,
                                     std::uint32_t word2, std::uint32_t word3, const char* format,
                                     ...) {
    va_list args;
    va_start(args, format);
    LogMessageV(level, function, line, word1, word2, word3, format, args);
    va_end(args);
}

boost::shared_ptr<CLogWriterInterface> CreateNullLogWriter() {
    return SharedNullWriter();
}

boost::shared_ptr<CLogWriterInterface>& g_ptrLogWriter =
    *new boost::shared_ptr<CLogWriterInterface>(CreateNullLogWriter());

boost::shared_ptr<CLogWriterInterface> GetLogWriter() {
    return boost::atomic_load(&g_ptrLogWriter);
}

void SetLogWriter(boost::shared_ptr<CLogWriterInterface> writer) {
    if (!writer)
        writer = SharedNullWriter();
    boost::atomic_store(&g_ptrLogWriter, std::move(writer));
}

bool ReplaceLogWriter(const boost::shared_ptr<CLogWriterInterface>& expected,
                      boost::shared_ptr<CLogWriterInterface> replacement) {
    if (!replacement)
        replacement = SharedNullWriter();
    boost::shared_ptr<CLogWriterInterface> current = expected;
    return boost::atomic_compare_exchange(&g_ptrLogWriter, &current, std::move(replacement));
}
