#include "kylib/platforminfo/KYPlatformInfo.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "kylib/diagnostics/EvDebug.h"
#include "kylib/platforminfo/KYPI_PlatformBase.h"
#include "os/LastError.h"
#include "os/registry/Registry.h"
#include "siblings/HbUtils/AutoHandles.h"
#include "siblings/HbUtils/FXErrorUtil.h"
#include "siblings/HbUtils/FXRegistry.h"
#include "siblings/HbUtils/FXString.h"
#include "siblings/HbUtils/LogWriter.h"
#include "siblings/KyFocus/KYPI_Focus.h"

std::atomic<int> KYPlatformInfo::Reg_Additional_Flags{0};
std::atomic<int> KYPlatformInfo::m_iCloudLaptopClient{-1};
std::atomic<bool> KYPlatformInfo::m_bScheduleLoaded{false};

namespace {

constexpr const char* kProductRoot = "SOFTWARE\\Kelbrin Systems\\";
// The fixed product whose instances the ...ForSarvex lookups search, whatever the focus.
constexpr const char* kSarvexRoot = "SOFTWARE\\Kelbrin Systems\\Sarvex";
// Instance keys are the product root's subkeys whose names start with this (case counts).
constexpr const char* kInstancePrefix = "Instance";
constexpr size_t kInstancePrefixLength = 8;

// Most values are short: the first read of a string of unknown length goes into a buffer
// of this size on the stack, and only longer values take a heap buffer.
constexpr int kFirstStringRead = 2048;
// Central-server names are host names; callers' buffers must hold the longest one.
constexpr int kMinNameBuffer = 256;
// The value name of an application's debug level keeps at most this much of the name.
constexpr size_t kMaxAppNameLength = 1023;
// Bytes of binary data shown in a failure message before it is cut short.
constexpr int kMaxBytesShown = 32;
// Level of the laptop-mode lines on the shared log writer.
constexpr int kLaptopModeLogLevel = 2;

constexpr const char* kRemoteZentras = "RemoteZentras";

bool isEmpty(const char* text) {
    return text == nullptr || *text == '\0';
}

const char* textOrEmpty(const char* text) {
    return text ? text : "";
}

bool isSeparator(char c) {
    return c == '\\' || c == '/';
}

bool isStringType(unsigned long type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

bool equalsIgnoreCase(const std::string& a, const char* b) {
    return strcasecmp(a.c_str(), b) == 0;
}

// The thread's text for building key paths, in the static TLS block (the library is loaded
// with the program) behind a plain pointer, so that finding it costs no lookup.
__attribute__((tls_model("initial-exec"))) thread_local std::string* t_pathBuffer = nullptr;
thread_local std::unique_ptr<std::string> t_pathOwner;

std::string& threadPathBuffer() {
    if (t_pathBuffer == nullptr) {
        t_pathOwner = std::make_unique<std::string>();
        t_pathBuffer = t_pathOwner.get();
    }
    return *t_pathBuffer;
}

// The key of an instance below the product's, for the product and instance the thread
// last expanded a key for: nearly every key a process expands is in its own instance.
struct InstancePrefix {
    std::string product, focus, prefix;
};
__attribute__((tls_model("initial-exec"))) thread_local InstancePrefix* t_instancePrefix = nullptr;
thread_local std::unique_ptr<InstancePrefix> t_instancePrefixOwner;

InstancePrefix& threadInstancePrefix() {
    if (t_instancePrefix == nullptr) {
        t_instancePrefixOwner = std::make_unique<InstancePrefix>();
        t_instancePrefix = t_instancePrefixOwner.get();
    }
    return *t_instancePrefix;
}

REGSAM extraAccess() {
    return static_cast<REGSAM>(
        KYPlatformInfo::Reg_Additional_Flags.load(std::memory_order_relaxed));
}

// A key path with slashes as back-slashes, without leading back-slashes and with each run
// of them collapsed into one.
std::string normalisedRest(std::string_view rest) {
    std::string out;
    out.reserve(rest.size());
    for (char c : rest) {
        if (isSeparator(c)) {
            if (!out.empty() && out.back() != '\\')
                out += '\\';
        } else {
            out += c;
        }
    }
    return out;
}

// The section's key in the instance notation.
std::string sectionKey(const char* section) {
    if (isEmpty(section))
        return std::string(1, '~');
    if (section[0] == '~')
        return std::string(section);
    // Made in one step: every read of a setting names its section.
    const std::size_t length = std::strlen(section);
    std::string key(length + 1, '~');
    std::memcpy(&key[1], section, length);
    return key;
}

// The key's path parts, letter case folded (ASCII), for comparing two keys. The store
// folds non-ASCII letters too; it refuses what this misses.
std::string comparablePath(const std::string& path) {
    std::string out;
    for (const std::string& part : FXString::Split(FXString::ToLower(path), "\\")) {
        if (part.empty())
            continue;
        if (!out.empty())
            out += '\\';
        out += part;
    }
    return out;
}

bool isRootPath(const std::string& path) {
    return path.find_first_not_of("\\/") == std::string::npos;
}

bool isWithin(const std::string& path, const std::string& ancestor) {
    return path.size() > ancestor.size() && path.compare(0, ancestor.size(), ancestor) == 0 &&
           path[ancestor.size()] == '\\';
}

// Bytes of a REG_MULTI_SZ list up to and including the NUL of its empty terminating text.
size_t multiStringLength(const char* list) {
    size_t offset = 0;
    while (list[offset] != '\0')
        offset += std::strlen(list + offset) + 1;
    return offset + 1;
}

// Value data as a failure message shows it: texts as text, numbers in decimal, anything
// else in hex. Never reads past `size`.
std::string describeData(DWORD type, const void* data, int size) {
    const char* bytes = static_cast<const char*>(data);
    const auto length = static_cast<size_t>(size);
    switch (type) {
        case REG_SZ:
        case REG_EXPAND_SZ:
            return std::string(bytes, strnlen(bytes, length));
        case REG_MULTI_SZ: {
            std::string out;
            size_t offset = 0;
            while (offset < length) {
                size_t n = strnlen(bytes + offset, length - offset);
                if (n == 0)
                    break;
                if (!out.empty())
                    out += ", ";
                out.append(bytes + offset, n);
                offset += n + 1;
            }
            return out;
        }
        case REG_DWORD:
            if (size == static_cast<int>(sizeof(DWORD))) {
                DWORD v;
                std::memcpy(&v, data, sizeof v);
                return std::to_string(v);
            }
            break;
        case REG_QWORD:
            if (size == static_cast<int>(sizeof(ULONGLONG))) {
                ULONGLONG v;
                std::memcpy(&v, data, sizeof v);
                return std::to_string(v);
            }
            break;
        default:
            break;
    }
    std::string out = "0x";
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < size && i < kMaxBytesShown; ++i) {
        auto b = static_cast<unsigned char>(bytes[i]);
        out += kHex[b >> 4];
        out += kHex[b & 0xF];
    }
    if (size > kMaxBytesShown)
        out += "...";
    return out;
}

// Decimal text as stored by setLongLong. Parsed unsigned, so that the largest value reads
// back as itself (a signed conversion would clamp it); a leading "-" still reads as the
// signed conversion would, as older readers did. False for anything but one decimal
// number in range with white space around it: a conversion that stops at the first
// stray character would pass an empty or garbled value off as 0, and one out of range
// as the largest number.
bool parseLongLong(const std::string& text, unsigned long long& value) {
    const char* p = text.c_str();
    while (std::isspace(static_cast<unsigned char>(*p)))
        ++p;
    const char* digits = (*p == '-' || *p == '+') ? p + 1 : p;
    if (!std::isdigit(static_cast<unsigned char>(*digits)))
        return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long parsed =
        *p == '-' ? static_cast<unsigned long long>(std::strtoll(p, &end, 10))
                  : std::strtoull(p, &end, 10);
    if (errno == ERANGE)
        return false;
    while (std::isspace(static_cast<unsigned char>(*end)))
        ++end;
    if (*end != '\0')
        return false;
    value = parsed;
    return true;
}

// How mangled host names are written: "host*client", the client left out when empty.
std::string mangleHostName(const std::string& host, const std::string& client) {
    return client.empty() ? host : host + "*" + client;
}

bool copyOut(const std::string& text, char* buf, int len) {
    if (buf == nullptr || len <= 0 || text.size() + 1 > static_cast<size_t>(len))
        return false;
    std::memcpy(buf, text.c_str(), text.size() + 1);
    return true;
}

// The shared log writer, when it writes lines of the laptop-mode level.
boost::shared_ptr<CLogWriterInterface> laptopModeWriter() {
    boost::shared_ptr<CLogWriterInterface> writer = GetLogWriter();
    if (!writer->IsLevelEnabled(kLaptopModeLogLevel))
        writer.reset();
    return writer;
}

}  // namespace

// =========================================================================================
// Construction and identity.

KYPlatformInfo::KYPlatformInfo()
    : m_productName(textOrEmpty(KYPI_Focus::getProductName())),
      m_focus(textOrEmpty(KYPI_Focus::getFocus())) {}

KYPlatformInfo::KYPlatformInfo(EvDebug* debug) : KYPlatformInfo() {
    m_pEvDebug = debug;
}

KYPlatformInfo::KYPlatformInfo(int printErrors, int logErrors) : KYPlatformInfo() {
    m_printErrors = printErrors;
    m_logErrors = logErrors;
}

