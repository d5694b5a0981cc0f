// Writing one line of about 100 characters to a log file, from one thread and from two:
// - CHbLogger, the debug log's writer (keeping its file open: one write(2) per line,
//   safe across processes, nothing lost when the process dies);
// - a bare loop of write(2) appending one of the writer's own lines, byte for byte, to an
//   O_APPEND file: the ceiling for any log with those two properties;
// - spdlog's basic_file_sink_mt, which buffers in stdio: faster, but lines still in its
//   buffer die with the process, and processes sharing a file can tear each other's lines.
// Files live in a private temporary folder and are kept to a few MB: the writer rolls
// over, the peers' files are cut back to empty (both append, so writing simply goes on).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "siblings/HbUtils/CHbLogger.h"

namespace {

constexpr std::uint64_t kFileBytesLimit = 4 * 1024 * 1024;
// Our fields (pid, thread, date, time, level, job, tag: about 50 characters) and this text
// make a line of about 100; the peers write lines of the same length (see OurLine).
constexpr char kMessage[] = "bench line: copied 1234 of 5678 files from volume";

class BenchFolder {
public:
    BenchFolder() {
        char pattern[] = "/tmp/kybench-log-XXXXXX";
        if (::mkdtemp(pattern) != nullptr)
            m_path = pattern;
    }
    ~BenchFolder() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    std::string File(const char* name) const { return m_path + "/" + name; }

private:
    std::string m_path = "/tmp";
};

BenchFolder& Folder() {
    static BenchFolder folder;
    return folder;
}

// Keeps a peer's append-only file small: whoever crosses the limit cuts it back.
class SizeGuard {
public:
    explicit SizeGuard(std::string path) : m_path(std::move(path)) {}
    void Add(std::size_t bytes) {
        std::uint64_t before = m_bytes.fetch_add(bytes, std::memory_order_relaxed);
        if (before / kFileBytesLimit != (before + bytes) / kFileBytesLimit)
            ::truncate(m_path.c_str(), 0);
    }

private:
    std::string m_path;
    std::atomic<std::uint64_t> m_bytes{0};
};

// The line the writer writes for the benchmark's call from this thread, read back from a
// file of its own: the bare loop writes these very bytes, so that both do the same I/O.
const std::string& OurLine() {
    static const std::string line = [] {
        std::string last;
        {
            CHbLogger probe;
            probe.Initialize(Folder().File(""), "probe", 100, false, false);
            probe.LogMessage(0, 0, "LogBench", 0, 0, nullptr, "%s", kMessage);
            probe.CloseLogFile(true);
            std::FILE* file = std::fopen(probe.GetLogFilePath().c_str(), "r");
            char text[1024];
            while (file != nullptr && std::fgets(text, sizeof text, file) != nullptr)
                last = text;
            if (file != nullptr)
                std::fclose(file);
        }
        return last;
    }();
    return line;
}

CHbLogger& Writer() {
    static CHbLogger* writer = [] {
        auto* w = new CHbLogger;
        w->Initialize(Folder().File(""), "bench", 100, true, false);
        w->SetLogFileSizeBytes(kFileBytesLimit);
        w->SetMaxVersions(1);
        return w;
    }();
    return *writer;
}

void BM_Log_CHbLogger(benchmark::State& state) {
    CHbLogger& writer = Writer();
    for (auto _ : state)
        writer.LogMessage(0, 0, "LogBench", 0, 0, nullptr, "%s", kMessage);
    state.SetItemsProcessed(state.iterations());
    if (writer.GetDroppedLineCount() != 0)
        state.SkipWithError("lines were dropped");
}
BENCHMARK(BM_Log_CHbLogger)->Threads(1)->Threads(2)->UseRealTime();

struct AppendFile {
    std::string path = Folder().File("write2.log");
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    SizeGuard guard{path};
    std::string line = OurLine();
};

void BM_Log_Write2Append(benchmark::State& state) {
    static AppendFile file;
    if (file.line.empty() || file.line.back() != '\n') {
        state.SkipWithError("the writer's line could not be read back");
        return;
    }
    for (auto _ : state) {
        if (::write(file.fd, file.line.data(), file.line.size()) < 0)
            state.SkipWithError("write failed");
        file.guard.Add(file.line.size());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Log_Write2Append)->Threads(1)->Threads(2)->UseRealTime();

struct SpdlogFile {
    std::string path = Folder().File("spdlog.log");
    std::shared_ptr<spdlog::logger> logger = [this] {
        auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(path, true);
        auto made = std::make_shared<spdlog::logger>("bench", sink);
        // Fields like ours, so that lines have the same length. The process id goes in as
        // text: spdlog's own field would ask the system for it at every line.
        made->set_pattern(std::to_string(::getpid()) + " %t %Y-%m-%d %H:%M:%S.%e - - LogBench %v");
        return made;
    }();
    SizeGuard guard{path};
};

void BM_Log_SpdlogBasicFileSinkMt(benchmark::State& state) {
    static SpdlogFile file;
    for (auto _ : state) {
        file.logger->info("{}", kMessage);
        file.guard.Add(OurLine().size());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Log_SpdlogBasicFileSinkMt)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace
