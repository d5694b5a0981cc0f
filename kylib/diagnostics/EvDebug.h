// The per-process debug log: the handle `EvDebug`, the per-log state
// `EvDebugFileInstance`, and how a log is opened (`initialize`).
//
// An EvDebug is a small value (four words) passed by pointer into most classes. It is
// bound to an instance, or (made without one) follows the calling thread and uses the
// process's default instance. All instances of one log file share one writer
// (CHbLogger), kept in a process-wide list; the writer formats, writes and rolls the
// file, across processes too.
//
// The message path takes no lock and allocates nothing until a message has passed the
// level filter; the level, switches and sizes are re-read from the registry at most once
// per refresh interval, on whatever thread logs. Any thread may log through any handle
// at any time. Instances are owned by their creators (the default one by the library)
// and must outlive the handles bound to them; writers belong to the process list.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "os/Win32.h"
#include "siblings/HbUtils/CHbError.h"
#include "siblings/HbUtils/CHbLogger.h"

class EvDebug;
struct EvDebugOpenPlan;
struct MsgEventFormatted;

// The state of one log in this process.
class EvDebugFileInstance {
public:
    static constexpr int kStateNew = -1;
    static constexpr int kStateBuilding = -2;
    static constexpr int kStateReady = -3;

    EvDebugFileInstance();
    ~EvDebugFileInstance();
    EvDebugFileInstance(const EvDebugFileInstance&) = delete;
    EvDebugFileInstance& operator=(const EvDebugFileInstance&) = delete;

    // Ready: opened, and its writer still in service (a writer removed from the process
    // list leaves its instances not ready, so that they drop messages).
    bool IsReady() const;

private:
    friend class EvDebug;

    std::atomic<int> m_state{kStateNew};
    std::atomic<std::uint32_t> m_index{0};
    // Not owned: writers live in the process list (and, once taken out of service, in a
    // list of retired writers, so that a thread still holding the pointer never touches
    // freed memory). A writer goes when the last instance bound to it is destroyed.
    std::atomic<CHbLogger*> m_writer{nullptr};
    std::atomic<int> m_level{1};
    std::atomic<int> m_defaultLevel{1};
    std::atomic<std::int64_t> m_jobId{0};
    std::atomic<bool> m_loggingOff{false};
    // Asked for before or after initialize: a file that cannot be opened is tried again.
    std::atomic<bool> m_retryOnOpenFail{false};
    // Seconds since 1970 of the last re-read of the settings (64 bits: past 2038).
    std::atomic<std::int64_t> m_lastRefresh{0};

    // The module name and prefix change rarely and are read off the message path (the
    // prefix only when one is set), under m_textMutex.
    mutable std::mutex m_textMutex;
    std::string m_moduleName;
    std::string m_prefixMessage;
    std::atomic<bool> m_hasPrefix{false};
};

// One row of the table of the product's known logs.
struct KYLogFileInfo {
    std::uint32_t id;  // CRC-32 of the upper-cased name, low 31 bits
    const char* name;
    std::uint32_t reserved;
    std::uint32_t defaultLevel;
    std::uint32_t defaultSize;     // MB
    std::uint32_t defaultBackups;  // rolled files kept
};

class EvDebug {
public:
    // Bound to the default instance, following the calling thread.
    EvDebug();
    // Bound to `instance`; null binds to the default instance, following the thread.
    explicit EvDebug(EvDebugFileInstance* instance);
    EvDebug(const EvDebug& other);
    EvDebug& operator=(const EvDebug& other);
    ~EvDebug();

    EvDebugFileInstance* GetFileInstance() const;
    void FileInst_Set(EvDebugFileInstance* instance);

