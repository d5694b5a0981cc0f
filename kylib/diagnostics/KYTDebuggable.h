// KYTDebuggable: the older per-object trace hook of the file, process and path classes.
//
// Objects write masked trace lines ("<prefix>: <message>") to one trace file shared by
// the process, and to standard output when an object asks. The file, "log.out" (or
// "log<pid>.out" when that cannot be opened), lives in the debug log's folder; the first
// object of the process opens it, the last one closes it, and copies count as objects.
// While the events flag is set (the default) the file is opened only when the marker
// "CXIndexLogging" stands in that folder. Without a file, debug() writes nothing to it.
//
// Any thread may make, copy, destroy and use objects at any time: one lock guards the
// object count and the file, and a line being written keeps the file open until it is
// done. An object itself is used by one thread at a time.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>

class KYTDebuggable {
public:
    KYTDebuggable();
    KYTDebuggable(const KYTDebuggable& other);
    KYTDebuggable& operator=(const KYTDebuggable& other);
    virtual ~KYTDebuggable();

    // Writes when `mask & debugMask` is not 0.
    virtual void debug(int mask, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

    bool isDebugOn(unsigned long mask) const;
    // Null puts back "NoPrefix".
    void setDebugPrefix(const char* prefix);
    const std::string& getDebugPrefix() const { return m_debugPrefix; }
    void useStdout(int on);

    static void logEvents(int on);
    static int getLogEventsFlag();

    // Kept for callers of the older interface: they find nothing and change nothing.
    int getRegistryNumber(const char* key, const char* value, unsigned long* out);
    int getRegistryString(const char* key, const char* value, char* buf, int len);
    int appToString(int app, char* buf, int len);
    void appEvent(int app, const char* text);
    void dateEvent(const char* text);
    void setJobId(long long jobId);
    void setProgramName(const char* name);

    // Which trace lines are written: a line's mask must share a bit with it.
    static std::atomic<unsigned long> debugMask;
    // The process that opened the trace file (0 before).
    static std::atomic<long> debugPid;
    static std::atomic<bool> symlinkTableFlag;

    // For tests and tools: how many objects exist, and the trace file's path ("" when
    // none is open).
    static int getUsageCount();
    static std::string getTraceFilePath();

private:
    static void addUser();
    static void dropUser();

    // The object count (usageCount) and the trace file (debugLog) live in the source
    // file, under one lock, and are never destroyed: objects may outlive static objects
    // at exit.
    static std::atomic<int> logEventsFlag;

    std::string m_debugPrefix = "NoPrefix";
    bool m_useStdout = false;
};