KYPlatformInfo::KYPlatformInfo(const std::string& focus)
    : m_productName(textOrEmpty(KYPI_Focus::getProductName())), m_focus(focus) {}

int KYPlatformInfo::setFocus(const char* focus) {
    // The instance is one key below the product's: a name with a separator would reach
    // another instance's keys, or keys that are no instance at all.
    if (!isKeyNamePart(focus))
        return 0;
    m_focus = focus;
    m_physicalMachine.clear();  // it belongs to the instance
    return 1;
}

void KYPlatformInfo::setToDefaultFocus() {
    m_focus = textOrEmpty(KYPI_Focus::getFocus());
    m_physicalMachine.clear();
}

void KYPlatformInfo::logError(const char* function, const char* message) {
    if (isEmpty(message))
        return;
    function = textOrEmpty(function);
    if (m_logErrors) {
        if (m_pEvDebug != nullptr) {
            m_pEvDebug->Error(function, "%s", message);
        } else {
            EvDebug debug;
            debug.Error(function, "%s", message);
        }
    }
    if (m_printErrors) {
        if (message[std::strlen(message) - 1] == '\n')
            std::printf("%s(): %s", function, message);
        else
            std::printf("%s(): %s\n", function, message);
    }
    m_lastErrorMsg = message;
}

bool KYPlatformInfo::isKeyNamePart(const char* name) {
    return !isEmpty(name) && std::strpbrk(name, "\\/") == nullptr;
}

bool KYPlatformInfo::fail(const char* function, const std::string& message, DWORD code) {
    m_regError = -1;
    m_lastError = code;
    logError(function, message.c_str());
    return false;
}

int KYPlatformInfo::GetAllInInstances(std::vector<std::string>& instances) {
    return listInstances(kProductRoot + m_productName, instances) && !instances.empty() ? 1 : 0;
}

bool KYPlatformInfo::listInstances(const std::string& productRoot,
                                   std::vector<std::string>& instances) {
    instances.clear();
    std::list<std::string> keys;
    if (!getRegSubKeysImpl(productRoot.c_str(), &keys))
        return false;
    for (std::string& name : keys) {
        if (name.compare(0, kInstancePrefixLength, kInstancePrefix) == 0)
            instances.push_back(std::move(name));
    }
    return true;
}

int KYPlatformInfo::createPlatformInfo() {
    return createRegKey(m_productName.c_str()) ? 1 : 0;
}

int KYPlatformInfo::deletePlatformInfo() {
    if (delRegKey(m_productName.c_str()))
        return 1;
    if (m_regError != -2)
        return 0;
    resetStatus();  // already gone: what was asked for holds
    return 1;
}

// =========================================================================================
// Key expansion.

std::string KYPlatformInfo::expandKeyName(const char* key) {
    std::string out;
    expandKeyNameInto(key, out);
    return out;
}

// Into a text the caller keeps, so that a read of a value allocates nothing once warm.
bool KYPlatformInfo::expandKeyNameInto(const char* key, std::string& out) {
    m_regError = 0;
    out.clear();
    if (key == nullptr)
        return false;
    if (key[0] != '~') {
        out = key;
        std::replace(out.begin(), out.end(), '/', '\\');
        return true;
    }
    const bool hasInstance = KYPI_Focus::getProductType() != KELBRIN_PRODUCT_TYPE_NO_INSTANCE;
    if (hasInstance && !m_focus.empty()) {
        // The product and instance part, as this thread last built it for the same pair.
        InstancePrefix& last = threadInstancePrefix();
        if (last.product != m_productName || last.focus != m_focus) {
            last.product = m_productName;
            last.focus = m_focus;
            last.prefix = kProductRoot + m_productName + "\\" + m_focus + "\\";
        }
        out += last.prefix;
    } else {
        out += kProductRoot;
        out += m_productName;
        out += '\\';
    }
    if (hasInstance) {
        if (m_focus.empty()) {
            fail("KYPlatformInfo::expandKeyName",
                 std::string("Can't resolve registry key [") + key + "]: current focus is unknown",
                 ERROR_INVALID_STATE);
            KYPI_Focus::doCrashThisProcess(true,
                                           "KYPI_Focus::setFocus() is not set. Cannot access "
                                           "registry at this point. Causing a debugger break "
                                           "now");
        }
        const char* remote = KYPI_Focus::getRemoteTesselFocus();
        if (!isEmpty(remote)) {
            std::string section = normalisedRest(std::string_view(key + 1));
            while (!section.empty() && section.back() == '\\')
                section.pop_back();
            if (equalsIgnoreCase(section, "Zentra") || equalsIgnoreCase(section, "__Cache")) {
                out += kRemoteZentras;
                out += '\\';
                out += remote;
                out += '\\';
            }
        }
    }
    // The rest with slashes as back-slashes, without leading back-slashes and with each
    // run of them collapsed into one.
    const std::size_t restStart = out.size();
    for (const char* p = key + 1; *p != '\0'; ++p) {
        if (isSeparator(*p)) {
            if (out.size() != restStart && out.back() != '\\')
                out += '\\';
        } else {
            out += *p;
        }
    }
    return true;
}

// =========================================================================================
// Absolute-key primitives.

bool KYPlatformInfo::getRegValue(const char* key, const char* field, unsigned long* type,
                                 void* data, int& size) {
    static constexpr const char* kFunction = "KYPlatformInfo::getRegValue";
    resetStatus();
    if (isEmpty(key) || isEmpty(field) || type == nullptr || data == nullptr || size < 0)
        return fail(kFunction, "Invalid arguments.", ERROR_INVALID_PARAMETER);
    // Read without opening a handle, through the store's cache: this is the read every
    // setting of the product takes. The path is built in a text of the thread's that is
    // not used again once the store has answered (what runs after, logging a failure
    // say, may read the store itself).
    std::string& path = threadPathBuffer();
    if (!expandKeyNameInto(key, path) || path.empty())
        return fail(kFunction, "Invalid arguments.", ERROR_INVALID_PARAMETER);
    DWORD valueType = REG_NONE;
    DWORD valueSize = static_cast<DWORD>(size);
    bool keyExists = false;
    const DWORD rc = kyos::reg::getValue(HKEY_LOCAL_MACHINE, path, field, &valueType, data,
                                         &valueSize, &keyExists);
    if (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) {
        *type = valueType;
        size = static_cast<int>(std::min<DWORD>(valueSize, INT_MAX));
    }
    switch (rc) {
        case ERROR_SUCCESS:
            return true;
        case ERROR_FILE_NOT_FOUND:
            m_regError = keyExists ? -3 : -2;
            m_lastError = rc;
            return false;
        case ERROR_MORE_DATA:
            m_regError = -4;
            m_lastError = rc;
            return false;
        default:
            return fail(kFunction,
                        std::string(keyExists ? "Failed to query field [" + std::string(field) +
                                                    "] under registry key ["
                                              : "Failed to open registry key [") +
                            key + "]: " + kyos::win32MessageText(rc),
                        rc);
    }
}

bool KYPlatformInfo::getRegValue(const char* key, const char16_t* field, unsigned long* type,
                                 void* data, int& size) {
    if (field == nullptr)
        return getRegValue(key, static_cast<const char*>(nullptr), type, data, size);
    const std::string narrow = FXString::ToString(std::u16string_view(field));
    return getRegValue(key, narrow.c_str(), type, data, size);
}

bool KYPlatformInfo::setRegValue(const char* key, const char* field, unsigned long type,
                                 const void* data, int size) {
    static constexpr const char* kFunction = "KYPlatformInfo::setRegValue";
    resetStatus();
    if (isEmpty(key) || isEmpty(field) || data == nullptr || size < 0)
        return fail(kFunction, "Invalid arguments.", ERROR_INVALID_PARAMETER);
    if (size == 0) {
        const char* text = static_cast<const char*>(data);
        size_t length;
        switch (type) {
            case REG_SZ:
            case REG_EXPAND_SZ:
                length = std::strlen(text) + 1;
                break;
            case REG_MULTI_SZ:
                // The whole list: storing only its first text would drop the rest.
                length = multiStringLength(text);
                break;
            default:
                return fail(kFunction, "ZERO value length passed as input",
                            ERROR_INVALID_PARAMETER);
        }
        if (length > INT_MAX)
            return fail(kFunction, "Invalid arguments.", ERROR_INVALID_PARAMETER);
        size = static_cast<int>(length);
    }
    const std::string path = expandKeyName(key);
    if (path.empty())
        return fail(kFunction, "Invalid arguments.", ERROR_INVALID_PARAMETER);

    auto_reg_key handle;
    DWORD rc = kyos::reg::createKey(HKEY_LOCAL_MACHINE, path, REG_OPTION_NON_VOLATILE,
                                    KEY_ALL_ACCESS | extraAccess(), handle.reset(), nullptr);
    if (rc != ERROR_SUCCESS) {
        return fail(
            kFunction,
            std::string("Failed to open registry key [") + key + "]: " + kyos::win32MessageText(rc),
            rc);
    }
    rc = kyos::reg::setValue(handle.get(), field, static_cast<DWORD>(type), data,
                             static_cast<DWORD>(size));
    if (rc != ERROR_SUCCESS) {
        return fail(kFunction,
                    std::string("Failed to set field [") + field + "] to " +
                        describeData(static_cast<DWORD>(type), data, size) +
                        " under registry key [" + key + "]: " + kyos::win32MessageText(rc),
                    rc);
    }
    return true;
}

