// kybasic reg: the administrator's view of the registry store, with the verbs, switches,
// messages and exit codes that administrators know from the Windows reg command.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string_view>
#include <utility>

#include "os/LastError.h"
#include "os/registry/Registry.h"
#include "tools/kybasic/Commands.h"
#include "tools/kybasic/RegFile.h"

namespace kybasic {
namespace {

namespace reg = kyos::reg;

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;

constexpr char kSuccessText[] = "The operation completed successfully.";
constexpr char kNotFoundText[] =
    "The system was unable to find the specified registry key or value.";
constexpr char kCanceledText[] = "The operation was canceled by the user.";
constexpr char kDefaultValueName[] = "(Default)";
constexpr char kColumn[] = "    ";
constexpr char kMultiSzSeparator[] = "\\0";

// A value that grows between the size query and the read is read again, a few times.
constexpr int kMaxReadAttempts = 8;

constexpr char kUsage[] =
    "usage: kybasic reg VERB ARGUMENTS\n"
    "\n"
    "  query  KEY [/v NAME | /ve] [/s]\n"
    "  add    KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
    "  delete KEY [/v NAME | /ve | /va] [/f]\n"
    "  copy   FROM TO [/s] [/f]\n"
    "  export KEY FILE [/y]\n"
    "  import FILE\n"
    "\n"
    "KEY is ROOT\\path, ROOT one of HKLM, HKU, HKCU, HKCR (or HKEY_LOCAL_MACHINE,\n"
    "HKEY_USERS, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT).\n"
    "TYPE is REG_SZ (the default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD,\n"
    "REG_BINARY or REG_NONE. REG_MULTI_SZ data separates its texts with \\0, or with\n"
    "the one character given by /s; numbers are decimal or 0x hex; REG_BINARY and\n"
    "REG_NONE data are hex digits.\n"
    "/f and /y answer Yes to every question.\n";

struct Io {
    std::istream& in;
    std::ostream& out;
    std::ostream& err;
};

// ---- Results and questions ----------------------------------------------------------

int fail(Io& io, const std::string& message) {
    io.err << "ERROR: " << message << "\n";
    return kExitFailure;
}

std::string storeMessage(DWORD code) {
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
        return kNotFoundText;
    return kyos::win32MessageText(code);
}

int failStore(Io& io, DWORD code) {
    return fail(io, storeMessage(code));
}

int succeed(Io& io) {
    io.out << kSuccessText << "\n";
    return kExitSuccess;
}

// A question the user declined, or one nobody was there to answer, did nothing: that is
// reported as a failure so that a script without a terminal does not take it for done.
int cancel(Io& io) {
    io.out << kCanceledText << "\n";
    return kExitFailure;
}

std::string lowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

// Asks until the answer is yes or no; the end of the input answers no.
bool confirm(Io& io, const std::string& question) {
    for (;;) {
        io.out << question << " " << std::flush;
        std::string answer;
        if (!std::getline(io.in, answer)) {
            io.out << "\n";
            return false;
        }
        std::string word = lowerAscii(trimmed(answer));
        if (word == "y" || word == "yes")
            return true;
        if (word == "n" || word == "no")
            return false;
    }
}

std::string shownValueName(std::string_view name) {
    return name.empty() ? std::string(kDefaultValueName) : std::string(name);
}

// ---- Arguments ----------------------------------------------------------------------

struct SwitchSpec {
    std::string_view name;  // without its "/"
    bool takesArgument;
};

struct Arguments {
    std::vector<std::string> positional;
    std::vector<std::pair<std::string_view, std::string>> switches;

    bool has(std::string_view name) const { return find(name) != nullptr; }
    const std::string* find(std::string_view name) const {
        for (const auto& s : switches) {
            if (s.first == name)
                return &s.second;
        }
        return nullptr;
    }
};

struct Verb {
    std::string_view name;
    std::vector<SwitchSpec> switches;
    std::vector<std::string_view> operands;
    int (*run)(const Arguments&, Io&);
};

int syntaxError(Io& io, std::string_view verb, const std::string& detail) {
    io.err << "ERROR: Invalid syntax. " << detail << "\n"
           << "Type \"kybasic reg " << verb << " /?\" for usage.\n";
    return kExitFailure;
}

// Switches are recognised by their exact names only, so that an absolute path such as
// "/tmp/x.reg" stays an operand.
bool parseArguments(Io& io, const Verb& verb, const std::vector<std::string>& args,
                    Arguments* parsed) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const SwitchSpec* spec = nullptr;
        if (arg.size() > 1 && (arg[0] == '/' || arg[0] == '-')) {
            std::string name = lowerAscii(std::string_view(arg).substr(1));
            for (const SwitchSpec& s : verb.switches) {
                if (s.name == name)
                    spec = &s;
            }
        }
        if (spec == nullptr) {
            if (parsed->positional.size() == verb.operands.size()) {
                syntaxError(io, verb.name, "Unexpected argument '" + arg + "'.");
                return false;
            }
            parsed->positional.push_back(arg);
            continue;
        }
        if (parsed->has(spec->name)) {
            syntaxError(io, verb.name, "/" + std::string(spec->name) + " is given twice.");
            return false;
        }
        std::string argument;
        if (spec->takesArgument) {
            if (i + 1 >= args.size()) {
                syntaxError(io, verb.name, "/" + std::string(spec->name) + " needs a value.");
                return false;
            }
            argument = args[++i];
        }
        parsed->switches.emplace_back(spec->name, std::move(argument));
    }
    if (parsed->positional.size() < verb.operands.size()) {
        syntaxError(io, verb.name,
                    std::string(verb.operands[parsed->positional.size()]) + " is missing.");
        return false;
    }
    return true;
}

