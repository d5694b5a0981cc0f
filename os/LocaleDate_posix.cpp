#include "os/LocaleDate.h"

#include <unicode/udat.h>
#include <unicode/uloc.h>
#include <unicode/ustring.h>

#include <map>
#include <memory>
#include <mutex>

namespace kyos {
namespace {

// Short dates longer than this (a long year spelt out, markers around the fields) would
// not fit the 20-character time texts; such locales use their day-month-year order.
constexpr size_t kMaxShortDateLength = 10;
constexpr int32_t kPatternCapacity = 128;
constexpr int32_t kResultCapacity = 64;

struct FormatCloser {
    void operator()(UDateFormat* format) const { udat_close(format); }
};
using FormatPtr = std::unique_ptr<UDateFormat, FormatCloser>;

struct LocaleFormats {
    bool known = false;
    int order = -1;
    FormatPtr shortDate;  // null when the short form is too long
    FormatPtr orderDate;
    FormatPtr time;
};

std::mutex& cacheLock() {
    static std::mutex* lock = new std::mutex;  // never destroyed: used at exit too
    return *lock;
}

std::map<unsigned long, LocaleFormats>& cache() {
    static auto* formats = new std::map<unsigned long, LocaleFormats>;
    return *formats;
}

std::u16string u16(const char* text) {
    std::u16string out;
    for (const char* p = text; *p; ++p)
        out.push_back(static_cast<char16_t>(static_cast<unsigned char>(*p)));
    return out;
}

// Formatters work in UTC on a date built from the caller's local fields, so that ICU's
// own idea of the local zone never matters.
FormatPtr openPattern(const char* locale, const std::u16string& pattern) {
    UErrorCode status = U_ZERO_ERROR;
    const UChar utc[] = {u'U', u'T', u'C', 0};
    UDateFormat* format = udat_open(UDAT_PATTERN, UDAT_PATTERN, locale, utc, -1,
                                    reinterpret_cast<const UChar*>(pattern.c_str()),
                                    static_cast<int32_t>(pattern.size()), &status);
    if (U_FAILURE(status))
        return nullptr;
    return FormatPtr(format);
}

// Order of the first M, d and y outside quoted text.
int orderOf(const std::u16string& pattern) {
    size_t month = std::u16string::npos, day = std::u16string::npos, year = std::u16string::npos;
    bool quoted = false;
    for (size_t i = 0; i < pattern.size(); ++i) {
        char16_t c = pattern[i];
        if (c == u'\'') {
            quoted = !quoted;
        } else if (!quoted) {
            if (c == u'M' && month == std::u16string::npos)
                month = i;
            else if (c == u'd' && day == std::u16string::npos)
                day = i;
            else if (c == u'y' && year == std::u16string::npos)
                year = i;
        }
    }
    if (year != std::u16string::npos && year < month && year < day)
        return 2;
    if (day != std::u16string::npos && month != std::u16string::npos && day < month)
        return 1;
    return 0;
}

std::u16string withFourDigitYear(const std::u16string& pattern) {
    std::u16string out;
    bool quoted = false;
    for (size_t i = 0; i < pattern.size(); ++i) {
        char16_t c = pattern[i];
        if (c == u'\'')
            quoted = !quoted;
        if (!quoted && c == u'y') {
            while (i + 1 < pattern.size() && pattern[i + 1] == u'y')
                ++i;
            out += u"yyyy";
        } else {
            out.push_back(c);
        }
    }
    return out;
}

LocaleFormats makeFormats(unsigned long lcid) {
    LocaleFormats formats;
    char locale[ULOC_FULLNAME_CAPACITY] = {};
    UErrorCode status = U_ZERO_ERROR;
    int32_t length =
        uloc_getLocaleForLCID(static_cast<uint32_t>(lcid), locale, sizeof(locale), &status);
    if (U_FAILURE(status) || length <= 0)
        return formats;

    status = U_ZERO_ERROR;
    UDateFormat* standard =
        udat_open(UDAT_NONE, UDAT_SHORT, locale, nullptr, 0, nullptr, 0, &status);
    if (U_FAILURE(status))
        return formats;
    FormatPtr shortFormat(standard);
    UChar pattern[kPatternCapacity];
    status = U_ZERO_ERROR;
    int32_t patternLength =
        udat_toPattern(shortFormat.get(), false, pattern, kPatternCapacity, &status);
    if (U_FAILURE(status) || patternLength >= kPatternCapacity)
        return formats;
    std::u16string shortPattern(reinterpret_cast<const char16_t*>(pattern),
                                static_cast<size_t>(patternLength));

    formats.order = orderOf(shortPattern);
    static const char* const kOrderPatterns[] = {"MM/dd/yyyy", "dd/MM/yyyy", "yyyy/MM/dd"};
    formats.orderDate = openPattern(locale, u16(kOrderPatterns[formats.order]));
    formats.time = openPattern(locale, u"HH:mm:ss");
    formats.shortDate = openPattern(locale, withFourDigitYear(shortPattern));
    formats.known = formats.orderDate && formats.time;
    return formats;
}

LocaleFormats& formatsFor(unsigned long lcid) {
    auto& formats = cache();
    auto it = formats.find(lcid);
    if (it == formats.end())
        it = formats.emplace(lcid, makeFormats(lcid)).first;
    return it->second;
}

bool formatWith(UDateFormat* format, UDate when, std::string* out) {
    UChar result[kResultCapacity];
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = udat_format(format, when, result, kResultCapacity, nullptr, &status);
    if (U_FAILURE(status) || length >= kResultCapacity)
        return false;
    char utf8[kResultCapacity * 3 + 1];
    int32_t utf8Length = 0;
    status = U_ZERO_ERROR;
    u_strToUTF8(utf8, sizeof(utf8), &utf8Length, result, length, &status);
    if (U_FAILURE(status) || utf8Length >= static_cast<int32_t>(sizeof(utf8)))
        return false;
    out->assign(utf8, static_cast<size_t>(utf8Length));
    return true;
}

}  // namespace

int localeDateOrder(unsigned long lcid) {
    std::lock_guard<std::mutex> hold(cacheLock());
    LocaleFormats& formats = formatsFor(lcid);
    return formats.known ? formats.order : -1;
}

bool formatLocaleDateTime(unsigned long lcid, const std::tm& local, bool useShortDate,
                          std::string* date, std::string* time) {
    std::tm fields = local;
    UDate when = static_cast<UDate>(::timegm(&fields)) * 1000.0;
    std::string dateText;
    std::string timeText;
    std::lock_guard<std::mutex> hold(cacheLock());
    LocaleFormats& formats = formatsFor(lcid);
    if (!formats.known)
        return false;
    bool shortDone = false;
    if (useShortDate && formats.shortDate) {
        shortDone = formatWith(formats.shortDate.get(), when, &dateText);
        if (shortDone && dateText.size() > kMaxShortDateLength)
            shortDone = false;
    }
    if (!shortDone && !formatWith(formats.orderDate.get(), when, &dateText))
        return false;
    if (!formatWith(formats.time.get(), when, &timeText))
        return false;
    *date = dateText;
    *time = timeText;
    return true;
}

}  // namespace kyos