bool KYPlatformInfo::getRegInt(const char* key, const char* field, unsigned long* value) {
    static constexpr const char* kFunction = "KYPlatformInfo::getRegInt";
    resetStatus();
    if (value == nullptr)
        return fail(kFunction, "Invalid arguments.", ERROR_INVALID_PARAMETER);
    DWORD number = 0;
    int size = sizeof number;
    unsigned long type = REG_NONE;
    const bool ok = getRegValue(key, field, &type, &number, size);
    // A longer value of another type is a type mismatch, not a buffer too small.
    if (!ok && m_regError != -4)
        return false;
    if (type != REG_DWORD) {
        return fail(kFunction,
                    std::string("Field ") + field + " in key " + key + " is not a DWORD.",
                    ERROR_INVALID_DATA);
    }
    if (!ok)
        return false;
    *value = number;
    return true;
}

bool KYPlatformInfo::setRegInt(const char* key, const char* field, unsigned long value) {
    const DWORD number = static_cast<DWORD>(value);
    return setRegValue(key, field, REG_DWORD, &number, sizeof number);
}

bool KYPlatformInfo::setRegString(const char* key, const char* field, const char* value) {
    return setRegValue(key, field, REG_SZ, value, 0);
}

bool KYPlatformInfo::getRegStringImpl(const char* function, const char* key, const char* field,
                                      char* buf, int len, int* outLen) {
    resetStatus();
    if (buf == nullptr || len <= 0)
        return fail(function, "Invalid arguments.", ERROR_INVALID_PARAMETER);
    unsigned long type = REG_NONE;
    int size = len;
    const bool ok = getRegValue(key, field, &type, buf, size);
    if (!ok && m_regError != -4)
        return false;
    if (!isStringType(type)) {
        return fail(function,
                    std::string("Field ") + field + " in key " + key + " is not a string.",
                    ERROR_INVALID_DATA);
    }
    if (!ok)
        return false;
    // A value stored without its terminator gets one when there is room; without room the
    // caller's buffer is too small, since it must always come back terminated.
    if (strnlen(buf, static_cast<size_t>(size)) == static_cast<size_t>(size)) {
        if (size >= len) {
            m_regError = -4;
            m_lastError = ERROR_MORE_DATA;
            return false;
        }
        buf[size] = '\0';
    }
    if (outLen != nullptr)
        *outLen = static_cast<int>(std::strlen(buf)) + 1;
    return true;
}

bool KYPlatformInfo::getRegStringImpl(const char* key, const char* field, std::string* out) {
    static constexpr const char* kFunction = "KYPlatformInfo::getRegStringImpl";
    resetStatus();
    if (isEmpty(key) || isEmpty(field) || out == nullptr)
        return fail(kFunction, "Invalid arguments passed.", ERROR_INVALID_PARAMETER);
    char first[kFirstStringRead];
    std::unique_ptr<char[]> larger;
    char* data = first;
    int capacity = kFirstStringRead;
    int size = capacity;
    unsigned long type = REG_NONE;
    bool ok = getRegValue(key, field, &type, data, size);
    while (!ok && m_regError == -4 && isStringType(type)) {
        // Doubling as far as the size the store reported, so one retry is the usual case.
        int next = capacity;
        do {
            if (next > INT_MAX / 2) {
                return fail(kFunction,
                            FXString::Format("Failed to allocate new buffer of size [%d] to read "
                                             "the registry key [%s]",
                                             next, key),
                            ERROR_NOT_ENOUGH_MEMORY);
            }
            next *= 2;
        } while (next < size);
        larger.reset(new (std::nothrow) char[static_cast<size_t>(next)]);
        if (!larger) {
            return fail(kFunction,
                        FXString::Format("Failed to allocate new buffer of size [%d] to read the "
                                         "registry key [%s]",
                                         next, key),
                        ERROR_NOT_ENOUGH_MEMORY);
        }
        data = larger.get();
        capacity = next;
        size = capacity;
        ok = getRegValue(key, field, &type, data, size);
    }
    if (!ok && m_regError != -4)
        return false;
    if (!isStringType(type)) {
        return fail(kFunction,
                    std::string("Field ") + field + " in key " + key + " is not a string.",
                    ERROR_INVALID_DATA);
    }
    if (!ok)
        return false;
    out->assign(data, strnlen(data, static_cast<size_t>(size)));
    return true;
}

bool KYPlatformInfo::getRegStringFromAbsPath(const char* key, const char* field, char* buf,
                                             int len) {
    return getRegStringImpl("KYPlatformInfo::getRegStringImpl", key, field, buf, len, nullptr);
}

bool KYPlatformInfo::getRegStringFromAbsPath(const char* key, const char* field, std::string* out) {
    return getRegStringImpl(key, field, out);
}

bool KYPlatformInfo::getRegSubKeysImpl(const char* key, std::list<std::string>* subKeys) {
    static constexpr const char* kFunction = "KYPlatformInfo::getRegSubKeysImpl";
    resetStatus();
    if (isEmpty(key) || subKeys == nullptr)
        return fail(kFunction, "Invalid arguments.", ERROR_INVALID_PARAMETER);
    subKeys->clear();
    const std::string path = expandKeyName(key);
    if (path.empty())
        return fail(kFunction, "Invalid arguments.", ERROR_INVALID_PARAMETER);
    auto_reg_key handle;
    DWORD rc =
        kyos::reg::openKey(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | extraAccess(), handle.reset());
    if (rc == ERROR_FILE_NOT_FOUND) {
        m_regError = -2;
        m_lastError = rc;
        return false;
    }
    if (rc != ERROR_SUCCESS) {
        return fail(
            kFunction,
            std::string("Failed to open registry key [") + key + "]: " + kyos::win32MessageText(rc),
            rc);
    }
    std::list<std::string> names;
    std::string name;
    for (DWORD index = 0;; ++index) {
        rc = kyos::reg::enumKey(handle.get(), index, &name);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS) {
            return fail(kFunction,
                        std::string("Failed to enumerate subkeys of [") + key +
                            "]: " + kyos::win32MessageText(rc),
                        rc);
        }
        names.push_back(name);
    }
    subKeys->swap(names);
    return true;
}

bool KYPlatformInfo::getRegSubKeysFromAbsPath(const char* key, std::list<std::string>* subKeys) {
    return getRegSubKeysImpl(key, subKeys);
}

bool KYPlatformInfo::getRegValues(const char* key, std::map<std::string, std::string>* values) {
    static constexpr const char* kFunction = "KYPlatformInfo::getRegValues";
    resetStatus();
    if (isEmpty(key) || values == nullptr)
        return fail(kFunction, "Invalid arguments.", ERROR_INVALID_PARAMETER);
    values->clear();
    const std::string path = expandKeyName(key);
    if (path.empty())
        return fail(kFunction, "Invalid arguments.", ERROR_INVALID_PARAMETER);
    auto_reg_key handle;
    DWORD rc =
        kyos::reg::openKey(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | extraAccess(), handle.reset());
    if (rc == ERROR_FILE_NOT_FOUND) {
        m_regError = -2;
        m_lastError = rc;
        return false;
    }
    if (rc != ERROR_SUCCESS) {
        return fail(
            kFunction,
            std::string("Failed to open registry key [") + key + "]: " + kyos::win32MessageText(rc),
            rc);
    }
    std::vector<char> data(1024);
    std::string name;
    for (DWORD index = 0;; ++index) {
        DWORD type = REG_NONE;
        auto size = static_cast<DWORD>(data.size());
        rc = kyos::reg::enumValue(handle.get(), index, &name, &type, data.data(), &size);
        if (rc == ERROR_MORE_DATA) {
            data.resize(size);
            rc = kyos::reg::enumValue(handle.get(), index, &name, &type, data.data(), &size);
        }
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS) {
            return fail(kFunction,
                        std::string("Failed to enumerate values of [") + key +
                            "]: " + kyos::win32MessageText(rc),
                        rc);
        }
        switch (type) {
            case REG_SZ:
            case REG_EXPAND_SZ:
            case REG_MULTI_SZ:  // its first text
                (*values)[name].assign(data.data(), strnlen(data.data(), size));
                break;
            case REG_DWORD:
            case REG_QWORD:
                if (size == 4 || size == 8)
                    (*values)[name] = describeData(type, data.data(), static_cast<int>(size));
                break;
            default:
                break;
        }
    }
    return true;
}

bool KYPlatformInfo::createRegKey(const char* key) {
    static constexpr const char* kFunction = "KYPlatformInfo::createRegKey";
    resetStatus();
    if (isEmpty(key))
        return fail(kFunction, "Invalid arguments.", ERROR_INVALID_PARAMETER);
    const std::string path = expandKeyName(key);
    if (path.empty())
        return fail(kFunction, "Invalid arguments.", ERROR_INVALID_PARAMETER);
    auto_reg_key handle;
    const DWORD rc = kyos::reg::createKey(HKEY_LOCAL_MACHINE, path, REG_OPTION_NON_VOLATILE,
                                          KEY_ALL_ACCESS | extraAccess(), handle.reset(), nullptr);
    if (rc != ERROR_SUCCESS) {
        return fail(
            kFunction,
            std::string("Failed to create key [") + key + "]: " + kyos::win32MessageText(rc), rc);
    }
    return true;
}