bool parseKeyArgument(Io& io, const std::string& text, RegKeyName* key) {
    std::string reason;
    if (parseKeyName(text, key, &reason))
        return true;
    reason[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(reason[0])));
    fail(io, reason + ".");
    return false;
}

// ---- Store access -------------------------------------------------------------------

// Owns an open key; closing a predefined root is a no-op for the store.
class ScopedKey {
public:
    ScopedKey() = default;
    ScopedKey(ScopedKey&& other) noexcept : key_(std::exchange(other.key_, nullptr)) {}
    ScopedKey& operator=(ScopedKey&& other) noexcept {
        if (this != &other) {
            reset();
            key_ = std::exchange(other.key_, nullptr);
        }
        return *this;
    }
    ScopedKey(const ScopedKey&) = delete;
    ScopedKey& operator=(const ScopedKey&) = delete;
    ~ScopedKey() { reset(); }

    HKEY get() const { return key_; }
    HKEY* receive() {
        reset();
        return &key_;
    }
    void reset() {
        if (key_ != nullptr)
            reg::closeKey(key_);
        key_ = nullptr;
    }

private:
    HKEY key_ = nullptr;
};

// A root is used through its predefined handle, which is always open.
DWORD openKey(const RegKeyName& name, REGSAM access, ScopedKey* key) {
    if (name.path.empty()) {
        *key->receive() = rootKey(name.root);
        return ERROR_SUCCESS;
    }
    return reg::openKey(rootKey(name.root), name.path, 0, access, key->receive());
}

DWORD createKey(const RegKeyName& name, ScopedKey* key) {
    if (name.path.empty())
        return openKey(name, KEY_ALL_ACCESS, key);
    return reg::createKey(rootKey(name.root), name.path, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                          key->receive(), nullptr);
}

DWORD setValue(HKEY key, const RegValue& value) {
    if (value.data.size() > 0xFFFFFFFFu)
        return ERROR_INVALID_PARAMETER;
    return reg::setValue(key, value.name, value.type, value.data.data(),
                         static_cast<DWORD>(value.data.size()));
}

DWORD readValue(HKEY key, std::string_view name, RegValue* value) {
    for (int attempt = 0; attempt < kMaxReadAttempts; ++attempt) {
        DWORD type = REG_NONE;
        DWORD size = 0;
        DWORD rc = reg::queryValue(key, name, &type, nullptr, &size);
        if (rc != ERROR_SUCCESS)
            return rc;
        value->name = std::string(name);
        value->type = type;
        value->data.assign(size, '\0');
        if (size == 0)
            return ERROR_SUCCESS;
        rc = reg::queryValue(key, name, &type, value->data.data(), &size);
        if (rc == ERROR_MORE_DATA)
            continue;
        if (rc != ERROR_SUCCESS)
            return rc;
        value->type = type;
        value->data.resize(size);
        return ERROR_SUCCESS;
    }
    return ERROR_MORE_DATA;
}

DWORD readValueAt(HKEY key, DWORD index, RegValue* value) {
    for (int attempt = 0; attempt < kMaxReadAttempts; ++attempt) {
        DWORD type = REG_NONE;
        DWORD size = 0;
        DWORD rc = reg::enumValue(key, index, &value->name, &type, nullptr, &size);
        if (rc != ERROR_SUCCESS)
            return rc;
        value->type = type;
        value->data.assign(size, '\0');
        if (size == 0)
            return ERROR_SUCCESS;
        rc = reg::enumValue(key, index, &value->name, &type, value->data.data(), &size);
        if (rc == ERROR_MORE_DATA)
            continue;
        if (rc != ERROR_SUCCESS)
            return rc;
        value->type = type;
        value->data.resize(size);
        return ERROR_SUCCESS;
    }
    return ERROR_MORE_DATA;
}

DWORD readValues(HKEY key, std::vector<RegValue>* values) {
    values->clear();
    for (DWORD index = 0;; ++index) {
        RegValue value;
        DWORD rc = readValueAt(key, index, &value);
        if (rc == ERROR_NO_MORE_ITEMS)
            return ERROR_SUCCESS;
        if (rc != ERROR_SUCCESS)
            return rc;
        values->push_back(std::move(value));
    }
}

