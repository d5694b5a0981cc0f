#include "siblings/HbUtils/FXErrorItem.h"

#include <boost/make_shared.hpp>
#include <cstdio>

#include "os/LastError.h"

FXErrorItem::FXErrorItem(const FXCodeLocation& location) : m_location(location) {}

FXErrorItem::~FXErrorItem() = default;

std::string FXErrorItem::AsString(EErrorOutputFormat) const {
    return AsString();
}

std::string FXErrorItem::AsString() const {
    return m_location.AsString();
}

boost::shared_ptr<FXErrorItem> FXErrorItem::Clone() const {
    return boost::make_shared<FXErrorItem>(*this);
}

FXErrorItemText::FXErrorItemText(const FXCodeLocation& location, const std::string& text)
    : FXErrorItem(location), m_text(text) {}

std::string FXErrorItemText::AsString(EErrorOutputFormat format) const {
    if (format == eErrorOutputCode || format == eErrorOutputDescription)
        return m_text;
    return AsString();
}

std::string FXErrorItemText::AsString() const {
    return FXErrorItem::AsString() + "-" + m_text;
}

boost::shared_ptr<FXErrorItem> FXErrorItemText::Clone() const {
    return boost::make_shared<FXErrorItemText>(*this);
}

FXErrorItemCode::FXErrorItemCode(const FXCodeLocation& location, ECodeFamily family,
                                 std::int32_t code, const std::string& text)
    : FXErrorItem(location), m_family(family), m_code(code), m_text(text) {}

std::string FXErrorItemCode::CodeText() const {
    char buffer[32];
    switch (m_family) {
        case eWin32:
            std::snprintf(buffer, sizeof buffer, "Win32.%lu",
                          static_cast<unsigned long>(static_cast<std::uint32_t>(m_code)));
            break;
        case eHResult:
            std::snprintf(buffer, sizeof buffer, "HRESULT.0x%08lX",
                          static_cast<unsigned long>(static_cast<std::uint32_t>(m_code)));
            break;
        case eInt:
        default:
            std::snprintf(buffer, sizeof buffer, "Int.%ld", static_cast<long>(m_code));
            break;
    }
    return buffer;
}

std::string FXErrorItemCode::AsString(EErrorOutputFormat format) const {
    if (format == eErrorOutputCode || (format == eErrorOutputDescription && m_text.empty())) {
        return "Error (" + CodeText() + ")";
    }
    if (format == eErrorOutputDescription)
        return m_text + " (" + CodeText() + ")";
    return AsString();
}

std::string FXErrorItemCode::AsString() const {
    std::string text = FXErrorItem::AsString() + "/" + CodeText();
    if (!m_text.empty())
        text += "-" + m_text;
    if (m_family == eWin32) {
        text += " [" + kyos::win32MessageText(static_cast<DWORD>(m_code)) + "]";
    }
    return text;
}

boost::shared_ptr<FXErrorItem> FXErrorItemCode::Clone() const {
    return boost::make_shared<FXErrorItemCode>(*this);
}
