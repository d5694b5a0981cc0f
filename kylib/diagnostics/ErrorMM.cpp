#include "kylib/diagnostics/ErrorMM.h"

#include <boost/make_shared.hpp>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "siblings/HbUtils/FXErrorUtil.h"

namespace {

constexpr std::uint32_t kFacilityMask = 0xFFFF0000;
constexpr std::uint32_t kNumberMask = 0x0000FFFF;
constexpr std::uint32_t kVSBase = 0xEC010000;      // facility 0xC01
constexpr std::uint32_t kMMBase = 0xEC020000;      // facility 0xC02: numbers below 0x10000
constexpr std::uint32_t kMMHighBase = 0xEC030000;  // facility 0xC03: numbers from 0x10000
constexpr int kMMHighOffset = 0x10000;

std::string codeText(const char* family, int number) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%s.%d", family, number);
    return buffer;
}

// "Error (MM.5)", "Error (VS.7)".
std::string codeOnly(const char* family, int number) {
    return "Error (" + codeText(family, number) + ")";
}

// The printf result, or false when the format is null or cannot be applied.
bool formatText(std::string& out, const char* format, va_list args) {
    if (format == nullptr)
        return false;
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length < 0)
        return false;
    std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
    if (std::vsnprintf(buffer.data(), buffer.size(), format, args) < 0)
        return false;
    out.assign(buffer.data(), static_cast<std::size_t>(length));
    return true;
}

// The number a code of one family carries, or -1 when the code is not of that family.
int mmNumber(std::int32_t code) {
    std::uint32_t bits = static_cast<std::uint32_t>(code);
    if ((bits & kFacilityMask) == kMMBase)
        return static_cast<int>(bits & kNumberMask);
    if ((bits & kFacilityMask) == kMMHighBase)
        return static_cast<int>(bits & kNumberMask) + kMMHighOffset;
    return -1;
}

int vsNumber(std::int32_t code) {
    std::uint32_t bits = static_cast<std::uint32_t>(code);
    if ((bits & kFacilityMask) == kVSBase)
        return static_cast<int>(bits & kNumberMask);
    return -1;
}

int readNumber(const CHbError& error, int (*numberOf)(std::int32_t)) {
    if (!error.IsError())
        return 0;
    // GetMatches lists the code itself first.
    for (std::int32_t match : FXErrorUtil::GetMatches(error.GetErrorCode())) {
        int number = numberOf(match);
        if (number >= 0)
            return number;
    }
    return FXErrorUtil::kNoNumber;
}

}  // namespace

// ---- Items.

FXErrorItemMM::FXErrorItemMM(const FXCodeLocation& location, int number)
    : FXErrorItem(location), m_number(number) {}

std::string FXErrorItemMM::AsString(EErrorOutputFormat format) const {
    if (format == eErrorOutputCode || format == eErrorOutputDescription)
        return codeOnly("MM", m_number);
    return AsString();
}

std::string FXErrorItemMM::AsString() const {
    return FXErrorItem::AsString() + "/" + codeText("MM", m_number);
}

boost::shared_ptr<FXErrorItem> FXErrorItemMM::Clone() const {
    return boost::make_shared<FXErrorItemMM>(*this);
}

FXErrorItemMMDescription::FXErrorItemMMDescription(const FXCodeLocation& location, int number,
                                                   const std::string& description)
    : FXErrorItemMM(location, number), m_description(description) {}

std::string FXErrorItemMMDescription::AsString(EErrorOutputFormat format) const {
    if (format == eErrorOutputDescription)
        return m_description + " (" + codeText("MM", GetNumber()) + ")";
    return FXErrorItemMM::AsString(format);
}

std::string FXErrorItemMMDescription::AsString() const {
    return FXErrorItemMM::AsString() + "-" + m_description;
}

boost::shared_ptr<FXErrorItem> FXErrorItemMMDescription::Clone() const {
    return boost::make_shared<FXErrorItemMMDescription>(*this);
}

FXErrorItemVS::FXErrorItemVS(const FXCodeLocation& location, int number)
    : FXErrorItem(location), m_number(number) {}

std::string FXErrorItemVS::AsString(EErrorOutputFormat format) const {
    if (format == eErrorOutputCode || format == eErrorOutputDescription)
        return codeOnly("VS", m_number);
    return AsString();
}