DWORD readSubKeyNames(HKEY key, std::vector<std::string>* names) {
    names->clear();
    for (DWORD index = 0;; ++index) {
        std::string name;
        DWORD rc = reg::enumKey(key, index, &name);
        if (rc == ERROR_NO_MORE_ITEMS)
            return ERROR_SUCCESS;
        if (rc != ERROR_SUCCESS)
            return rc;
        names->push_back(std::move(name));
    }
}

std::vector<std::string_view> splitPath(std::string_view path) {
    std::vector<std::string_view> parts;
    while (!path.empty()) {
        size_t end = path.find_first_of("\\/");
        if (end != 0)
            parts.push_back(path.substr(0, end));
        if (end == std::string_view::npos)
            break;
        path.remove_prefix(end + 1);
    }
    return parts;
}

// The key's long name in the letter case it was created with (what keyPath gives),
// whatever case the administrator typed. keyPath names HKEY_CURRENT_USER and
// HKEY_CLASSES_ROOT keys below the roots they live in, so only as many trailing parts
// as the typed name has are kept.
std::string storedKeyName(HKEY key, const RegKeyName& name) {
    std::string stored;
    if (reg::keyPath(key, &stored) != ERROR_SUCCESS)
        return fullKeyName(name);
    size_t wanted = splitPath(name.path).size();
    std::vector<std::string_view> parts = splitPath(stored);
    if (parts.size() < wanted)
        return fullKeyName(name);
    std::string result = rootName(name.root);
    for (size_t i = parts.size() - wanted; i < parts.size(); ++i) {
        result += '\\';
        result += parts[i];
    }
    return result;
}

std::string joinPath(std::string_view base, std::string_view child) {
    if (base.empty())
        return std::string(child);
    if (child.empty())
        return std::string(base);
    return std::string(base) + "\\" + std::string(child);
}

// Visits `top` and every key below it, parents before children and siblings in the
// store's order; visit(key, fullName, pathBelowTop) returns non-zero to stop. The walk
// keeps its own stack, so that a deep tree cannot exhaust the thread's.
template <class Visit>
DWORD walkTree(HKEY top, const std::string& topName, Visit visit) {
    DWORD rc = visit(top, topName, std::string());
    if (rc != ERROR_SUCCESS)
        return rc;
    struct Frame {
        ScopedKey owned;
        HKEY key;
        std::string name;
        std::string relative;
        DWORD next = 0;
    };
    std::vector<Frame> stack;
    stack.push_back(Frame{ScopedKey(), top, topName, std::string()});
    while (!stack.empty()) {
        std::string child;
        rc = reg::enumKey(stack.back().key, stack.back().next++, &child);
        if (rc == ERROR_NO_MORE_ITEMS) {
            stack.pop_back();
            continue;
        }
        if (rc != ERROR_SUCCESS)
            return rc;
        ScopedKey sub;
        rc = reg::openKey(stack.back().key, child, 0, KEY_READ, sub.receive());
        if (rc == ERROR_FILE_NOT_FOUND)
            continue;  // deleted while we walk
        if (rc != ERROR_SUCCESS)
            return rc;
        std::string name = stack.back().name + "\\" + child;
        std::string relative = joinPath(stack.back().relative, child);
        rc = visit(sub.get(), name, relative);
        if (rc != ERROR_SUCCESS)
            return rc;
        HKEY handle = sub.get();
        stack.push_back(Frame{std::move(sub), handle, std::move(name), std::move(relative)});
    }
    return ERROR_SUCCESS;
}

// ---- Showing values ------------------------------------------------------------------

const char* typeName(DWORD type) {
    switch (type) {
        case REG_NONE:
            return "REG_NONE";
        case REG_SZ:
            return "REG_SZ";
        case REG_EXPAND_SZ:
            return "REG_EXPAND_SZ";
        case REG_BINARY:
            return "REG_BINARY";
        case REG_DWORD:
            return "REG_DWORD";
        case REG_DWORD_BIG_ENDIAN:
            return "REG_DWORD_BIG_ENDIAN";
        case REG_LINK:
            return "REG_LINK";
        case REG_MULTI_SZ:
            return "REG_MULTI_SZ";
        case 8:
            return "REG_RESOURCE_LIST";
        case 9:
            return "REG_FULL_RESOURCE_DESCRIPTOR";
        case 10:
            return "REG_RESOURCE_REQUIREMENTS_LIST";
        case REG_QWORD:
            return "REG_QWORD";
        default:
            return "REG_UNKNOWN";
    }
}

std::string hexDigits(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (char c : bytes) {
        auto b = static_cast<unsigned char>(c);
        out += kDigits[b >> 4];
        out += kDigits[b & 0xF];
    }
    return out;
}