bool KYPlatformInfo::delRegKey(const char* key) {
    static constexpr const char* kFunction = "KYPlatformInfo::delRegKey";
    resetStatus();
    if (isEmpty(key))
        return fail(kFunction, "Invalid arguments.", ERROR_INVALID_PARAMETER);
    const std::string path = expandKeyName(key);
    // A path without a key name would be the whole HKEY_LOCAL_MACHINE.
    if (isRootPath(path))
        return fail(kFunction, "Invalid arguments.", ERROR_INVALID_PARAMETER);
    const DWORD rc = kyos::reg::deleteTree(HKEY_LOCAL_MACHINE, path);
    if (rc == ERROR_FILE_NOT_FOUND) {
        m_regError = -2;
        m_lastError = rc;
        return false;
    }
    if (rc != ERROR_SUCCESS) {
        return fail(
            kFunction,
            std::string("Failed to delete key [") + key + "]: " + kyos::win32MessageText(rc), rc);
    }
    return true;
}

bool KYPlatformInfo::delRegField(const char* key, const char* field) {
    static constexpr const char* kFunction = "KYPlatformInfo::delRegField";
    resetStatus();
    if (isEmpty(key) || isEmpty(field))
        return fail(kFunction, "Invalid arguments.", ERROR_INVALID_PARAMETER);
    const std::string path = expandKeyName(key);
    if (path.empty())
        return fail(kFunction, "Invalid arguments.", ERROR_INVALID_PARAMETER);
    auto_reg_key handle;
    DWORD rc = kyos::reg::openKey(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS | extraAccess(),
                                  handle.reset());
    if (rc == ERROR_FILE_NOT_FOUND) {
        m_regError = -2;
        m_lastError = rc;
        return false;
    }
    if (rc == ERROR_SUCCESS)
        rc = kyos::reg::deleteValue(handle.get(), field);
    if (rc == ERROR_FILE_NOT_FOUND) {
        m_regError = -3;
        m_lastError = rc;
        return false;
    }
    if (rc != ERROR_SUCCESS) {
        return fail(kFunction,
                    std::string("Failed to delete field [") + field + "] from key [" + key +
                        "]: " + kyos::win32MessageText(rc),
                    rc);
    }
    return true;
}

bool KYPlatformInfo::copyRegKey(const char* from, const char* to) {
    static constexpr const char* kFunction = "KYPlatformInfo::copyRegKey";
    resetStatus();
    if (isEmpty(from) || isEmpty(to))
        return fail(kFunction, "Invalid arguments.", ERROR_INVALID_PARAMETER);
    const std::string source = expandKeyName(from);
    const std::string dest = expandKeyName(to);
    if (isRootPath(source) || isRootPath(dest))
        return fail(kFunction, "Invalid arguments.", ERROR_INVALID_PARAMETER);
    const std::string alreadyExists =
        std::string("Failed to create key [") + to + "]: " + "Key already exists!";
    const std::string intoItself =
        std::string("Failed to copy key [") + from + "] into its own subkey [" + to + "]";
    const std::string sourceCmp = comparablePath(source), destCmp = comparablePath(dest);
    if (destCmp == sourceCmp)
        return fail(kFunction, alreadyExists, ERROR_ALREADY_EXISTS);
    // The copy would feed on itself.
    if (isWithin(destCmp, sourceCmp))
        return fail(kFunction, intoItself, ERROR_INVALID_PARAMETER);

    // One store transaction: a copy that fails part way leaves no destination behind.
    const DWORD rc = kyos::reg::copyTree(HKEY_LOCAL_MACHINE, source, HKEY_LOCAL_MACHINE, dest,
                                         kyos::reg::CopyMode::kNewDestination);
    switch (rc) {
        case ERROR_SUCCESS:
            return true;
        case ERROR_FILE_NOT_FOUND:
            return fail(
                kFunction,
                std::string("Failed to open key [") + from + "]: " + kyos::win32MessageText(rc),
                rc);
        case ERROR_ALREADY_EXISTS:
            return fail(kFunction, alreadyExists, rc);
        case ERROR_INVALID_PARAMETER:
            return fail(kFunction, intoItself, rc);
        default:
            return fail(kFunction,
                        std::string("Failed to copy subkey [") + to + "] of key [" + from +
                            "]: " + kyos::win32MessageText(rc),
                        rc);
    }
}

bool KYPlatformInfo::copyRegKey(const char* fromSection, const char* fromSubKey,
                                const char* toSection, const char* toSubKey) {
    std::string from = sectionKey(fromSection);
    std::string to = sectionKey(toSection);
    if (!isEmpty(fromSubKey))
        from = from + "\\" + fromSubKey;
    if (!isEmpty(toSubKey))
        to = to + "\\" + toSubKey;
    return copyRegKey(from.c_str(), to.c_str());
}

bool KYPlatformInfo::copyRegKey(const std::string& from, const std::string& to) {
    return copyRegKey(from.c_str(), to.c_str());
}

bool KYPlatformInfo::copyRegKeyValues(HKEY from, HKEY to) {
    static constexpr const char* kFunction = "KYPlatformInfo::copyRegKeyValues";
    resetStatus();
    if (from == nullptr || to == nullptr)
        return fail(kFunction, "Invalid arguments.", ERROR_INVALID_PARAMETER);
    // All values or none.
    kyos::reg::Transaction txn;
    if (txn.status() != ERROR_SUCCESS) {
        return fail(kFunction, "Failed to set values: " + kyos::win32MessageText(txn.status()),
                    txn.status());
    }
    std::vector<char> data(1024);
    std::string name;
    for (DWORD index = 0;; ++index) {
        DWORD type = REG_NONE;
        auto size = static_cast<DWORD>(data.size());
        DWORD rc = kyos::reg::enumValue(from, index, &name, &type, data.data(), &size);
        if (rc == ERROR_MORE_DATA) {
            data.resize(size);
            rc = kyos::reg::enumValue(from, index, &name, &type, data.data(), &size);
        }
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS)
            return fail(kFunction, "Failed to enumerate values: " + kyos::win32MessageText(rc), rc);
        rc = kyos::reg::setValue(to, name, type, data.data(), size);
        if (rc != ERROR_SUCCESS)
            return fail(kFunction, "Failed to set values: " + kyos::win32MessageText(rc), rc);
    }
    const DWORD rc = txn.commit();
    if (rc != ERROR_SUCCESS)
        return fail(kFunction, "Failed to set values: " + kyos::win32MessageText(rc), rc);
    return true;
}

bool KYPlatformInfo::renameRegKey(const char* from, const char* to) {
    static constexpr const char* kFunction = "KYPlatformInfo::renameRegKey";
    resetStatus();
    if (isEmpty(from) || isEmpty(to))
        return fail(kFunction, "Invalid arguments.", ERROR_INVALID_PARAMETER);
    if (std::strcmp(from, to) == 0)
        return true;
    const std::string source = expandKeyName(from);
    const std::string dest = expandKeyName(to);
    if (isRootPath(source) || isRootPath(dest))
        return fail(kFunction, "Invalid arguments.", ERROR_INVALID_PARAMETER);
    const std::string failed = std::string("Failed to copy key ") + from + " to " + to + ": ";
    const std::string belowItself = failed + "the new name lies below the old one.";
    if (isWithin(comparablePath(dest), comparablePath(source)))
        return fail(kFunction, belowItself, ERROR_INVALID_PARAMETER);

    // The store moves the tree in one transaction, a change of letter case included, so a
    // failure leaves the key under its old name and never only under a temporary one.
    const DWORD rc = kyos::reg::renameKey(HKEY_LOCAL_MACHINE, source, dest);
    switch (rc) {
        case ERROR_SUCCESS:
            return true;
        case ERROR_ALREADY_EXISTS:
            return fail(kFunction, failed + "Key already exists!", rc);
        case ERROR_INVALID_PARAMETER:
            return fail(kFunction, belowItself, rc);
        default:
            return fail(kFunction, failed + kyos::win32MessageText(rc), rc);
    }
}

bool KYPlatformInfo::renameRegKey(const std::string& from, const std::string& to) {
    return renameRegKey(from.c_str(), to.c_str());
}

// =========================================================================================
// Section and field accessors.

int KYPlatformInfo::getString(const char* section, const char* field, char* buf, int* len) {
    static constexpr const char* kFunction = "KYPlatformInfo::getRegStringImpl";
    if (len == nullptr) {
        resetStatus();
        return fail(kFunction, "Invalid arguments.", ERROR_INVALID_PARAMETER);
    }
    const std::string key = sectionKey(section);
    return getRegStringImpl(kFunction, key.c_str(), field, buf, *len, len) ? 1 : 0;
}

int KYPlatformInfo::getString(const char* section, const char* field, char* buf, int len) {
    const std::string key = sectionKey(section);
    return getRegStringImpl("KYPlatformInfo::getRegStringImpl", key.c_str(), field, buf, len,
                            nullptr)
               ? 1
               : 0;
}

int KYPlatformInfo::getString(const char* section, const char* field, std::string* out) {
    const std::string key = sectionKey(section);
    return getRegStringImpl(key.c_str(), field, out) ? 1 : 0;
}

int KYPlatformInfo::getStringTrim(const char* section, const char* field, std::string* out) {
    if (!getString(section, field, out))
        return 0;
    *out = FXString::Trim(*out);
    return 1;
}

