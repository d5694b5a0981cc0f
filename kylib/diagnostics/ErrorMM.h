// The product's own error code families, "MM" and "VS", carried in CHbError: the error
// items that name them and this library's half of FXErrorUtil, which makes, extends and
// reads such errors (the sibling library's half, for Win32 codes and the like, is in
// siblings/HbUtils/FXErrorUtil.h).
//
// Codes: bits 31-30 = 3 (error), bit 29 = 1 (customer code), bits 27-16 = facility,
// bits 15-0 = number.
//   VS n  -> 0xEC010000 | n                 (facility 0xC01)
//   MM n  -> 0xEC020000 | n                 (facility 0xC02) for n below 0x10000,
//            0xEC030000 | (n & 0xFFFF)      (facility 0xC03) from 0x10000 on.
// Only the low 16 bits of a number reach a code, so a number outside those ranges (a
// negative one, or an MM number from 0x20000) cannot spill into the facility bits; the
// number reads back as GetMM/GetVS can see it, while the item keeps the number as given.
//
// Items are immutable values shared by the CHbError copies that hold them; errors are
// values owned by the caller. Everything here is safe from any thread.
#pragma once

#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <string>

#include "siblings/HbUtils/CHbError.h"
#include "siblings/HbUtils/FXCodeLocation.h"
#include "siblings/HbUtils/FXErrorItem.h"

// The frame that made (or passed on) an MM error.
// Short forms: formats 1 and 2 "Error (MM.<n>)"; format 0 and any other the long form.
// Long form: the location, then "/MM.<n>".
class FXErrorItemMM : public FXErrorItem {
public:
    FXErrorItemMM(const FXCodeLocation& location, int number);

    using FXErrorItem::AsString;
    std::string AsString(EErrorOutputFormat format) const override;
    std::string AsString() const override;
    boost::shared_ptr<FXErrorItem> Clone() const override;

    int GetNumber() const { return m_number; }

private:
    int m_number;
};

// An MM frame with a description. Short form for format 2: "<description> (MM.<n>)";
// otherwise as FXErrorItemMM. Long form: FXErrorItemMM's, "-", the description.
class FXErrorItemMMDescription : public FXErrorItemMM {
public:
    FXErrorItemMMDescription(const FXCodeLocation& location, int number,
                             const std::string& description);

    using FXErrorItemMM::AsString;
    std::string AsString(EErrorOutputFormat format) const override;
    std::string AsString() const override;
    boost::shared_ptr<FXErrorItem> Clone() const override;

    const std::string& GetDescription() const { return m_description; }

private:
    std::string m_description;
};

// The VS counterparts: the same forms with "VS" for "MM".
class FXErrorItemVS : public FXErrorItem {
public:
    FXErrorItemVS(const FXCodeLocation& location, int number);

    using FXErrorItem::AsString;
    std::string AsString(EErrorOutputFormat format) const override;
    std::string AsString() const override;
    boost::shared_ptr<FXErrorItem> Clone() const override;

    int GetNumber() const { return m_number; }

private:
    int m_number;
};

class FXErrorItemVSDescription : public FXErrorItemVS {
public:
    FXErrorItemVSDescription(const FXCodeLocation& location, int number,
                             const std::string& description);

    using FXErrorItemVS::AsString;
    std::string AsString(EErrorOutputFormat format) const override;
    std::string AsString() const override;
    boost::shared_ptr<FXErrorItem> Clone() const override;

    const std::string& GetDescription() const { return m_description; }

private:
    std::string m_description;
};

namespace FXErrorUtil {

// The codes of MM and VS numbers (see the table above).
std::int32_t MMCode(int number);
std::int32_t VSCode(int number);

// An error with the MM code of `number` and one FXErrorItemMM. The printf form gives the
// item the formatted description (FXErrorItemMMDescription); a null format, or one that
// cannot be applied, gives the plain form: still the same error, only without the text.
CHbError ErrorMM(const FXCodeLocation& location, int number);
CHbError ErrorMM(const FXCodeLocation& location, int number, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// The same for VS.
CHbError ErrorVS(const FXCodeLocation& location, int number);
CHbError ErrorVS(const FXCodeLocation& location, int number, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Pushes one more MM (VS) frame onto `error` and returns it; its code stays as it was.
// As with CHbError::Push, a success value stays a success and gets no frame.
CHbError& PushMM(CHbError& error, const FXCodeLocation& location, int number);
CHbError& PushMM(CHbError& error, const FXCodeLocation& location, int number, const char* format,
                 ...) __attribute__((format(printf, 4, 5)));
CHbError& PushVS(CHbError& error, const FXCodeLocation& location, int number);
CHbError& PushVS(CHbError& error, const FXCodeLocation& location, int number, const char* format,
                 ...) __attribute__((format(printf, 4, 5)));

// CHbError::Is / IsNot with the MM (VS) code of `number`, so that GetMatches applies.
bool IsMM(const CHbError& error, int number);
bool IsNotMM(const CHbError& error, int number);
bool IsVS(const CHbError& error, int number);
bool IsNotVS(const CHbError& error, int number);

// The MM (VS) number an error carries: 0 for success; the number of its code, or of the
// first code among GetMatches(code) of the family; kNoNumber when there is none. (MM
// number 0xFFFF is therefore indistinguishable from "none".)
constexpr int kNoNumber = 65535;
int GetMM(const CHbError& error);
int GetVS(const CHbError& error);

}  // namespace FXErrorUtil