std::uint64_t littleEndian(std::string_view bytes) {
    std::uint64_t number = 0;
    for (size_t i = bytes.size(); i-- > 0;) {
        number = (number << 8) | static_cast<unsigned char>(bytes[i]);
    }
    return number;
}

std::string shownData(const RegValue& value) {
    std::string_view data = value.data;
    switch (value.type) {
        case REG_SZ:
        case REG_EXPAND_SZ:
            return std::string(data.substr(0, data.find('\0')));
        case REG_MULTI_SZ: {
            std::string out;
            bool first = true;
            while (!data.empty()) {
                size_t end = data.find('\0');
                std::string_view text = data.substr(0, end);
                if (text.empty())
                    break;  // the list's terminator
                if (!first)
                    out += kMultiSzSeparator;
                out += text;
                first = false;
                if (end == std::string_view::npos)
                    break;
                data.remove_prefix(end + 1);
            }
            return out;
        }
        case REG_DWORD:
        case REG_QWORD:
            if (data.size() == (value.type == REG_DWORD ? 4u : 8u)) {
                char text[24];
                std::snprintf(text, sizeof text, "0x%llx",
                              static_cast<unsigned long long>(littleEndian(data)));
                return text;
            }
            return hexDigits(data);
        default:
            return hexDigits(data);
    }
}

void printValue(Io& io, const RegValue& value) {
    io.out << kColumn << shownValueName(value.name) << kColumn << typeName(value.type) << kColumn
           << shownData(value) << "\n";
}

// ---- Reading typed data -------------------------------------------------------------

struct TypeName {
    std::string_view name;
    DWORD type;
};

constexpr TypeName kTypeNames[] = {
    {"REG_SZ", REG_SZ},
    {"REG_EXPAND_SZ", REG_EXPAND_SZ},
    {"REG_MULTI_SZ", REG_MULTI_SZ},
    {"REG_DWORD", REG_DWORD},
    {"REG_DWORD_LITTLE_ENDIAN", REG_DWORD},
    {"REG_QWORD", REG_QWORD},
    {"REG_QWORD_LITTLE_ENDIAN", REG_QWORD},
    {"REG_BINARY", REG_BINARY},
    {"REG_NONE", REG_NONE},
};

bool parseTypeName(std::string_view text, DWORD* type) {
    std::string lower = lowerAscii(text);
    for (const TypeName& t : kTypeNames) {
        if (lowerAscii(t.name) == lower) {
            *type = t.type;
            return true;
        }
    }
    return false;
}

// Decimal, or hex after "0x"; no sign, no spaces, at most `max`.
bool parseNumber(std::string_view text, std::uint64_t max, std::uint64_t* number) {
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty())
        return false;
    std::uint64_t result = 0;
    for (char c : text) {
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return false;
        }
        if (result > (max - digit) / base)
            return false;
        result = result * base + digit;
    }
    *number = result;
    return true;
}

bool parseHexBytes(std::string_view text, std::string* bytes) {
    if (text.size() % 2 != 0)
        return false;
    bytes->clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        std::uint64_t b;
        if (!parseNumber("0x" + std::string(text.substr(i, 2)), 0xFF, &b))
            return false;
        bytes->push_back(static_cast<char>(b));
    }
    return true;
}

bool isSingleCharacter(std::string_view text) {
    if (text.empty())
        return false;
    size_t leads = 0;
    for (char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80)
            ++leads;
    }
    return leads == 1;
}

// Turns /d's text into the store's bytes for `type`; false with the reason otherwise.
bool encodeData(DWORD type, const std::string* text, const std::string* separator,
                std::string* data, std::string* error) {
    std::string given = text != nullptr ? *text : std::string();
    switch (type) {
        case REG_SZ:
        case REG_EXPAND_SZ:
            *data = given + '\0';
            return true;
        case REG_MULTI_SZ: {
            std::string sep = separator != nullptr ? *separator : kMultiSzSeparator;
            if (!isSingleCharacter(sep) && separator != nullptr) {
                *error = "The separator given by /s must be one character.";
                return false;
            }
            data->clear();
            std::string_view rest = given;
            while (!rest.empty()) {
                size_t end = rest.find(sep);
                std::string_view item = rest.substr(0, end);
                if (item.empty()) {
                    *error =
                        "REG_MULTI_SZ data cannot hold an empty text (two separators "
                        "in a row, or one at either end).";
                    return false;
                }
                *data += item;
                *data += '\0';
                if (end == std::string_view::npos)
                    break;
                rest.remove_prefix(end + sep.size());
                if (rest.empty()) {
                    *error =
                        "REG_MULTI_SZ data cannot hold an empty text (two separators "
                        "in a row, or one at either end).";
                    return false;
                }
            }
            *data += '\0';
            if (data->size() == 1)
                *data += '\0';
            return true;
        }
        case REG_DWORD:
        case REG_QWORD: {
            bool dword = type == REG_DWORD;
            std::uint64_t number = 0;
            if (text != nullptr &&
                !parseNumber(given, dword ? 0xFFFFFFFFull : ~std::uint64_t{0}, &number)) {
                *error = std::string("Invalid ") + (dword ? "REG_DWORD" : "REG_QWORD") + " data '" +
                         given + "': give a number from 0 to " +
                         (dword ? "4294967295 (0xFFFFFFFF)"
                                : "18446744073709551615 (0xFFFFFFFFFFFFFFFF)") +
                         ", in decimal or with 0x in hex.";
                return false;
            }
            data->clear();
            for (int i = 0; i < (dword ? 4 : 8); ++i) {
                data->push_back(static_cast<char>((number >> (8 * i)) & 0xFF));
            }
            return true;
        }
        default:
            if (!parseHexBytes(given, data)) {
                *error = std::string("Invalid ") + typeName(type) + " data '" + given +
                         "': give an even number of hex digits, such as 01ff.";
                return false;
            }
            return true;
    }
}

