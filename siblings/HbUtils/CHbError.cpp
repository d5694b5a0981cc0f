#include "siblings/HbUtils/CHbError.h"

#include <boost/make_shared.hpp>
#include <cstdio>

#include "os/Win32.h"
#include "siblings/HbUtils/FXErrorUtil.h"

CHbError::CHbError(std::int32_t code, const boost::shared_ptr<FXErrorItem>& item)
    : m_code(code != 0 ? code : E_FAIL) {
    if (item)
        m_items.push_back(item);
}

bool CHbError::Is(std::int32_t code) const {
    if (code == m_code)
        return true;
    for (std::int32_t match : FXErrorUtil::GetMatches(code)) {
        if (match == m_code)
            return true;
    }
    return false;
}

std::string CHbError::AsString() const {
    if (!IsError())
        return "Success";
    char head[64];
    std::snprintf(head, sizeof head, "Error %ld (0x%08lX)", static_cast<long>(m_code),
                  static_cast<unsigned long>(static_cast<std::uint32_t>(m_code)));
    std::string text = head;
    const char* separator = ": ";
    for (const boost::shared_ptr<FXErrorItem>& item : m_items) {
        text += separator;
        text += item->AsString();
        separator = " | ";
    }
    return text;
}

CHbError& CHbError::Push(const FXCodeLocation& location) {
    if (IsError())
        m_items.push_back(boost::make_shared<FXErrorItem>(location));
    return *this;
}

CHbError& CHbError::Push(const FXCodeLocation& location, const std::string& text) {
    if (IsError())
        m_items.push_back(boost::make_shared<FXErrorItemText>(location, text));
    return *this;
}

CHbError& CHbError::Push(const FXErrorItem& item) {
    if (IsError())
        m_items.push_back(item.Clone());
    return *this;
}
