// CHbLogger: the file writer of a debug log. It opens the log file, formats and writes
// each line, rolls the file over at its size limit and keeps the numbered backups
// (name.log, name.log.1, name.log.2, ...), serialising writers across processes.
//
// Every line is one write(2) on a file opened with O_APPEND, so several processes (and
// threads) can share one log: lines never interleave and a line that was written
// survives the process dying right after. Rollover is serialised across processes by an
// advisory lock on the lock file named by GetLockName(); a process that finds the file
// already rolled by another reopens it instead of rolling again.
//
// A writer never throws into its caller and never blocks it on a failing disk: a file
// that cannot be opened drops lines (and, with SetRetryOnLogOpenFail, tries again later).
//
// Threads: every operation may be called from any thread at any time. Ownership: the
// caller owns the writer (the debug log keeps its writers in a process-wide list).
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class CHbLogger {
public:
    // How lines reach the disk.
    enum modeOfLogging {
        eLoggingModeDefault = 0,   // one write(2) per line, at once
        eLoggingModeDurable = 1,   // also flushed to the disk (fdatasync) before returning;
                                   // a line that could not be is counted as dropped
        eLoggingModeBuffered = 2,  // gathered in memory and written in batches of whole
                                   // lines (at 64 KiB, within about a second of the oldest
                                   // even in a quiet process, at close and at exit):
                                   // faster, but lines can be lost when the process dies
    };

    // File access methods, as the debug log reports them.
    static constexpr int kAccessKeepOpen = 100;       // the file stays open between lines
    static constexpr int kAccessReopenPerLine = 200;  // opened and closed for every line

    // Called with a text for the system log (see SetSyslogCallback).
    using SyslogCallback = void (*)(const char* text);

    CHbLogger();
    ~CHbLogger();
    CHbLogger(const CHbLogger&) = delete;
    CHbLogger& operator=(const CHbLogger&) = delete;

    // Prepares the writer for <directory>/<fileName>.log (the directory is created when
    // missing). `level` is the writer's own filter (lines above it are dropped);
    // `flag`: true writes the file header when the file is new. `reserved` is unused.
    // False when the directory cannot be used; the writer then drops lines.
    bool Initialize(const std::string& directory, const std::string& fileName, int level, bool flag,
                    bool reserved);

    // The lock name (the path of the lock file) that serialises writers of the log file
    // <directory>/<fileName>.log across processes. Two writers share a file exactly when
    // their lock names are equal.
    static void GetLockName(const std::string& fileName, const std::string& directory,
                            std::string& lockName);
    const std::string& GetLockName() const;
    // The file name given to Initialize (without directory and ".log").
    const std::string& GetAppName() const;
    // The full path of the current log file.
    const std::string& GetLogFilePath() const;

    void SetDebugLevel(int level);
    int GetDebugLevel() const;

    // Size limit of one file, in MB (0: the default of 5 MB), and its default.
    void SetLogFileSize(std::uint64_t megabytes);
    std::uint64_t GetLogFileSize() const;
    void SetDefaultLogFileSize(std::uint64_t megabytes);
    std::uint64_t GetDefaultLogFileSize() const;
    // Size limit in bytes, for callers (and tests) that need finer control than MB.
    void SetLogFileSizeBytes(std::uint64_t bytes);

    // Number of rolled backups kept (name.log.1 .. name.log.N), and its default.
    void SetMaxVersions(std::uint32_t versions);
    std::uint32_t GetMaxVersions() const;
    void SetDefaultMaxVersions(std::uint32_t versions);
    std::uint32_t GetDefaultMaxVersions() const;
    // Retention of backups in seconds (0: none); kept for the pruning housekeeping.
    void SetRetainLogsTill(std::uint64_t seconds);
    std::uint64_t GetRetainLogsTill() const;

    // The identity written into the file header.
    void SetPlatformInformation(const std::string& hostName, const std::string& hostName2,
                                const std::string& clientName, const std::string& zsHostName,
                                const std::string& zsClientName, const std::string& osInfo,
                                const std::string& addresses, const std::string& version,
                                const std::string& instance, const std::string& processName,
                                long processId);
    void SetProcessorInformation(const std::string& productType, const std::string& processor,
                                 std::uint32_t processors);

    // Writes one formatted line (when `level` is at most the writer's level).
    void LogMessageV(int level, long value, const char* tag, unsigned long line, std::int64_t jobId,
                     const char* prefix, const char* format, va_list args);
    void LogMessage(int level, long value, const char* tag, unsigned long line, std::int64_t jobId,
                    const char* prefix, const char* format, ...)
        __attribute__((format(printf, 8, 9)));
    // Writes `text` as it is (a line break is added when missing), unfiltered.
    void LogMessage(const char* text);

    // Sends a text to the system log through the installed callback.
    void LogMessageSyslog(const char* text);
    void SetSyslogCallback(SyslogCallback callback);
    // The callback that sends texts to syslog(3) under the process name.
    static void SyslogToSystemLog(const char* text);

    // Closes the file and lets go of the lock file and its mapping; with `final`, lines
    // still buffered are written first. A later line opens (and attaches) again.
    void CloseLogFile(bool final);
    // Closes the file for good: lines written afterwards are dropped. For writers taken
    // out of service while other threads may still hold a pointer to them.
    void Shutdown();
    bool IsShutdown() const;

    void SetLoggingMode(modeOfLogging mode);
    modeOfLogging GetLoggingMode() const;

    // With retry on, a file that could not be opened is tried again (at most once a
    // second) at later lines; with it off, the writer gives up after the first failure.
    void SetRetryOnLogOpenFail(bool retry);
    // Whether the current user can create and append to the log file.
    bool CanUserWriteToLog();
    // The errno of the last failed attempt to open the log file or its folder (0 when the
    // last attempt succeeded or none was made).
    int GetLastOpenError() const;

    int GetAccessMethod() const;
    void SetAccessMethod(int method);

    // Process-wide: show each line's level in the line.
    static void SetShowLogLevel(bool show);

    // Milliseconds of a monotonic clock. The writer times its open retries, its rollover
    // retries, the check that its path still names its file and the age of buffered lines
    // with it; tests install their own. Null restores the steady clock.
    using MonotonicClock = std::int64_t (*)();
    void SetMonotonicClock(MonotonicClock clock);

    // Lines dropped so far: no usable file, a failed write, a writer shut down.
    std::uint64_t GetDroppedLineCount() const;

private:
    struct State;
    std::unique_ptr<State> m_state;
};