// ---- The verbs ----------------------------------------------------------------------

const std::string* valueNameSwitch(const Arguments& args, std::string* storage) {
    if (const std::string* name = args.find("v"))
        return name;
    if (args.has("ve")) {
        storage->clear();
        return storage;
    }
    return nullptr;
}

int runQueryTree(Io& io, HKEY top, const std::string& topName, const std::string* filter) {
    size_t matches = 0;
    bool blankPending = false;  // whether the last line printed was not blank
    io.out << "\n";
    DWORD rc = walkTree(
        top, topName, [&](HKEY key, const std::string& name, const std::string& relative) -> DWORD {
            std::vector<RegValue> values;
            if (filter != nullptr) {
                RegValue value;
                DWORD found = readValue(key, *filter, &value);
                if (found == ERROR_FILE_NOT_FOUND)
                    return ERROR_SUCCESS;
                if (found != ERROR_SUCCESS)
                    return found;
                values.push_back(std::move(value));
            } else {
                DWORD read = readValues(key, &values);
                if (read != ERROR_SUCCESS)
                    return read;
                if (!relative.empty())
                    ++matches;
            }
            io.out << name << "\n";
            blankPending = true;
            for (const RegValue& value : values)
                printValue(io, value);
            matches += values.size();
            if (!values.empty()) {
                io.out << "\n";
                blankPending = false;
            }
            return ERROR_SUCCESS;
        });
    if (rc != ERROR_SUCCESS)
        return failStore(io, rc);
    if (blankPending)
        io.out << "\n";
    io.out << "End of search: " << matches << " match(es) found.\n";
    // A search for one value name that found none did not find what was asked.
    return filter != nullptr && matches == 0 ? kExitFailure : kExitSuccess;
}

int runQuery(const Arguments& args, Io& io) {
    if (args.has("v") && args.has("ve")) {
        return syntaxError(io, "query", "/v and /ve cannot be used together.");
    }
    RegKeyName name;
    if (!parseKeyArgument(io, args.positional[0], &name))
        return kExitFailure;
    ScopedKey key;
    DWORD rc = openKey(name, KEY_READ, &key);
    if (rc != ERROR_SUCCESS)
        return failStore(io, rc);
    std::string shown = storedKeyName(key.get(), name);
    std::string storage;
    const std::string* filter = valueNameSwitch(args, &storage);
    if (args.has("s"))
        return runQueryTree(io, key.get(), shown, filter);

    std::vector<RegValue> values;
    std::vector<std::string> subKeys;
    if (filter != nullptr) {
        RegValue value;
        rc = readValue(key.get(), *filter, &value);
        if (rc != ERROR_SUCCESS)
            return failStore(io, rc);
        values.push_back(std::move(value));
    } else {
        rc = readValues(key.get(), &values);
        if (rc == ERROR_SUCCESS)
            rc = readSubKeyNames(key.get(), &subKeys);
        if (rc != ERROR_SUCCESS)
            return failStore(io, rc);
    }
    io.out << "\n" << shown << "\n";
    for (const RegValue& value : values)
        printValue(io, value);
    if (!values.empty())
        io.out << "\n";
    for (const std::string& sub : subKeys)
        io.out << shown << "\\" << sub << "\n";
    return kExitSuccess;
}