int KYPlatformInfo::getStringList(const char* section, const char* field,
                                  std::vector<std::string>& out,
                                  std::vector<std::string>* separators) {
    static const std::vector<std::string> kDefaultSeparators{",", ";", " ", ":", "|"};
    out.clear();
    std::string value;
    if (!getString(section, field, &value))
        return 0;
    const std::vector<std::string>& splitBy =
        separators != nullptr && !separators->empty() ? *separators : kDefaultSeparators;
    std::vector<std::string> parts{value};
    for (const std::string& separator : splitBy) {
        std::vector<std::string> next;
        for (const std::string& part : parts) {
            for (std::string& piece : FXString::SplitArguments(part, separator))
                next.push_back(std::move(piece));
        }
        parts.swap(next);
    }
    out.swap(parts);
    return 1;
}

int KYPlatformInfo::setString(const char* section, const char* field, const char* value) {
    const std::string key = sectionKey(section);
    return setRegValue(key.c_str(), field, REG_SZ, value, 0) ? 1 : 0;
}

int KYPlatformInfo::setString(const char* section, const char* field, const char* value, int) {
    return setString(section, field, value);
}

int KYPlatformInfo::setString(const char* section, const char* field, const std::string& value) {
    return setString(section, field, value.c_str());
}

int KYPlatformInfo::getNumber(const char* section, const char* field, unsigned long* value) {
    unsigned long number = 0;
    const std::string key = sectionKey(section);
    if (!getRegInt(key.c_str(), field, value ? &number : nullptr))
        return 0;
    *value = number;
    return 1;
}

int KYPlatformInfo::getNumber(const char* section, const char* field, unsigned int* value) {
    unsigned long number = 0;
    if (!getNumber(section, field, value ? &number : nullptr))
        return 0;
    *value = static_cast<unsigned int>(number);
    return 1;
}

// The signed forms read the DWORD as the 32-bit signed number it held where `long` is 32
// bits, so that a stored -1 reads as -1 and not as 4294967295.
int KYPlatformInfo::getNumber(const char* section, const char* field, long* value) {
    unsigned long number = 0;
    if (!getNumber(section, field, value ? &number : nullptr))
        return 0;
    *value = static_cast<std::int32_t>(static_cast<DWORD>(number));
    return 1;
}

int KYPlatformInfo::getNumber(const char* section, const char* field, int* value) {
    unsigned long number = 0;
    if (!getNumber(section, field, value ? &number : nullptr))
        return 0;
    *value = static_cast<std::int32_t>(static_cast<DWORD>(number));
    return 1;
}

int KYPlatformInfo::setNumber(const char* section, const char* field, unsigned long value) {
    const std::string key = sectionKey(section);
    return setRegInt(key.c_str(), field, value) ? 1 : 0;
}

int KYPlatformInfo::getBoolean(const char* section, const char* field, bool* value) {
    unsigned long number = 0;
    if (!getNumber(section, field, value ? &number : nullptr))
        return 0;
    *value = number != 0;
    return 1;
}

int KYPlatformInfo::setBoolean(const char* section, const char* field, bool value) {
    return setNumber(section, field, value ? 1 : 0);
}

int KYPlatformInfo::getLongLong(const char* section, const char* field, unsigned long long* value) {
    std::string text;
    if (value == nullptr) {
        resetStatus();
        return fail("KYPlatformInfo::getRegStringImpl", "Invalid arguments passed.",
                    ERROR_INVALID_PARAMETER);
    }
    if (!getString(section, field, &text))
        return 0;
    if (!parseLongLong(text, *value)) {
        return fail("KYPlatformInfo::getLongLong",
                    std::string("Field ") + textOrEmpty(field) + " in key " + sectionKey(section) +
                        " is not a number.",
                    ERROR_INVALID_DATA);
    }
    return 1;
}

int KYPlatformInfo::setLongLong(const char* section, const char* field, unsigned long long value) {
    char text[32];
    std::snprintf(text, sizeof text, "%llu", value);
    return setString(section, field, text);
}

int KYPlatformInfo::getMultiString(const char* section, const char* field, char* buf, int* len) {
    static constexpr const char* kFunction = "KYPlatformInfo::getMultiString";
    resetStatus();
    if (buf == nullptr || len == nullptr || *len <= 0)
        return fail(kFunction, "Invalid arguments.", ERROR_INVALID_PARAMETER);
    const std::string key = sectionKey(section);
    unsigned long type = REG_NONE;
    int size = *len;
    const bool ok = getRegValue(key.c_str(), field, &type, buf, size);
    if (!ok && m_regError != -4)
        return 0;
    if (type != REG_MULTI_SZ) {
        return fail(kFunction,
                    std::string("Field ") + field + " in key " + key.c_str() +
                        " is not a REG_MULTI_SZ string.",
                    ERROR_INVALID_DATA);
    }
    if (!ok)
        return 0;
    // The list comes back ending in its empty text, whatever was stored: a reader walking
    // the buffer to the double NUL must not run past it.
    int missing = 0;
    if (size == 0)
        missing = 1;
    else if (buf[size - 1] != '\0')
        missing = 2;
    else if (size >= 2 && buf[size - 2] != '\0')
        missing = 1;
    if (size + missing > *len) {
        m_regError = -4;
        m_lastError = ERROR_MORE_DATA;
        return 0;
    }
    std::memset(buf + size, 0, static_cast<size_t>(missing));
    *len = size + missing;
    return 1;
}

int KYPlatformInfo::setMultiString(const char* section, const char* field, const char* buf,
                                   int len) {
    const std::string key = sectionKey(section);
    return setRegValue(key.c_str(), field, REG_MULTI_SZ, buf, len) ? 1 : 0;
}

int KYPlatformInfo::getDirectory(const char* section, const char* field, char* buf, int* len) {
    static constexpr const char* kFunction = "KYPlatformInfo::getDirectory";
    if (len == nullptr) {
        resetStatus();
        return fail(kFunction, "Invalid arguments.", ERROR_INVALID_PARAMETER);
    }
    const std::string key = sectionKey(section);
    return getRegStringImpl(kFunction, key.c_str(), field, buf, *len, len) ? 1 : 0;
}

int KYPlatformInfo::getDirectory(const char* section, const char* field, std::string* out) {
    return getString(section, field, out);
}

int KYPlatformInfo::setDirectory(const char* section, const char* field, const char* value,
                                 int len) {
    const std::string key = sectionKey(section);
    if (value == nullptr)
        return setRegValue(key.c_str(), field, REG_EXPAND_SZ, value, 0) ? 1 : 0;
    const std::string text(value,
                           len > 0 ? strnlen(value, static_cast<size_t>(len)) : std::strlen(value));
    return setRegValue(key.c_str(), field, REG_EXPAND_SZ, text.c_str(),
                       static_cast<int>(text.size() + 1))
               ? 1
               : 0;
}

int KYPlatformInfo::deleteField(const char* section, const char* field) {
    const std::string key = sectionKey(section);
    return delRegField(key.c_str(), field) ? 1 : 0;
}

int KYPlatformInfo::deleteSection(const char* section) {
    const std::string key = sectionKey(section);
    // "~" alone (however written) is the whole instance: a slip that would delete it is
    // refused here, and a caller that means it says so with delRegKey.
    if (isRootPath(key.substr(1))) {
        resetStatus();
        return fail("KYPlatformInfo::deleteSection", "Invalid arguments.", ERROR_INVALID_PARAMETER);
    }
    return delRegKey(key.c_str()) ? 1 : 0;
}

int KYPlatformInfo::getValue(const std::string& section, const std::string& field,
                             unsigned long& value) {
    return getNumber(section.c_str(), field.c_str(), &value);
}

int KYPlatformInfo::getValue(const std::string& section, const std::string& field,
                             unsigned long long& value) {
    return getLongLong(section.c_str(), field.c_str(), &value);
}

int KYPlatformInfo::getValue(const std::string& section, const std::string& field,
                             std::string& value) {
    return getString(section.c_str(), field.c_str(), &value);
}

int KYPlatformInfo::getValue(const std::string& section, const std::string& field,
                             std::string& value, const char* defaultValue) {
    if (getString(section.c_str(), field.c_str(), &value))
        return 1;
    if (defaultValue == nullptr || (m_regError != -2 && m_regError != -3))
        return 0;
    value = defaultValue;
    return setString(section.c_str(), field.c_str(), defaultValue);
}

int KYPlatformInfo::getValue(const std::string& section, const std::string& field, char* buf,
                             int len) {
    return getString(section.c_str(), field.c_str(), buf, len);
}

int KYPlatformInfo::getValue(const std::string& section, std::list<std::string>& subKeys) {
    return getSubKeys(section.c_str(), &subKeys) ? 1 : 0;
}

int KYPlatformInfo::getValue(const std::string& section, std::vector<std::string>& subKeys) {
    std::list<std::string> names;
    subKeys.clear();
    if (!getSubKeys(section.c_str(), &names))
        return 0;
    subKeys.assign(names.begin(), names.end());
    return 1;
}

int KYPlatformInfo::setValue(const std::string& section, const std::string& field,
                             unsigned long value) {
    return setNumber(section.c_str(), field.c_str(), value);
}

int KYPlatformInfo::setValue(const std::string& section, const std::string& field,
                             unsigned long long value) {
    return setLongLong(section.c_str(), field.c_str(), value);
}

int KYPlatformInfo::setValue(const std::string& section, const std::string& field,
                             const std::string& value) {
    return setString(section.c_str(), field.c_str(), value);
}

