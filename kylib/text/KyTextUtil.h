// Text, time and version helpers: trimming, a case-insensitive comparison, the rendering
// of times, durations, byte counts and elapsed seconds, the product's version strings,
// the mangled host name ("host*client*first*second*extra") and an in-place sort of a
// text file.
//
// All functions are free functions without shared state of their own, safe to call from
// any thread at once (KyTime with a locale other than 0 shares a formatter cache kept
// under a lock in os/). Buffers are the caller's; KyTime and KyTimeBig need 21 bytes,
// KyDuration 13.
#pragma once

#include <cstdint>
#include <string>

#include "os/Win32.h"

// Fields of a parsed version text; each is -1 when the text did not give it.
struct KyStdVersion {
    int majorVersion;
    int minorVersion;  // not set by any recognised form
    int servicePack;
    int hotFix;  // 1 for "a", 2 for "b", ...
    int reserved1;
    int reserved2;
    int update;  // feature release
    int form;    // how the text was recognised, 2 to 6
};

enum VersionFields {
    VERSION_MAJOR = 0,
    VERSION_SERVICE_PACK = 2,
    VERSION_HOTFIX = 3,
    VERSION_UPDATE = 8,
};

enum SP_VERSION_COMPARE {
    SP_VERSION_INVALID = -1,
    SP_VERSION_EQUAL = 0,
    SP_VERSION_OLDER = 1,
    SP_VERSION_NEWER = 2,
};

// Removes trailing bytes up to 0x20 (blanks and control characters) in place; bytes of
// UTF-8 sequences stay. Null gives null.
char* trim(char* s);

// Sign of the comparison folding only a-z; a null argument gives -1, an empty text sorts
// after a non-empty one.
int Strcasecmp(const char* a, const char* b);

// "yyyy/MM/dd HH:mm:ss " in local time for locale 0; for another Windows locale id the
// locale's date (short form or in the locale's day-month-year order) and "HH:mm:ss". A
// time <= 0, a failed conversion, an unknown locale or a result over 20 characters give
// 20 blanks. A null buffer gives null.
char* KyTime(long t, char* buf, unsigned long locale, bool useShortDate);
char* KyTimeBig(__int64 t, char* buf, unsigned long locale, bool useShortDate);

// "%6lu:%02lu:%02lu" hours, minutes, seconds; negatives count as 0 and the hours stop
// at 999999. A null buffer gives null.
char* KyDuration(__int64 seconds, char* buf);

// "1.50 ms": 2 decimals in the largest of s, ms, us, ns that keeps the value >= 1.
std::string FormatTime(double seconds);
// "1.50 KB": 2 decimals in B, KB, MB, GB, TB or PB (steps of 1,024).
std::string FormatBytes(ULONGLONG bytes);

// Reads a version text: a bare number (the service pack), "major.sp.update",
// "major.x.sp.update", or "<major>SP<sp>[letter]". Numbers are decimal, or hexadecimal
// after "0x". False when the text is none of these.
bool GetAllInfoFromVersionStr(const std::string& text, KyStdVersion& version);
int GetInfoFromVersionStr(const std::string& text, VersionFields field);
// "major.sp.update", or "" when one of them is missing.
std::string FormatKyStdVersionString(const KyStdVersion& version);

SP_VERSION_COMPARE CompareSPVersion(const std::string& a, const std::string& b);
SP_VERSION_COMPARE CompareSPVersion(const std::string& a, int b);
// Values below 1,000 are (value, 0), others (value / 100, value % 100).
SP_VERSION_COMPARE CompareSPVersion(int a, int b);

// Joins the fields with "*", leaving out trailing empty ones. A host or client holding
// "*" could not be read back: it is refused with a log line and gives "".
std::string MangleHostName(const char* host, const char* client, int first, int second,
                           const char* extra);
std::string MangleHostName(const char* host, const char* client, int first, int second);
// Splits at the first four "*"; the extra text is the rest and may hold "*". Missing
// fields are empty or 0; numbers are decimal, clamped to the int range.
void DemangleHostName(const char* mangled, std::string& host, std::string& client, int& first,
                      int& second, std::string& extra);
void DemangleHostName(const char* mangled, std::string& host, std::string& client, int& first,
                      int& second);
// Each output may be null.
void DemangleHostName(const char* mangled, std::string* host, std::string* client, int* first,
                      int* second, std::string* extra);
std::string GetHostNameFromMangledHostName(const char* mangled);
std::string GetClientNameFromMangledHostName(const char* mangled);

// Sorts the lines of `file` in byte order and replaces it: the sorted text goes to a new
// temporary beside it, reaches the disk, and is renamed over the file with the file's
// mode, so a reader sees the old file or the new one, never none. Above a memory cap,
// sorted runs spill to a private work directory beside the file. Every line ends in a
// line feed afterwards. The three flags are reserved and ignored. Returns 0, or -1 with
// the file untouched and the failure traced (prefix "SORTANDREPLACE").
int kySortAndReplace(const char* file, bool reserved1, bool reserved2, bool reserved3);

// For tests: the bytes of lines held in memory before a run spills (0 puts back the
// default), and a step to fail (0 none; 1 creating the temporary, 2 writing it, 3 the
// rename).
void kySortSetMemoryCapForTesting(std::size_t bytes);
void kySortSetFailStepForTesting(int step);
// Called with the finished temporary's path just before it replaces the file.
void kySortSetBeforeRenameHookForTesting(void (*hook)(const char* temporary));