int runAdd(const Arguments& args, Io& io) {
    if (args.has("v") && args.has("ve")) {
        return syntaxError(io, "add", "/v and /ve cannot be used together.");
    }
    RegKeyName name;
    if (!parseKeyArgument(io, args.positional[0], &name))
        return kExitFailure;
    std::string storage;
    const std::string* valueName = valueNameSwitch(args, &storage);
    if (valueName == nullptr) {
        if (args.has("t") || args.has("d") || args.has("s")) {
            return syntaxError(io, "add", "/t, /d and /s need /v or /ve.");
        }
        ScopedKey key;
        DWORD rc = createKey(name, &key);
        return rc == ERROR_SUCCESS ? succeed(io) : failStore(io, rc);
    }

    RegValue value;
    value.name = *valueName;
    value.type = REG_SZ;
    if (const std::string* type = args.find("t"); type != nullptr) {
        if (!parseTypeName(*type, &value.type)) {
            return fail(io, "Invalid type '" + *type +
                                "': use REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, "
                                "REG_QWORD, REG_BINARY or REG_NONE.");
        }
    }
    if (args.has("s") && value.type != REG_MULTI_SZ) {
        return syntaxError(io, "add", "/s (the separator) is for REG_MULTI_SZ data only.");
    }
    std::string error;
    if (!encodeData(value.type, args.find("d"), args.find("s"), &value.data, &error)) {
        return fail(io, error);
    }

    if (!args.has("f")) {
        ScopedKey key;
        DWORD rc = openKey(name, KEY_READ, &key);
        if (rc == ERROR_SUCCESS) {
            RegValue existing;
            rc = readValue(key.get(), value.name, &existing);
            if (rc == ERROR_SUCCESS && !confirm(io, "Value " + shownValueName(value.name) +
                                                        " exists, overwrite(Yes/No)?")) {
                return cancel(io);
            }
        }
        if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
            return failStore(io, rc);
    }

    // The key and its value appear together or not at all.
    reg::Transaction transaction;
    if (transaction.status() != ERROR_SUCCESS)
        return failStore(io, transaction.status());
    ScopedKey key;
    DWORD rc = createKey(name, &key);
    if (rc == ERROR_SUCCESS)
        rc = setValue(key.get(), value);
    key.reset();
    if (rc == ERROR_SUCCESS)
        rc = transaction.commit();
    return rc == ERROR_SUCCESS ? succeed(io) : failStore(io, rc);
}

int runDelete(const Arguments& args, Io& io) {
    int chosen = args.has("v") + args.has("ve") + args.has("va");
    if (chosen > 1)
        return syntaxError(io, "delete", "Use only one of /v, /ve and /va.");
    RegKeyName name;
    if (!parseKeyArgument(io, args.positional[0], &name))
        return kExitFailure;
    bool force = args.has("f");
    if (chosen == 0 && name.path.empty()) {
        return fail(io, "A root key (" + fullKeyName(name) + ") cannot be deleted.");
    }
    ScopedKey key;
    DWORD rc = openKey(name, KEY_ALL_ACCESS, &key);
    if (rc != ERROR_SUCCESS)
        return failStore(io, rc);
    std::string shown = storedKeyName(key.get(), name);

    std::string storage;
    if (const std::string* valueName = valueNameSwitch(args, &storage)) {
        RegValue existing;
        rc = readValue(key.get(), *valueName, &existing);
        if (rc != ERROR_SUCCESS)
            return failStore(io, rc);
        if (!force && !confirm(io, "Delete the registry value " + shownValueName(*valueName) +
                                       " (Yes/No)?")) {
            return cancel(io);
        }
        rc = reg::deleteValue(key.get(), *valueName);
        return rc == ERROR_SUCCESS ? succeed(io) : failStore(io, rc);
    }

    if (args.has("va")) {
        if (!force &&
            !confirm(io, "Delete all values under the registry key " + shown + " (Yes/No)?")) {
            return cancel(io);
        }
        reg::Transaction transaction;
        if (transaction.status() != ERROR_SUCCESS)
            return failStore(io, transaction.status());
        std::vector<RegValue> values;
        rc = readValues(key.get(), &values);
        for (size_t i = 0; rc == ERROR_SUCCESS && i < values.size(); ++i) {
            rc = reg::deleteValue(key.get(), values[i].name);
        }
        if (rc == ERROR_SUCCESS)
            rc = transaction.commit();
        return rc == ERROR_SUCCESS ? succeed(io) : failStore(io, rc);
    }

    if (!force && !confirm(io, "Permanently delete the registry key " + shown + " (Yes/No)?")) {
        return cancel(io);
    }
    key.reset();
    rc = reg::deleteTree(rootKey(name.root), name.path);
    return rc == ERROR_SUCCESS ? succeed(io) : failStore(io, rc);
}

bool sameKey(HKEY a, const RegKeyName& aName, HKEY b, const RegKeyName& bName) {
    if (aName.root != bName.root)
        return false;
    std::string aPath, bPath;
    return reg::keyPath(a, &aPath) == ERROR_SUCCESS && reg::keyPath(b, &bPath) == ERROR_SUCCESS &&
           aPath == bPath;
}