int KYPlatformInfo::setValue(const std::string& section, const std::string& field,
                             const char* value, int len) {
    return setString(section.c_str(), field.c_str(), value, len);
}

bool KYPlatformInfo::getSubKeys(const char* section, std::list<std::string>* subKeys) {
    const std::string key = sectionKey(section);
    return getRegSubKeysImpl(key.c_str(), subKeys);
}

int KYPlatformInfo::FromMultiSZStringToSet(const char* buf, int len, std::set<std::string>& out) {
    if (len < 0 || (buf == nullptr && len > 0))
        return 0;
    const auto size = static_cast<size_t>(len);
    size_t offset = 0;
    while (offset < size) {
        const size_t n = strnlen(buf + offset, size - offset);
        if (n == 0)
            break;  // the list's empty terminating text
        out.emplace(buf + offset, n);
        offset += n + 1;
    }
    return 1;
}

int KYPlatformInfo::FromSetToMultiSZString(const std::set<std::string>& texts, char* buf,
                                           int& len) {
    size_t needed = 1;  // the list's final NUL
    for (const std::string& text : texts) {
        const size_t n = std::strlen(text.c_str());
        if (n > 0)
            needed += n + 1;
    }
    if (needed > INT_MAX)
        return 0;
    if (buf == nullptr || len < 0 || needed > static_cast<size_t>(len)) {
        len = static_cast<int>(needed);
        return 0;
    }
    std::memset(buf, 0, static_cast<size_t>(len));
    size_t offset = 0;
    for (const std::string& text : texts) {
        const size_t n = std::strlen(text.c_str());
        if (n == 0)
            continue;  // it would end the list early
        std::memcpy(buf + offset, text.c_str(), n);
        offset += n + 1;
    }
    len = static_cast<int>(offset + 1);
    return 1;
}

// =========================================================================================
// Derived queries.

unsigned long KYPlatformInfo::getKYPlatformType() {
    unsigned long type = 0;
    if (!getNumber("Base", "nPLATTYPE", &type))
        return 0;
    if (type & kPlatformTypeZentra)
        type |= kPlatformTypeZentraCompanion;
    if (type & ~kPlatformTypeValidMask) {
        fail("getKYPlatformType", "Invalid platform type.", ERROR_INVALID_DATA);
        return 0;
    }
    return type;
}

int KYPlatformInfo::isPlatformTypeZS() {
    return (getKYPlatformType() & kPlatformTypeZentra) ? 1 : 0;
}

int KYPlatformInfo::isPlatformTypeMA() {
    return (getKYPlatformType() & kPlatformTypeMediaAgent) ? 1 : 0;
}

int KYPlatformInfo::isPlatformTypeCC() {
    return (getKYPlatformType() & kPlatformTypeClient) ? 1 : 0;
}

const char* KYPlatformInfo::getPlatformTypeName(unsigned long type) {
    switch (type) {
        case kPlatformTypeZentra:
            return "Zentra";
        case kPlatformTypeMediaAgent:
            return "MediaAgent";
        case kPlatformTypeClient:
            return "zOvivEruva";
        default:
            return "UnKnown";
    }
}

int KYPlatformInfo::GetLanguageID() {
    int id = 0;
    return getNumber("Base", "nLanguageID", &id) ? id : -1;
}

int KYPlatformInfo::getProductVersion(std::string& version) {
    return getString(nullptr, "sProductVersion", &version);
}

std::string KYPlatformInfo::getComputeID() {
    std::string id;
    if (!getString(nullptr, "sComputeID", &id))
        id.clear();
    return id;
}

bool KYPlatformInfo::isScaleCompute() {
    return !getComputeID().empty();
}

bool KYPlatformInfo::IsAVXEnabled() {
#if defined(__x86_64__) || defined(__i386__)
    // Also false when the operating system does not save the AVX registers.
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx");
#else
    return false;
#endif
}

const char* KYPlatformInfo::getPhysicalMachine() {
    if (!m_physicalMachine.empty())
        return m_physicalMachine.c_str();
    const unsigned long type = getKYPlatformType();
    std::string name;
    bool ok;
    if (type & kPlatformTypeZentra)
        ok = getString("Zentra", "sZSCLIENTNAME", &name);
    else if (type & kPlatformTypeGateway)
        ok = getString("CommNet", "sHNETNAME", &name);
    else
        ok = getString(nullptr, "sPhysicalNodeName", &name);
    if (ok)
        m_physicalMachine = name;
    return m_physicalMachine.c_str();
}

int KYPlatformInfo::getIdentifiedSystemName(unsigned long role, char* buf, int len,
                                            const char* section, const char* field,
                                            const char* fallbackSection, const char* fallbackField,
                                            const std::string& remoteDomain) {
    static constexpr const char* kFunction = "KYPlatformInfo::getIdentifiedSystemName";
    resetStatus();
    if (buf == nullptr || len < kMinNameBuffer)
        return fail(kFunction, "Invalid buffer passed as input.", ERROR_INVALID_PARAMETER);
    if (!(getKYPlatformType() & role))
        return fail(kFunction, "Invalid platform type.", ERROR_INVALID_DATA);
    const std::string below =
        remoteDomain.empty() ? std::string() : kRemoteZentras + ("\\" + remoteDomain + "\\");
    if (getString((below + section).c_str(), field, buf, len))
        return 1;
    if (std::strcmp(section, fallbackSection) == 0 && std::strcmp(field, fallbackField) == 0)
        return 0;
    return getString((below + fallbackSection).c_str(), fallbackField, buf, len);
}

int KYPlatformInfo::getZentraHostName(char* buf, int len) {
    return getZentraHostName(buf, len, std::string());
}
int KYPlatformInfo::getZentraHostName(char* buf, int len, std::string remoteDomain) {
    return getIdentifiedSystemName(kPlatformTypeZentra, buf, len, "Zentra", "sZSHOSTNAME", "Zentra",
                                   "sZSHOSTNAME", remoteDomain);
}
int KYPlatformInfo::getZentraClientName(char* buf, int len) {
    return getZentraClientName(buf, len, std::string());
}
int KYPlatformInfo::getZentraClientName(char* buf, int len, std::string remoteDomain) {
    return getIdentifiedSystemName(kPlatformTypeZentra, buf, len, "Zentra", "sZSCLIENTNAME",
                                   "Zentra", "sZSCLIENTNAME", remoteDomain);
}
int KYPlatformInfo::getZentraDisplayName(char* buf, int len) {
    return getZentraDisplayName(buf, len, std::string());
}
int KYPlatformInfo::getZentraDisplayName(char* buf, int len, std::string remoteDomain) {
    return getIdentifiedSystemName(kPlatformTypeZentra, buf, len, "Zentra", "sZSDISPLAYNAME",
                                   "Zentra", "sZSDISPLAYNAME", remoteDomain);
}
int KYPlatformInfo::getCommClientZSHostName(char* buf, int len) {
    return getCommClientZSHostName(buf, len, std::string());
}
int KYPlatformInfo::getCommClientZSHostName(char* buf, int len, std::string remoteDomain) {
    return getIdentifiedSystemName(kPlatformTypeClient, buf, len, "zOvivEruva", "sZSHOSTNAME",
                                   "Zentra", "sZSHOSTNAME", remoteDomain);
}
int KYPlatformInfo::getCommClientZSClientName(char* buf, int len) {
    return getCommClientZSClientName(buf, len, std::string());
}
int KYPlatformInfo::getCommClientZSClientName(char* buf, int len, std::string remoteDomain) {
    return getIdentifiedSystemName(kPlatformTypeClient, buf, len, "zOvivEruva", "sZSCLIENTNAME",
                                   "Zentra", "sZSCLIENTNAME", remoteDomain);
}
int KYPlatformInfo::getMediaAgentZSHostName(char* buf, int len) {
    return getMediaAgentZSHostName(buf, len, std::string());
}
int KYPlatformInfo::getMediaAgentZSHostName(char* buf, int len, std::string remoteDomain) {
    return getIdentifiedSystemName(kPlatformTypeMediaAgent, buf, len, "MediaAgent", "sZSHOSTNAME",
                                   "Zentra", "sZSHOSTNAME", remoteDomain);
}
int KYPlatformInfo::getMediaAgentZSClientName(char* buf, int len) {
    return getMediaAgentZSClientName(buf, len, std::string());
}
int KYPlatformInfo::getMediaAgentZSClientName(char* buf, int len, std::string remoteDomain) {
    return getIdentifiedSystemName(kPlatformTypeMediaAgent, buf, len, "MediaAgent", "sZSCLIENTNAME",
                                   "Zentra", "sZSCLIENTNAME", remoteDomain);
}

int KYPlatformInfo::findZentraName(const char* function, const char* field, char* buf, int len,
                                   const std::string& remoteDomain) {
    const unsigned long type = getKYPlatformType();
    const char* section = nullptr;
    unsigned long role = 0;
    if (type & kPlatformTypeZentra) {
        role = kPlatformTypeZentra;
        section = "Zentra";
    } else if (type & kPlatformTypeMediaAgent) {
        role = kPlatformTypeMediaAgent;
        section = "MediaAgent";
    } else if (type & kPlatformTypeClient) {
        role = kPlatformTypeClient;
        section = "zOvivEruva";
    } else {
        resetStatus();
        return fail(function, "Invalid platform type.", ERROR_INVALID_DATA);
    }
    return getIdentifiedSystemName(role, buf, len, section, field, "Zentra", field, remoteDomain);
}

