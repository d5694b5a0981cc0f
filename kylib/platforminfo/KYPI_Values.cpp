#include "kylib/platforminfo/KYPI_Values.h"

#include <cstring>

#include "kylib/crypto/KYPassword.h"
#include "siblings/KyFocus/KYPI_Focus.h"

namespace {

// A row's "%s" filled with `part`. Rows hold at most one.
std::string filled(const char* pattern, const char* part) {
    const char* at = std::strstr(pattern, "%s");
    std::string out(pattern, static_cast<std::size_t>(at - pattern));
    out += part;
    out += at + 2;
    return out;
}

unsigned long clamped(const kypi::Clamp& clamp, unsigned long value) {
    switch (clamp.kind) {
        case kypi::Clamp::Saturate:
            return value < clamp.lo ? clamp.lo : value > clamp.hi ? clamp.hi : value;
        case kypi::Clamp::Only:
            return value < clamp.lo || value > clamp.hi ? clamp.other : value;
        case kypi::Clamp::Any:
            break;
    }
    return value;
}

// The row's key and value name, pointing into the row unless a part had to be filled in.
struct Place {
    std::string sectionText, nameText;
    const char* section = nullptr;
    const char* name = nullptr;
};

}  // namespace

int KYPI_ValueState::setFocus(const char* focus) {
    if (!valueStore().setFocus(focus))
        return 0;
    forgetCaches();
    return 1;
}

void KYPI_ValueState::setToDefaultFocus() {
    valueStore().setToDefaultFocus();
    forgetCaches();
}

const char* KYPI_ValueState::clientOrFocus(const char* client) {
    return client != nullptr ? client : KYPI_Focus::getFocusClientName();
}

void KYPI_ValueState::copyStoreError() {
    KYPlatformInfo& store = valueStore();
    m_lastError = store.getLastError();
    m_lastErrorMsg = store.getLastErrorMsg();
}

void KYPI_ValueState::setError(unsigned long code, const char* function, const char* message) {
    valueStore().logError(function, message);
    m_lastError = code;
    m_lastErrorMsg = message != nullptr ? message : "";
}

bool KYPI_ValueState::resolve(const kypi::Row& row, const char* part, std::string& section,
                              std::string& name) {
    if (kypi::hasPart(row.section)) {
        // The part becomes one key name: a separator in it would reach another key.
        const char* key = clientOrFocus(part);
        if (!isKeyNamePart(key)) {
            setError(ERROR_INVALID_PARAMETER, "KYPI_ValueState::resolve",
                     "Invalid client name passed as input.");
            return false;
        }
        section = filled(row.section, key);
    } else {
        section = row.section;
    }
    if (kypi::hasPart(row.name)) {
        const char* text = part != nullptr ? part : "default";
        if (*text == '\0') {
            setError(ERROR_INVALID_PARAMETER, "KYPI_ValueState::resolve", "Invalid arguments.");
            return false;
        }
        name = filled(row.name, text);
    } else {
        name = row.name;
    }
    return true;
}

unsigned long KYPI_ValueState::numberAt(kypi::Value v, bool refresh, const char* part) {
    const kypi::Row& row = kypi::kRows[v];
    const int slot = kypi::kSlots.number[v];
    if (slot >= 0 && !refresh && m_cache.numbers[slot] != 0)
        return m_cache.numbers[slot];
    unsigned long value = 0;
    bool read;
    if (!row.hasPart) {
        // The section's key is spelled out in the table: nothing to build per read.
        read = valueStore().getRegInt(row.key, row.name, &value);
    } else {
        std::string section, name;
        if (!resolve(row, part, section, name))
            return row.hasDefault ? row.defaultNumber : 0;
        read = valueStore().getNumber(section.c_str(), name.c_str(), &value) != 0;
    }
    if (read) {
        value = clamped(row.clamp, value);
    } else {
        copyStoreError();
        value = row.hasDefault ? row.defaultNumber : 0;
    }
    if (slot >= 0)
        m_cache.numbers[slot] = value;
    return value;
}

int KYPI_ValueState::setNumberAt(kypi::Value v, unsigned long value, const char* part) {
    const kypi::Row& row = kypi::kRows[v];
    std::string section, name;
    if (!resolve(row, part, section, name))
        return 0;
    const bool written = valueStore().setNumber(section.c_str(), name.c_str(), value) != 0;
    if (!written)
        copyStoreError();
    const int slot = kypi::kSlots.number[v];
    if (slot >= 0)
        m_cache.numbers[slot] = written ? value : 0;
    return written ? 1 : 0;
}

bool KYPI_ValueState::textAt(kypi::Value v, bool refresh, const char* part, std::string& out) {
    const kypi::Row& row = kypi::kRows[v];
    if (row.cached && !refresh) {
        for (const auto& entry : m_cache.texts) {
            if (entry.first == v && !entry.second.empty()) {
                out = entry.second;
                return true;
            }
        }
    }
    std::string section, name;
    if (!resolve(row, part, section, name)) {
        out.clear();
        return false;
    }
    if (!valueStore().getString(section.c_str(), name.c_str(), &out)) {
        copyStoreError();
        out.clear();
        return false;
    }
    if (row.cached) {
        for (auto& entry : m_cache.texts) {
            if (entry.first == v) {
                entry.second = out;
                return true;
            }
        }
        m_cache.texts.emplace_back(v, out);
    }
    return true;
}

int KYPI_ValueState::setTextAt(kypi::Value v, const char* value, const char* part) {
    const kypi::Row& row = kypi::kRows[v];
    std::string section, name;
    if (!resolve(row, part, section, name))
        return 0;
    const bool written = valueStore().setString(section.c_str(), name.c_str(), value) != 0;
    if (!written)
        copyStoreError();
    if (row.cached) {
        for (auto it = m_cache.texts.begin(); it != m_cache.texts.end(); ++it) {
            if (it->first == v) {
                m_cache.texts.erase(it);
                break;
            }
        }
        if (written)
            m_cache.texts.emplace_back(v, value);
    }
    return written ? 1 : 0;
}

int KYPI_ValueState::passwordAt(kypi::Value v, KYPassword* password, const char* part, bool write) {
    std::string section, name;
    if (!resolve(kypi::kRows[v], part, section, name))
        return 0;
    KYPlatformInfo& store = valueStore();
    const int done = write ? store.setPassword(section.c_str(), name.c_str(), password)
                           : store.getPassword(section.c_str(), name.c_str(), password);
    if (!done)
        copyStoreError();
    return done;
}