int runCopy(const Arguments& args, Io& io) {
    RegKeyName from, to;
    if (!parseKeyArgument(io, args.positional[0], &from))
        return kExitFailure;
    if (!parseKeyArgument(io, args.positional[1], &to))
        return kExitFailure;
    bool tree = args.has("s");
    ScopedKey source;
    DWORD rc = openKey(from, KEY_READ, &source);
    if (rc != ERROR_SUCCESS)
        return failStore(io, rc);
    ScopedKey dest;
    rc = openKey(to, KEY_READ, &dest);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
        return failStore(io, rc);
    bool destExists = rc == ERROR_SUCCESS;
    if (destExists && sameKey(source.get(), from, dest.get(), to)) {
        return fail(io, "The source and the destination are the same key.");
    }

    // The questions come before the transaction, which would hold the store for other
    // processes while the administrator thinks. A value the answer keeps is written back
    // after the copy, inside the same transaction.
    struct Kept {
        std::string relative;
        RegValue value;
    };
    std::vector<Kept> kept;
    if (!args.has("f") && destExists) {
        auto ask = [&](HKEY key, const std::string&, const std::string& relative) -> DWORD {
            std::vector<RegValue> values;
            DWORD read = readValues(key, &values);
            if (read != ERROR_SUCCESS)
                return read;
            ScopedKey target;
            HKEY targetKey = dest.get();
            if (!relative.empty()) {
                read = reg::openKey(dest.get(), relative, 0, KEY_READ, target.receive());
                if (read == ERROR_FILE_NOT_FOUND)
                    return ERROR_SUCCESS;
                if (read != ERROR_SUCCESS)
                    return read;
                targetKey = target.get();
            }
            for (const RegValue& value : values) {
                RegValue existing;
                read = readValue(targetKey, value.name, &existing);
                if (read == ERROR_FILE_NOT_FOUND)
                    continue;
                if (read != ERROR_SUCCESS)
                    return read;
                std::string shown = joinPath(relative, shownValueName(value.name));
                if (!confirm(io, "Value " + shown + " exists, overwrite(Yes/No)?")) {
                    existing.name = value.name;
                    kept.push_back({relative, std::move(existing)});
                }
            }
            return ERROR_SUCCESS;
        };
        rc = tree ? walkTree(source.get(), std::string(), ask)
                  : ask(source.get(), std::string(), std::string());
        if (rc != ERROR_SUCCESS)
            return failStore(io, rc);
    }
    dest.reset();

    reg::Transaction transaction;
    if (transaction.status() != ERROR_SUCCESS)
        return failStore(io, transaction.status());
    if (tree) {
        rc = reg::copyTree(rootKey(from.root), from.path, rootKey(to.root), to.path,
                           reg::CopyMode::kMerge);
        if (rc == ERROR_INVALID_PARAMETER) {
            return fail(io, "A key cannot be copied into itself or below itself.");
        }
    } else {
        std::vector<RegValue> values;
        rc = readValues(source.get(), &values);
        ScopedKey target;
        if (rc == ERROR_SUCCESS)
            rc = createKey(to, &target);
        for (size_t i = 0; rc == ERROR_SUCCESS && i < values.size(); ++i) {
            rc = setValue(target.get(), values[i]);
        }
    }
    for (size_t i = 0; rc == ERROR_SUCCESS && i < kept.size(); ++i) {
        ScopedKey target;
        RegKeyName where{to.root, joinPath(to.path, kept[i].relative)};
        rc = createKey(where, &target);
        if (rc == ERROR_SUCCESS)
            rc = setValue(target.get(), kept[i].value);
    }
    if (rc == ERROR_SUCCESS)
        rc = transaction.commit();
    return rc == ERROR_SUCCESS ? succeed(io) : failStore(io, rc);
}

DWORD readWholeFile(const std::string& path, std::string* bytes) {
    errno = 0;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return kyos::win32FromErrno(errno);
    bytes->clear();
    char buffer[1 << 16];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes->append(buffer, n);
    int error = std::ferror(file) ? (errno != 0 ? errno : EIO) : 0;
    std::fclose(file);
    return error != 0 ? kyos::win32FromErrno(error) : ERROR_SUCCESS;
}

DWORD writeWholeFile(const std::string& path, const std::string& bytes) {
    errno = 0;
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return kyos::win32FromErrno(errno);
    int error = 0;
    if (std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
        error = errno != 0 ? errno : EIO;
    }
    if (std::fclose(file) != 0 && error == 0)
        error = errno != 0 ? errno : EIO;
    return error != 0 ? kyos::win32FromErrno(error) : ERROR_SUCCESS;
}