int KYPlatformInfo::findZentraHostName(char* buf, int len) {
    return findZentraHostName(buf, len, std::string());
}
int KYPlatformInfo::findZentraHostName(char* buf, int len, std::string remoteDomain) {
    return findZentraName("KYPlatformInfo::findZentraHostName", "sZSHOSTNAME", buf, len,
                          remoteDomain);
}
int KYPlatformInfo::findZentraClientName(char* buf, int len) {
    return findZentraClientName(buf, len, std::string());
}
int KYPlatformInfo::findZentraClientName(char* buf, int len, std::string remoteDomain) {
    return findZentraName("KYPlatformInfo::findZentraClientName", "sZSCLIENTNAME", buf, len,
                          remoteDomain);
}

int KYPlatformInfo::findZentraHostNameMangled(char* buf, int len) {
    static constexpr const char* kFunction = "KYPlatformInfo::findZentraHostNameMangled";
    char host[kMinNameBuffer * 4];
    char client[kMinNameBuffer * 4];
    if (buf == nullptr || len <= 0) {
        resetStatus();
        return fail(kFunction, "Invalid buffer passed as input.", ERROR_INVALID_PARAMETER);
    }
    if (!findZentraHostName(host, sizeof host) || !findZentraClientName(client, sizeof client))
        return 0;
    if (!copyOut(mangleHostName(host, client), buf, len))
        return fail(kFunction, "Too small buffer passed as input.", ERROR_INSUFFICIENT_BUFFER);
    return 1;
}

int KYPlatformInfo::findZentraGUID(std::string& guid) {
    return getString("Zentra", "sZSGUID", &guid);
}

int KYPlatformInfo::getClientList(std::list<std::string>& clients) {
    return getRegSubKeysImpl("~Machines", &clients) ? 1 : 0;
}

int KYPlatformInfo::getActiveClientList(std::list<std::string>& clients) {
    if (!getClientList(clients))
        return 0;
    clients.remove_if(
        [this](const std::string& client) { return !isClusterGroupClientActive(client.c_str()); });
    resetStatus();
    return 1;
}

int KYPlatformInfo::getClientHostName(const char* client, std::string& host) {
    if (KYPI_Focus::getProductType() == KELBRIN_PRODUCT_TYPE_NETWORK_GATEWAY)
        return getString("CommNet", "sHNETHOSTNAME", &host);
    if (!isKeyNamePart(client)) {
        resetStatus();
        return fail("KYPlatformInfo::getClientHostName", "Invalid arguments.",
                    ERROR_INVALID_PARAMETER);
    }
    return getString((std::string("Machines\\") + client).c_str(), "sHOSTNAME", &host);
}

int KYPlatformInfo::getClientHostName(const char* client, char* buf, int len) {
    static constexpr const char* kFunction = "KYPlatformInfo::getClientHostName";
    if (buf == nullptr) {
        resetStatus();
        return fail(kFunction, "Invalid buffer passed as input.", ERROR_INVALID_PARAMETER);
    }
    std::string host;
    if (!getClientHostName(client, host))
        return 0;
    if (!copyOut(host, buf, len))
        return fail(kFunction, "Too small buffer passed as input.", ERROR_INSUFFICIENT_BUFFER);
    return 1;
}

int KYPlatformInfo::getClientHostNameMangled(const char* client, std::string& mangled) {
    std::string host;
    if (!getClientHostName(client, host))
        return 0;
    mangled = mangleHostName(host, textOrEmpty(client));
    return 1;
}

int KYPlatformInfo::setClientHostName(const char* client, const char* host) {
    if (!isKeyNamePart(client)) {
        resetStatus();
        return fail("KYPlatformInfo::setRegValue", "Invalid arguments.", ERROR_INVALID_PARAMETER);
    }
    return setString((std::string("Machines\\") + client).c_str(), "sHOSTNAME", host);
}

int KYPlatformInfo::getClientGUID(const char* client, std::string& guid) {
    if (!isKeyNamePart(client)) {
        resetStatus();
        return fail("KYPlatformInfo::getRegStringImpl", "Invalid arguments passed.",
                    ERROR_INVALID_PARAMETER);
    }
    return getString((std::string("Machines\\") + client).c_str(), "sGUID", &guid);
}

int KYPlatformInfo::getClientNameFromHostName(const char* host, std::string& client) {
    if (isEmpty(host)) {
        resetStatus();
        return fail("KYPlatformInfo::getClientNameFromHostName", "Invalid arguments.",
                    ERROR_INVALID_PARAMETER);
    }
    std::list<std::string> clients;
    if (!getClientList(clients))
        return 0;
    for (const std::string& name : clients) {
        std::string clientHost;
        if (getClientHostName(name.c_str(), clientHost) && equalsIgnoreCase(clientHost, host)) {
            client = name;
            resetStatus();
            return 1;
        }
    }
    resetStatus();
    m_lastError = ERROR_NOT_FOUND;
    return 0;
}

int KYPlatformInfo::renameClientName(const char* oldName, const char* newName) {
    if (!isKeyNamePart(oldName) || !isKeyNamePart(newName)) {
        resetStatus();
        return fail("KYPlatformInfo::renameRegKey", "Invalid arguments.", ERROR_INVALID_PARAMETER);
    }
    return renameRegKey(std::string("~Machines\\") + oldName, std::string("~Machines\\") + newName)
               ? 1
               : 0;
}

int KYPlatformInfo::isClusterGroupClient(const char* client) {
    if (isEmpty(client))
        return 0;
    std::string node;
    // Without the node's name nothing tells the client apart from the machine.
    if (!getString(nullptr, "sPhysicalNodeName", &node) || node.empty())
        return 0;
    return equalsIgnoreCase(node, client) ? 0 : 1;
}

int KYPlatformInfo::isClusterGroupClientActive(const char* client) {
    if (!isKeyNamePart(client))
        return 0;
    if (!isClusterGroupClient(client))
        return 1;
    std::string node, groupNode;
    if (!getString(nullptr, "sPhysicalNodeName", &node) ||
        !getString((std::string("Machines\\") + client).c_str(), "sPhysicalNodeName", &groupNode)) {
        return 0;
    }
    return equalsIgnoreCase(groupNode, node.c_str()) ? 1 : 0;
}

int KYPlatformInfo::IsFeatureEnabled(const char* name) {
    unsigned long value = 0;
    if (isEmpty(name))
        return 0;
    return getNumber("Features", name, &value) && value != 0 ? 1 : 0;
}

int KYPlatformInfo::getAppDebugLevel(const char* app) {
    if (app == nullptr)
        return -1;
    std::string name(app, strnlen(app, kMaxAppNameLength));
    name += "_DEBUGLEVEL";
    for (char& c : name) {
        if (std::isspace(static_cast<unsigned char>(c)))
            c = '_';
    }
    int level = 0;
    if (!getNumber("EventManager", name.c_str(), &level) || level == 0)
        return -1;
    return level;
}

KYPI_LaptopBackupMode KYPlatformInfo::getLaptopBackupMode() {
    unsigned long mode = 0;
    if (!getNumber("MediaAgent", "LaptopBackupMode", &mode) || mode > KYPI_LAPTOP_BACKUP_CLOUD)
        mode = KYPI_LAPTOP_BACKUP_NONE;
    if (mode != KYPI_LAPTOP_BACKUP_NONE && !m_bScheduleLoaded.exchange(true)) {
        if (auto writer = laptopModeWriter()) {
            writer->LogMessage(kLaptopModeLogLevel, "KYPlatformInfo::getLaptopBackupMode", __LINE__,
                               0, 0, 0,
                               "LaptopBackupMode MODE is %lu. Set m_bScheduleLoaded to true", mode);
        }
    }
    return static_cast<KYPI_LaptopBackupMode>(mode);
}

int KYPlatformInfo::setLaptopBackupMode(KYPI_LaptopBackupMode mode) {
    static constexpr const char* kFunction = "KYPlatformInfo::setLaptopBackupMode";
    if (auto writer = laptopModeWriter()) {
        writer->LogMessage(kLaptopModeLogLevel, kFunction, __LINE__, 0, 0, 0,
                           "SET LaptopBackupMode MODE TO %d", static_cast<int>(mode));
    }
    if (!setNumber("MediaAgent", "LaptopBackupMode", static_cast<unsigned long>(mode)))
        return 0;
    if (auto writer = laptopModeWriter()) {
        writer->LogMessage(kLaptopModeLogLevel, kFunction, __LINE__, 0, 0, 0,
                           "LaptopBackupMode MODE is %d. Set m_bScheduleLoaded to false",
                           static_cast<int>(mode));
    }
    m_bScheduleLoaded = false;
    // The cached answer was about the mode just replaced.
    m_iCloudLaptopClient = -1;
    return 1;
}

namespace {
bool laptopBackupSuspended(KYPlatformInfo& store) {
    unsigned long suspended = 0;
    return store.getNumber("MediaAgent", "LaptopBackupSuspend", &suspended) && suspended != 0;
}
}  // namespace

bool KYPlatformInfo::IsClassicLaptopJobAllowed() {
    return getLaptopBackupMode() == KYPI_LAPTOP_BACKUP_CLASSIC && !laptopBackupSuspended(*this);
}

bool KYPlatformInfo::IsCloudLaptopJobAllowed() {
    return getLaptopBackupMode() == KYPI_LAPTOP_BACKUP_CLOUD && !laptopBackupSuspended(*this);
}