std::string FXErrorItemVS::AsString() const {
    return FXErrorItem::AsString() + "/" + codeText("VS", m_number);
}

boost::shared_ptr<FXErrorItem> FXErrorItemVS::Clone() const {
    return boost::make_shared<FXErrorItemVS>(*this);
}

FXErrorItemVSDescription::FXErrorItemVSDescription(const FXCodeLocation& location, int number,
                                                   const std::string& description)
    : FXErrorItemVS(location, number), m_description(description) {}

std::string FXErrorItemVSDescription::AsString(EErrorOutputFormat format) const {
    if (format == eErrorOutputDescription)
        return m_description + " (" + codeText("VS", GetNumber()) + ")";
    return FXErrorItemVS::AsString(format);
}

std::string FXErrorItemVSDescription::AsString() const {
    return FXErrorItemVS::AsString() + "-" + m_description;
}

boost::shared_ptr<FXErrorItem> FXErrorItemVSDescription::Clone() const {
    return boost::make_shared<FXErrorItemVSDescription>(*this);
}

// ---- FXErrorUtil.

namespace FXErrorUtil {

std::int32_t MMCode(int number) {
    std::uint32_t bits = static_cast<std::uint32_t>(number);
    std::uint32_t base = number >= kMMHighOffset ? kMMHighBase : kMMBase;
    return static_cast<std::int32_t>(base | (bits & kNumberMask));
}

std::int32_t VSCode(int number) {
    return static_cast<std::int32_t>(kVSBase | (static_cast<std::uint32_t>(number) & kNumberMask));
}

CHbError ErrorMM(const FXCodeLocation& location, int number) {
    return CHbError(MMCode(number), boost::make_shared<FXErrorItemMM>(location, number));
}

CHbError ErrorMM(const FXCodeLocation& location, int number, const char* format, ...) {
    std::string description;
    va_list args;
    va_start(args, format);
    bool formatted = formatText(description, format, args);
    va_end(args);
    if (!formatted)
        return ErrorMM(location, number);
    return CHbError(MMCode(number),
                    boost::make_shared<FXErrorItemMMDescription>(location, number, description));
}

CHbError ErrorVS(const FXCodeLocation& location, int number) {
    return CHbError(VSCode(number), boost::make_shared<FXErrorItemVS>(location, number));
}

CHbError ErrorVS(const FXCodeLocation& location, int number, const char* format, ...) {
    std::string description;
    va_list args;
    va_start(args, format);
    bool formatted = formatText(description, format, args);
    va_end(args);
    if (!formatted)
        return ErrorVS(location, number);
    return CHbError(VSCode(number),
                    boost::make_shared<FXErrorItemVSDescription>(location, number, description));
}

CHbError& PushMM(CHbError& error, const FXCodeLocation& location, int number) {
    return error.Push(FXErrorItemMM(location, number));
}

CHbError& PushMM(CHbError& error, const FXCodeLocation& location, int number, const char* format,
                 ...) {
    std::string description;
    va_list args;
    va_start(args, format);
    bool formatted = formatText(description, format, args);
    va_end(args);
    if (!formatted)
        return PushMM(error, location, number);
    return error.Push(FXErrorItemMMDescription(location, number, description));
}

CHbError& PushVS(CHbError& error, const FXCodeLocation& location, int number) {
    return error.Push(FXErrorItemVS(location, number));
}

CHbError& PushVS(CHbError& error, const FXCodeLocation& location, int number, const char* format,
                 ...) {
    std::string description;
    va_list args;
    va_start(args, format);
    bool formatted = formatText(description, format, args);
    va_end(args);
    if (!formatted)
        return PushVS(error, location, number);
    return error.Push(FXErrorItemVSDescription(location, number, description));
}

bool IsMM(const CHbError& error, int number) {
    return error.Is(MMCode(number));
}

bool IsNotMM(const CHbError& error, int number) {
    return error.IsNot(MMCode(number));
}

bool IsVS(const CHbError& error, int number) {
    return error.Is(VSCode(number));
}

bool IsNotVS(const CHbError& error, int number) {
    return error.IsNot(VSCode(number));
}

int GetMM(const CHbError& error) {
    return readNumber(error, mmNumber);
}

int GetVS(const CHbError& error) {
    return readNumber(error, vsNumber);
}

}  // namespace FXErrorUtil