int runExport(const Arguments& args, Io& io) {
    RegKeyName name;
    if (!parseKeyArgument(io, args.positional[0], &name))
        return kExitFailure;
    const std::string& path = args.positional[1];
    std::error_code ignored;
    if (!args.has("y") && std::filesystem::exists(path, ignored) &&
        !confirm(io, "File " + path + " already exists. Overwrite (Yes/No)?")) {
        return cancel(io);
    }

    std::vector<RegKey> keys;
    std::string shown;
    {
        // One moment of the store, read without the write lock: a large export must not
        // make other processes' writes wait for it.
        reg::ReadTransaction snapshot;
        if (snapshot.status() != ERROR_SUCCESS)
            return failStore(io, snapshot.status());
        ScopedKey key;
        DWORD rc = openKey(name, KEY_READ, &key);
        if (rc != ERROR_SUCCESS)
            return failStore(io, rc);
        shown = storedKeyName(key.get(), name);
        rc = walkTree(key.get(), shown,
                      [&](HKEY k, const std::string& full, const std::string&) -> DWORD {
                          keys.push_back(RegKey{full, {}});
                          return readValues(k, &keys.back().values);
                      });
        if (rc != ERROR_SUCCESS)
            return failStore(io, rc);
    }
    std::string bytes, error;
    if (!formatRegFile(keys, &bytes, &error))
        return fail(io, "Cannot export " + shown + ": " + error + ".");
    DWORD rc = writeWholeFile(path, bytes);
    if (rc != ERROR_SUCCESS)
        return fail(io, "Cannot write " + path + ": " + kyos::win32MessageText(rc));
    return succeed(io);
}

int runImport(const Arguments& args, Io& io) {
    const std::string& path = args.positional[0];
    std::string bytes;
    DWORD rc = readWholeFile(path, &bytes);
    if (rc != ERROR_SUCCESS) {
        return fail(io, "Cannot read " + path + ": " + kyos::win32MessageText(rc));
    }
    // The whole file is read and checked before the store is touched, and then applied
    // in one transaction: a faulty file changes nothing.
    std::vector<RegOperation> operations;
    RegParseError parseError;
    if (!parseRegFile(bytes, &operations, &parseError)) {
        return fail(io, "Cannot import " + path + ": line " + std::to_string(parseError.line) +
                            ": " + parseError.message + ". Nothing was imported.");
    }

    reg::Transaction transaction;
    if (transaction.status() != ERROR_SUCCESS)
        return failStore(io, transaction.status());
    ScopedKey current;
    for (const RegOperation& op : operations) {
        switch (op.kind) {
            case RegOperation::Kind::kCreateKey:
                rc = createKey(op.key, &current);
                break;
            case RegOperation::Kind::kDeleteKey:
                current.reset();
                rc = reg::deleteTree(rootKey(op.key.root), op.key.path);
                if (rc == ERROR_FILE_NOT_FOUND)
                    rc = ERROR_SUCCESS;
                break;
            case RegOperation::Kind::kSetValue:
                rc = setValue(current.get(), op.value);
                break;
            case RegOperation::Kind::kDeleteValue:
                rc = reg::deleteValue(current.get(), op.value.name);
                if (rc == ERROR_FILE_NOT_FOUND)
                    rc = ERROR_SUCCESS;
                break;
        }
        if (rc != ERROR_SUCCESS) {
            return fail(io, "Cannot import " + path + ": line " + std::to_string(op.line) + ": " +
                                storeMessage(rc) + " Nothing was imported.");
        }
    }
    current.reset();
    rc = transaction.commit();
    return rc == ERROR_SUCCESS ? succeed(io) : failStore(io, rc);
}

const std::vector<Verb>& verbs() {
    static const std::vector<Verb> kVerbs = {
        {"query", {{"v", true}, {"ve", false}, {"s", false}}, {"KEY"}, runQuery},
        {"add",
         {{"v", true}, {"ve", false}, {"t", true}, {"s", true}, {"d", true}, {"f", false}},
         {"KEY"},
         runAdd},
        {"delete", {{"v", true}, {"ve", false}, {"va", false}, {"f", false}}, {"KEY"}, runDelete},
        {"copy", {{"s", false}, {"f", false}}, {"FROM", "TO"}, runCopy},
        {"export", {{"y", false}}, {"KEY", "FILE"}, runExport},
        {"import", {}, {"FILE"}, runImport},
    };
    return kVerbs;
}

bool isHelp(std::string_view arg) {
    return arg == "/?" || arg == "-?" || arg == "-h" || arg == "--help";
}

}  // namespace

int runReg(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
           std::ostream& err) {
    Io io{in, out, err};
    if (args.empty()) {
        err << kUsage;
        return kExitFailure;
    }
    if (isHelp(args[0])) {
        out << kUsage;
        return kExitSuccess;
    }
    std::string verbName = lowerAscii(args[0]);
    for (const Verb& verb : verbs()) {
        if (verb.name != verbName)
            continue;
        std::vector<std::string> rest(args.begin() + 1, args.end());
        for (const std::string& arg : rest) {
            if (isHelp(arg)) {
                out << kUsage;
                return kExitSuccess;
            }
        }
        Arguments parsed;
        if (!parseArguments(io, verb, rest, &parsed))
            return kExitFailure;
        return verb.run(parsed, io);
    }
    err << "ERROR: Invalid syntax. Unknown verb '" << args[0] << "'.\n" << kUsage;
    return kExitFailure;
}

int runReg(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);
    return runReg(args, std::cin, std::cout, std::cerr);
}

}  // namespace kybasic
