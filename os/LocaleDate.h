// Dates and times in the forms of a Windows locale id (LCID), for the text helpers.
//
// The date is the locale's short date with a four-digit year, or the locale's
// day-month-year order written as "MM/dd/yyyy", "dd/MM/yyyy" or "yyyy/MM/dd"; the time is
// always "HH:mm:ss". Formatters are made once per locale id and kept for the process;
// any thread may call at any time (one lock guards the cache and each use of a
// formatter).
#pragma once

#include <ctime>
#include <string>

namespace kyos {

// The locale's date order: 0 month-day-year, 1 day-month-year, 2 year-month-day; -1 for
// a locale id that names no known locale.
int localeDateOrder(unsigned long lcid);

// Formats the broken-down time `local` (already in the wanted time zone). False for an
// unknown locale id or a formatter failure; `*date` and `*time` are then untouched.
bool formatLocaleDateTime(unsigned long lcid, const std::tm& local, bool useShortDate,
                          std::string* date, std::string* time);

}  // namespace kyos