    // ---- Writing. A message is written when the instance's level is at least its level.
    void Debug(const char* tag, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    void DebugLvl(const char* tag, int level, const char* fmt, ...)
        __attribute__((format(printf, 4, 5)));
    void DebugLvl(const char* tag, int level, __int64 jobId, const char* fmt, ...)
        __attribute__((format(printf, 5, 6)));
    void DebugLvl(const char* tag, long value, int level, __int64 jobId, const char* fmt, ...)
        __attribute__((format(printf, 6, 7)));
    void DebugJob(int level, const char* prefix, __int64 jobId, const char* fmt, ...)
        __attribute__((format(printf, 5, 6)));
    void DebugJob(const char* prefix, __int64 jobId, const char* fmt, ...)
        __attribute__((format(printf, 4, 5)));
    void DebugFLDJ(const char* tag, unsigned long line, int level, __int64 jobId, const char* fmt,
                   ...) __attribute__((format(printf, 6, 7)));
    void LogMessage(int level, const char* tag, unsigned long line, __int64 jobId,
                    const char* prefix, const char* fmt, ...) __attribute__((format(printf, 7, 8)));
    void Error(const char* tag, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    void debug(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void debug_args(const char* fmt, va_list args) __attribute__((format(printf, 2, 0)));
    // The integer lands in a slot the message path does not use: such messages are
    // filtered as level 0.
    void debug(int unused, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    void debugLvl(int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    void debugLvl(int level, __int64 jobId, const char* fmt, ...)
        __attribute__((format(printf, 4, 5)));
    void error(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void traceIn(const char* name, int line);
    void traceOut(const char* name, int line);
    // The text goes to the writer as it is, unfiltered (only the ready test applies).
    void logMessage(char* text);

    // The common path of every entry point above.
    void handleMsgEventDebug_NEW(int level, long value, const char* tag, unsigned long line,
                                 int unused, __int64 jobId, const char* prefix, const char* fmt,
                                 va_list args);
    void handleMsgEventDebug_NEW(int level, const char* tag, unsigned long line, __int64 jobId,
                                 const char* prefix, const char* fmt, va_list args);
    void handleMsgEventDebug_NEW(int level, const char* fmt, va_list args);

    // ---- Opening and closing. initialize is false (with the thread's last error set)
    // when the log cannot be opened: no known-log row, no usable folder or file, unless
    // SetRetryOnLogOpenFail(true) was asked first, which opens it and keeps trying.
    bool initialize(unsigned logId, __int64 jobId, bool flag, const std::string& suffix);
    bool initialize(EvDebugFileInstance* instance, unsigned logId, __int64 jobId, bool flag,
                    const std::string& suffix);
    bool initialize(unsigned logId, __int64 jobId, const char* logDir, bool flag,
                    const std::string& suffix);
    bool IsInitialized();
    bool canILogDebugMsgs();
    void CloseLogFile(bool final);
    void finalize();
    static void CleanupDefaultFileHandle();
    static void CleanupFileHandleList();
    static void ResetFileHandleList();
    EvDebugFileInstance* RefreshInstance();

    // ---- Settings and queries of the selected instance.
    void setDebugLevel(int level);
    int getDebugLevel();
    int GetDebugLevel();
    int getDefaultDebugLevel();
    void setDefaultDebugLevel(int level);
    void setLogFileSize(std::uint64_t megabytes);
    std::uint64_t getLogFileSize();
    std::uint64_t getDefaultLogFileSize();
    void setDefaultLogFileSize(std::uint64_t megabytes);
    std::uint32_t getMaxVersion();
    std::uint32_t getDefaultMaxVersion();
    void setJobId(__int64 jobId);
    __int64 getJobId();
    void setModuleName(const char* name);
    std::string getModuleName();
    std::string getApplicationName();
    void setPrefixMessage(const char* prefix);
    void setLogToSTDOUT(bool on);
    void SetLoggingMode(CHbLogger::modeOfLogging mode);
    CHbLogger::modeOfLogging GetLoggingMode();
    void SetRetryOnLogOpenFail(bool retry);
    bool canUserWriteToLog();
    int getAccessMethod();
    void setAccessMethod(int method);
    void IncStatsCounter(const std::string& name);
    static void LogStats(const std::string& name);
    // The path of the selected instance's log file ("" when not ready).
    std::string getLogFilePath();

    // ---- Settings re-read from the registry (the level, size and backups).
    void refreshAllParams();
    void refreshDebugLevel(const char* name);
    void refreshLogFileSize();
    void refreshMaxVersion();
    void refreshLoggingSwitch();

    // ---- Process identity, filled by the first initialize.
    static long getProcessId();
    static const char* getProcessName();
    static const char* getHostName();
    static const char* getClientName();
    static const char* getIPString();
    static const char* getMACAddress();
    static int getServicePackVersion();
    static std::string GetProductVersion();

    // ---- Log names.
    static unsigned getLogId(const char* name);
    static CHbError GetLogName(unsigned id, const std::string& suffix, std::string& name);
    // The known-log row of an id or a name (ignoring case); null when absent.
    static const KYLogFileInfo* FindLogFileInfo(unsigned id);
    static const KYLogFileInfo* FindLogFileInfo(const char* name);
    std::string getTempLogFilePath();
    static bool canUserWriteToPath(const char* dir);

    // ---- Other.
    void ReportToSysLog(const char* text);
    // Writes "%ld %4lx %s %s" (process id, thread id, time text, message) into `out`,
    // never more than `outSize` bytes (terminator included).
    char* printStringFormatted(const MsgEventFormatted* event, char* out, size_t outSize) const;
    void debugWait(const char* name);
    void debugWait(const char* name, int level);
    void debugWait();
    void debugWaitOnFile(const char* name);
    void debugWaitOnFile(const char* name, int level);
    void debugBreak(const char* name, const char* source, int line, int level, bool flag);

    // The refresh interval in seconds (process-wide; set by the first initialize).
    static std::int64_t GetRefreshInterval();
    static void SetRefreshInterval(std::int64_t seconds);

    // The writer behind the selected instance (null when not ready); for tests and tools.
    CHbLogger* GetWriter();
    // Writers the process keeps, listed and retired; for tests and tools.
    static std::size_t WriterCount();

private:
    friend class EvDebugFileInstance;

    EvDebugFileInstance* selectInstance();
    // The image flags of this executable, once per process from the first initialize
    // (the print itself lives with the flag watch).
    void PrintGflags();
    bool planOpen(unsigned logId, __int64 jobId, const char* logDir, const std::string& suffix,
                  EvDebugOpenPlan* plan);
    void applyAffinity();
    static void bindLocked(EvDebugFileInstance* inst, CHbLogger* writer,
                           const EvDebugOpenPlan& plan, __int64 jobId);
    static CHbLogger* unbindLocked(EvDebugFileInstance* inst, bool destroying);
    static void releaseInstance(EvDebugFileInstance* inst);

    EvDebugFileInstance* m_pFileInst;
    std::uint32_t m_flags;  // bit 0: follows the calling thread
    std::uint64_t m_threadId;
    std::uint64_t m_spare;
};

// What printStringFormatted renders.
struct MsgEventFormatted {
    char timeText[19];  // 18 characters and a terminator
    const char* message;
};
