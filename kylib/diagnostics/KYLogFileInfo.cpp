// The table of the product's known logs. A log's id is the CRC-32 of its upper-cased
// name (low 31 bits), computed here by the compiler from the name: nobody types an id.
#include <cstring>
#include <string>
#include <unordered_map>

#include "kylib/diagnostics/EvDebug.h"

namespace {

constexpr std::uint32_t crc32OfUpperCase(const char* text) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (; *text != '\0'; ++text) {
        auto c = static_cast<unsigned char>(*text);
        if (c >= 'a' && c <= 'z')
            c = static_cast<unsigned char>(c - 'a' + 'A');
        crc ^= c;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

constexpr std::uint32_t logIdOf(const char* name) {
    return crc32OfUpperCase(name) & 0x7FFFFFFFu;
}

constexpr KYLogFileInfo row(const char* name, std::uint32_t level, std::uint32_t sizeMb,
                            std::uint32_t backups) {
    return KYLogFileInfo{logIdOf(name), name, 0, level, sizeMb, backups};
}

// The first row is what a failed lookup leaves behind; initialize never opens it.
constexpr KYLogFileInfo kKnownLogs[] = {
    {0, "", 0, 1, 1, 5},     row("kyd", 1, 10, 5),    // the resident daemon
    row("kybasic", 1, 5, 2),                          // the administrator's tool
    row("kycl", 1, 5, 2),                             // status of the crypto module
    row("kybench", 1, 5, 2), row("kytest", 1, 5, 2),  // the library's own tests
};

constexpr bool idsAreUnique() {
    constexpr size_t n = sizeof kKnownLogs / sizeof kKnownLogs[0];
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = i + 1; j < n; ++j) {
            if (kKnownLogs[i].id == kKnownLogs[j].id)
                return false;
        }
    }
    return true;
}
static_assert(idsAreUnique(), "two known logs have the same id; rename one");
static_assert(logIdOf("kyd") == logIdOf("KYD"), "ids ignore letter case");

std::string upper(const char* name) {
    std::string s(name);
    for (char& c : s) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

struct Maps {
    std::unordered_map<std::uint32_t, const KYLogFileInfo*> byId;
    std::unordered_map<std::string, const KYLogFileInfo*> byName;  // upper-cased
    Maps() {
        for (const KYLogFileInfo& r : kKnownLogs) {
            if (r.id == 0)
                continue;
            byId.emplace(r.id, &r);
            byName.emplace(upper(r.name), &r);
        }
    }
};

const Maps& maps() {
    static const Maps* m = new Maps;  // kept for threads still logging at exit
    return *m;
}

}  // namespace

unsigned EvDebug::getLogId(const char* name) {
    if (name == nullptr)
        return 0x7FFFFFFF;
    unsigned id = logIdOf(name);
    if (maps().byId.count(id) == 0) {
        std::string text =
            std::string(name) +
            ":This log file is not found in the internal list. Please add to the Build system.";
        EvDebug().ReportToSysLog(text.c_str());
    }
    return id;
}

const KYLogFileInfo* EvDebug::FindLogFileInfo(unsigned id) {
    auto it = maps().byId.find(id);
    EvDebug log;
    if (it == maps().byId.end()) {
        log.Error("[KYLogFileInfo]", "[%u] can not find default settings!", id);
        return nullptr;
    }
    const KYLogFileInfo* r = it->second;
    log.DebugLvl("[KYLogFileInfo]", 13, "[%u] - %s, %u, %u, %u, %u", r->id, r->name, r->reserved,
                 r->defaultLevel, r->defaultSize, r->defaultBackups);
    return r;
}

const KYLogFileInfo* EvDebug::FindLogFileInfo(const char* name) {
    if (name == nullptr)
        return nullptr;
    auto it = maps().byName.find(upper(name));
    return it == maps().byName.end() ? nullptr : it->second;
}