bool KYPlatformInfo::IsCloudLaptopClient() {
    int cached = m_iCloudLaptopClient.load();
    if (cached < 0) {
        cached = getLaptopBackupMode() == KYPI_LAPTOP_BACKUP_CLOUD ? 1 : 0;
        m_iCloudLaptopClient = cached;
    }
    return cached != 0;
}

bool KYPlatformInfo::RefreshIsCloudLaptopClient() {
    m_iCloudLaptopClient = -1;
    return IsCloudLaptopClient();
}

bool KYPlatformInfo::IsThisPackageInstalled(int package) {
    std::string state;
    const std::string section = "InstalledPackages\\" + std::to_string(package);
    return getString(section.c_str(), "sInstallState", &state) && state == "Installed";
}

bool KYPlatformInfo::IsCoreMAInstalled() {
    return IsThisPackageInstalled(54);
}

bool KYPlatformInfo::IsFullMAInstalled() {
    return IsThisPackageInstalled(51);
}

bool KYPlatformInfo::IsAppMgrLiteNode() {
    return !(getKYPlatformType() & kPlatformTypeZentra) && IsThisPackageInstalled(25);
}

int KYPlatformInfo::GetListOfInstalledPackages(std::vector<int>& packages) {
    packages.clear();
    std::list<std::string> keys;
    if (!getRegSubKeysImpl("~InstalledPackages", &keys))
        return 0;
    for (const std::string& name : keys) {
        // Package keys are decimal numbers; anything else is not a package.
        if (name.empty() || name.size() > 9 ||
            name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const int package = std::atoi(name.c_str());
        if (IsThisPackageInstalled(package))
            packages.push_back(package);
    }
    std::sort(packages.begin(), packages.end());
    resetStatus();
    return 1;
}

int KYPlatformInfo::GetListOfInstalledPackagesOnVM(const char* vm, std::vector<int>& packages) {
    if (isEmpty(vm))
        return GetListOfInstalledPackages(packages);
    packages.clear();
    char instance[kMinNameBuffer];
    if (!GetInstanceNameFromHostName(vm, instance, sizeof instance))
        return 0;
    KYPlatformInfo other(*this);
    other.setFocus(instance);
    const int ok = other.GetListOfInstalledPackages(packages);
    m_regError = other.m_regError;
    m_lastError = other.m_lastError;
    if (!ok)
        m_lastErrorMsg = other.m_lastErrorMsg;
    return ok;
}

// =========================================================================================
// The instance of a host.

int KYPlatformInfo::chooseInstance(const char* function, const std::string& match, char* instance,
                                   int len) {
    if (match.empty())
        return fail(function, "Instance match not found.", ERROR_NOT_FOUND);
    if (!copyOut(match, instance, len))
        return fail(function, "Instance buffer size insufficient.", ERROR_INSUFFICIENT_BUFFER);
    resetStatus();
    return 1;
}

int KYPlatformInfo::GetInstanceNameFromHostName(const char* host, char* instance, int len) {
    static constexpr const char* kFunction = "KYPlatformInfo::GetInstanceNameFromHostName";
    resetStatus();
    if (isEmpty(host) || instance == nullptr || len <= 0)
        return fail(kFunction, "Invalid argument.", ERROR_INVALID_PARAMETER);
    std::vector<std::string> instances;
    if (!listInstances(kProductRoot + m_productName, instances))
        return fail(kFunction, "Failed to retrieve instance list.", ERROR_NOT_FOUND);
    if (instances.empty())
        return fail(kFunction, "Instance list empty.", ERROR_NOT_FOUND);
    std::string match;
    for (const std::string& name : instances) {
        KYPlatformInfo store(*this);
        store.setFocus(name.c_str());
        std::list<std::string> clients;
        if (!store.getClientList(clients) || clients.empty()) {
            logError(kFunction, ("Client list empty for instance: " + name).c_str());
            continue;
        }
        for (const std::string& client : clients) {
            std::string clientHost;
            if (!store.getClientHostName(client.c_str(), clientHost)) {
                logError(kFunction, ("Failed to retrieve hostname for client: " + client).c_str());
                continue;
            }
            if (!equalsIgnoreCase(clientHost, host))
                continue;
            if (!match.empty()) {
                return fail(kFunction, "More than one instance contain the same host name.",
                            ERROR_INVALID_DATA);
            }
            match = name;
            break;
        }
    }
    return chooseInstance(kFunction, match, instance, len);
}

int KYPlatformInfo::GetInstanceNameFromHostNameForSarvex(const char* host, char* instance,
                                                         int len) {
    static constexpr const char* kFunction = "KYPlatformInfo::GetInstanceNameFromHostNameForSarvex";
    resetStatus();
    if (isEmpty(host) || instance == nullptr || len <= 0)
        return fail(kFunction, "Invalid argument.", ERROR_INVALID_PARAMETER);
    std::vector<std::string> instances;
    if (!listInstances(kSarvexRoot, instances))
        return fail(kFunction, "Failed to retrieve instance list.", ERROR_NOT_FOUND);
    if (instances.empty())
        return fail(kFunction, "Instance list empty.", ERROR_NOT_FOUND);
    std::string match;
    for (const std::string& name : instances) {
        const std::string machines = std::string(kSarvexRoot) + "\\" + name + "\\Machines";
        std::list<std::string> clients;
        if (!getRegSubKeysImpl(machines.c_str(), &clients) || clients.empty()) {
            logError(kFunction, ("Client list empty for instance: " + name).c_str());
            continue;
        }
        for (const std::string& client : clients) {
            std::string clientHost;
            if (!getRegStringImpl((machines + "\\" + client).c_str(), "sHOSTNAME", &clientHost)) {
                logError(kFunction, ("Failed to retrieve hostname for client: " + client).c_str());
                continue;
            }
            if (!equalsIgnoreCase(clientHost, host))
                continue;
            if (!match.empty()) {
                return fail(kFunction, "More than one instance contain the same host name.",
                            ERROR_INVALID_DATA);
            }
            match = name;
            break;
        }
    }
    return chooseInstance(kFunction, match, instance, len);
}

int KYPlatformInfo::GetInstanceNameFromClinetAndZSHostNameForSarvex(const char* client,
                                                                    const char* zentraHost,
                                                                    char* instance, int len) {
    static constexpr const char* kFunction =
        "KYPlatformInfo::GetInstanceNameFromClinetAndZSHostNameForSarvex";
    resetStatus();
    if (isEmpty(client) || isEmpty(zentraHost) || instance == nullptr || len <= 0)
        return fail(kFunction, "Invalid argument.", ERROR_INVALID_PARAMETER);
    std::vector<std::string> instances;
    if (!listInstances(kSarvexRoot, instances))
        return fail(kFunction, "Failed to retrieve instance list.", ERROR_NOT_FOUND);
    if (instances.empty())
        return fail(kFunction, "Instance list empty.", ERROR_NOT_FOUND);
    std::string match;
    for (const std::string& name : instances) {
        const std::string root = std::string(kSarvexRoot) + "\\" + name;
        std::string zsHost;
        if (!getRegStringImpl((root + "\\Zentra").c_str(), "sZSHOSTNAME", &zsHost) ||
            zsHost.empty()) {
            logError(kFunction, ("ZSHostName is empty for instance: " + name).c_str());
            continue;
        }
        if (!equalsIgnoreCase(zsHost, zentraHost))
            continue;
        std::list<std::string> clients;
        if (!getRegSubKeysImpl((root + "\\Machines").c_str(), &clients) || clients.empty()) {
            logError(kFunction, ("Client list empty for instance: " + name).c_str());
            continue;
        }
        const bool hosted = std::any_of(clients.begin(), clients.end(), [&](const std::string& c) {
            return equalsIgnoreCase(c, client);
        });
        if (!hosted)
            continue;
        if (!match.empty()) {
            return fail(kFunction, "More than one instance contain the same host name.",
                        ERROR_INVALID_DATA);
        }
        match = name;
    }
    return chooseInstance(kFunction, match, instance, len);
}

// =========================================================================================
// Cache database root.

namespace {

// The folder `base` with "KY_CLDB" in it. A folder of this machine's file system, so
// joined with the native separator; one already ending the text is not doubled.
std::string cacheDatabaseFolder(std::string base) {
    if (base.empty() || (base.back() != '/' && base.back() != '\\'))
        base += '/';
    return base + "KY_CLDB";
}

}  // namespace

int KYPlatformInfo::GetCLDBRootFolder(const char* client, std::string& out) {
    static constexpr const char* kFunction = "KYPlatformInfo::GetCLDBRootFolder";
    out.clear();
    KYPI_CommClient commClient;
    commClient.setFocus(KYPI_Focus::getFocus());
    const std::string root = commClient.getCacheDBRootFolder();
    if (!root.empty()) {
        out = cacheDatabaseFolder(root);
        return 0;
    }
    std::string jobResults;
    if (commClient.getJobResultsDirectory(client, jobResults)) {
        out = cacheDatabaseFolder(jobResults);
        logError(kFunction, ("GetJob Results Directory returned. " + out).c_str());
        return 0;
    }
    logError(kFunction,
             (std::string("Error getJobResultsDirectory Failed. ") + textOrEmpty(client)).c_str());
    m_regError = -1;
    m_lastError = static_cast<DWORD>(commClient.getLastError());
    return -1;
}
