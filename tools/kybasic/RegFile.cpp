#include "tools/kybasic/RegFile.h"

#include <cstdio>

#include "os/Utf.h"

namespace kybasic {
namespace {

constexpr std::string_view kHeaderV5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeaderV4 = "REGEDIT4";
constexpr std::string_view kCrLf = "\r\n";

// The store's limits: the Windows ones, counted in bytes of UTF-8. Checking them while
// parsing gives the administrator the line instead of a store error.
constexpr size_t kMaxKeyPartLength = 255;
constexpr size_t kMaxValueNameLength = 16383;

// The editor breaks hex data after the comma that takes a line past this column; the
// "\" that continues the line then ends it at column 78 to 80.
constexpr size_t kHexWrapColumn = 76;
constexpr std::string_view kHexIndent = "  ";

// Error messages quote at most this much of an offending token.
constexpr size_t kMaxQuotedToken = 16;

struct RootName {
    std::string_view shortName;
    std::string_view longName;
    RegRoot root;
};

constexpr RootName kRoots[] = {
    {"HKLM", "HKEY_LOCAL_MACHINE", RegRoot::kLocalMachine},
    {"HKU", "HKEY_USERS", RegRoot::kUsers},
    {"HKCU", "HKEY_CURRENT_USER", RegRoot::kCurrentUser},
    {"HKCR", "HKEY_CLASSES_ROOT", RegRoot::kClassesRoot},
};

char asciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (asciiUpper(a[i]) != asciiUpper(b[i]))
            return false;
    }
    return true;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && equalsNoCase(text.substr(0, prefix.size()), prefix);
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trimLeft(std::string_view s) {
    while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
    return s;
}

std::string_view trimRight(std::string_view s) {
    while (!s.empty() && isBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

std::string_view trim(std::string_view s) {
    return trimRight(trimLeft(s));
}

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A token as an error message shows it: short, and never cut inside a UTF-8 sequence.
std::string quoteToken(std::string_view token) {
    if (token.size() <= kMaxQuotedToken)
        return "'" + std::string(token) + "'";
    size_t end = kMaxQuotedToken;
    while (end > 0 && (static_cast<unsigned char>(token[end]) & 0xC0) == 0x80)
        --end;
    return "'" + std::string(token.substr(0, end)) + "...'";
}

// The store keeps strings as UTF-8 bytes and does not insist that they are valid; the
// file's UTF-16 cannot carry an invalid byte as it is. Such a byte travels as the lone
// low surrogate U+DC80..U+DCFF, which no valid text produces, so that an export
// imports back to the same bytes.
constexpr char16_t kEscapedByteBase = 0xDC00;

bool isHighSurrogate(char16_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool isLowSurrogate(char16_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}
bool isEscapedByte(char16_t u) {
    return u >= 0xDC80 && u <= 0xDCFF;
}

size_t utf8SequenceLength(unsigned char lead) {
    if (lead >= 0xF0)
        return 4;
    if (lead >= 0xE0)
        return 3;
    if (lead >= 0xC0)
        return 2;
    return 1;
}

std::u16string toUtf16Escaped(std::string_view bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    size_t runStart = 0;
    size_t i = 0;
    auto flushRun = [&] { out += kyos::utf8ToUtf16(bytes.substr(runStart, i - runStart)); };
    while (i < bytes.size()) {
        auto lead = static_cast<unsigned char>(bytes[i]);
        size_t length = utf8SequenceLength(lead);
        if (lead < 0x80) {
            ++i;
        } else if (length > 1 && i + length <= bytes.size() &&
                   kyos::isValidUtf8(bytes.substr(i, length))) {
            i += length;
        } else {
            flushRun();
            out += static_cast<char16_t>(kEscapedByteBase + lead);
            runStart = ++i;
        }
    }
    flushRun();
    return out;
}

// The reverse of toUtf16Escaped. Any other unpaired surrogate makes `strict` fail and
// otherwise becomes U+FFFD, as the lenient conversions do.
bool fromUtf16Escaped(std::u16string_view units, bool strict, std::string* out) {
    out->clear();
    size_t runStart = 0;
    size_t i = 0;
    auto flushRun = [&] { *out += kyos::utf16ToUtf8(units.substr(runStart, i - runStart)); };
    while (i < units.size()) {
        char16_t u = units[i];
        if (isHighSurrogate(u) && i + 1 < units.size() && isLowSurrogate(units[i + 1])) {
            i += 2;
        } else if (u < 0xD800 || u > 0xDFFF) {
            ++i;
        } else {
            flushRun();
            if (isEscapedByte(u)) {
                *out += static_cast<char>(u - kEscapedByteBase);
            } else if (strict) {
                return false;
            } else {
                *out += "\xEF\xBF\xBD";
            }
            runStart = ++i;
        }
    }
    flushRun();
    return true;
}

bool isUtf16StringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// ---- Parsing ----------------------------------------------------------------------

class Parser {
public:
    Parser(std::vector<RegOperation>* operations, RegParseError* error)
        : operations_(operations), error_(error) {}

    bool run(std::string_view bytes) {
        if (!decodeLines(bytes))
            return false;
        if (!readHeader())
            return false;
        for (index_ = 1; index_ < lines_.size(); ++index_) {
            std::string_view line = trim(lines_[index_]);
            if (line.empty() || line.front() == ';')
                continue;
            bool ok;
            if (line.front() == '[') {
                ok = parseKeyLine(line);
            } else if (line.front() == '"' || line.front() == '@') {
                ok = parseValueLine(line);
            } else {
                ok = fail("unrecognised line " + quoteToken(line));
            }
            if (!ok)
                return false;
        }
        return true;
    }

private:
    enum class Section { kNone, kKey, kDeletedKey };

    int lineNumber() const { return static_cast<int>(index_) + 1; }

    bool failAt(int line, std::string message) {
        error_->line = line;
        error_->message = std::move(message);
        return false;
    }
    bool fail(std::string message) { return failAt(lineNumber(), std::move(message)); }

    bool decodeLines(std::string_view bytes) {
        if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
            return decodeUtf16Lines(bytes.substr(2));
        }
        if (bytes.size() >= 2 && bytes[0] == '\xFE' && bytes[1] == '\xFF') {
            return failAt(1, "UTF-16 big-endian files are not supported");
        }
        if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF")
            bytes.remove_prefix(3);
        for (;;) {
            size_t end = bytes.find('\n');
            std::string_view line = bytes.substr(0, end);
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            lines_.emplace_back(line);
            if (!kyos::isValidUtf8(line)) {
                return failAt(static_cast<int>(lines_.size()), "the text is not valid UTF-8");
            }
            if (end == std::string_view::npos)
                break;
            bytes.remove_prefix(end + 1);
        }
        return true;
    }

    bool decodeUtf16Lines(std::string_view bytes) {
        std::u16string units = kyos::utf16FromLittleEndian(bytes);
        std::u16string_view rest = units;
        for (;;) {
            size_t end = rest.find(u'\n');
            std::u16string_view line = rest.substr(0, end);
            if (!line.empty() && line.back() == u'\r')
                line.remove_suffix(1);
            std::string text;
            if (!fromUtf16Escaped(line, /*strict=*/true, &text)) {
                return failAt(static_cast<int>(lines_.size()) + 1, "the text is not valid UTF-16");
            }
            lines_.push_back(std::move(text));
            if (end == std::u16string_view::npos)
                break;
            rest.remove_prefix(end + 1);
        }
        if (bytes.size() % 2 != 0) {
            return failAt(static_cast<int>(lines_.size()),
                          "the file ends in the middle of a UTF-16 character");
        }
        return true;
    }

    bool readHeader() {
        std::string_view header = trim(lines_[0]);
        if (header == kHeaderV5) {
            utf16Strings_ = true;
        } else if (header == kHeaderV4) {
            utf16Strings_ = false;
        } else {
            return failAt(1, "not a registry file: the first line must be \"" +
                                 std::string(kHeaderV5) + "\" or \"" + std::string(kHeaderV4) +
                                 "\"");
        }
        return true;
    }

    bool parseKeyLine(std::string_view line) {
        if (line.size() < 2 || line.back() != ']')
            return fail("the key name has no closing ']'");
        std::string_view inner = line.substr(1, line.size() - 2);
        bool remove = !inner.empty() && inner.front() == '-';
        if (remove)
            inner.remove_prefix(1);
        RegOperation op;
        op.kind = remove ? RegOperation::Kind::kDeleteKey : RegOperation::Kind::kCreateKey;
        op.line = lineNumber();
        std::string reason;
        if (!parseKeyName(inner, &op.key, &reason))
            return fail(reason);
        if (remove && op.key.path.empty())
            return fail("a root key cannot be deleted");
        section_ = remove ? Section::kDeletedKey : Section::kKey;
        currentKey_ = op.key;
        operations_->push_back(std::move(op));
        return true;
    }

    // Reads a quoted text starting at line[pos] == '"'; leaves pos after its closing
    // quote. Only \\ and \" are escapes, as the editor writes them.
    bool parseQuoted(std::string_view line, size_t& pos, std::string* out) {
        ++pos;
        while (pos < line.size()) {
            char c = line[pos++];
            if (c == '"')
                return true;
            if (c != '\\') {
                *out += c;
                continue;
            }
            if (pos >= line.size())
                break;
            char escaped = line[pos++];
            if (escaped != '\\' && escaped != '"') {
                std::string shown = escaped >= 0x20 && escaped < 0x7F
                                        ? std::string("'\\") + escaped + "'"
                                        : std::string("sequence");
                return fail("bad escape " + shown + " (only \\\\ and \\\" are allowed)");
            }
            *out += escaped;
        }
        return fail("the text has no closing '\"'");
    }

    bool parseValueLine(std::string_view line) {
        if (section_ == Section::kNone)
            return fail("a value comes before any [KEY] line");
        if (section_ == Section::kDeletedKey) {
            return fail("a value comes under a deleted [-KEY] line");
        }
        RegOperation op;
        op.line = lineNumber();
        op.key = currentKey_;
        size_t pos = 0;
        if (line.front() == '@') {
            pos = 1;
        } else if (!parseQuoted(line, pos, &op.value.name)) {
            return false;
        }
        if (op.value.name.size() > kMaxValueNameLength)
            return fail("the value name is too long");
        std::string_view rest = trimLeft(line.substr(pos));
        if (rest.empty() || rest.front() != '=')
            return fail("'=' expected after the value name");
        std::string_view data = trimLeft(rest.substr(1));

        bool ok;
        if (data == "-") {
            op.kind = RegOperation::Kind::kDeleteValue;
            ok = true;
        } else {
            op.kind = RegOperation::Kind::kSetValue;
            if (!data.empty() && data.front() == '"') {
                ok = parseStringData(data, &op.value);
            } else if (startsWithNoCase(data, "dword:")) {
                ok = parseDwordData(data.substr(6), &op.value);
            } else if (startsWithNoCase(data, "hex")) {
                ok = parseHexData(data.substr(3), &op.value);
            } else {
                ok = fail("unrecognised value data " + quoteToken(data));
            }
        }
        if (!ok)
            return false;
        operations_->push_back(std::move(op));
        return true;
    }

    bool parseStringData(std::string_view data, RegValue* value) {
        size_t pos = 0;
        std::string text;
        if (!parseQuoted(data, pos, &text))
            return false;
        if (!trim(data.substr(pos)).empty())
            return fail("unexpected text after the closing '\"'");
        value->type = REG_SZ;
        value->data = std::move(text);
        value->data += '\0';
        return true;
    }

    bool parseDwordData(std::string_view digits, RegValue* value) {
        digits = trim(digits);
        if (digits.empty())
            return fail("dword data has no digits");
        for (char c : digits) {
            if (hexDigitValue(c) < 0)
                return fail("bad hex digit in dword data " + quoteToken(digits));
        }
        while (digits.size() > 1 && digits.front() == '0')
            digits.remove_prefix(1);
        if (digits.size() > 8)
            return fail("dword data out of range " + quoteToken(digits));
        std::uint32_t number = 0;
        for (char c : digits)
            number = (number << 4) | static_cast<std::uint32_t>(hexDigitValue(c));
        value->type = REG_DWORD;
        value->data.clear();
        for (int i = 0; i < 4; ++i)
            value->data += static_cast<char>((number >> (8 * i)) & 0xFF);
        return true;
    }

    // After "hex": an optional "(type)", a ':', then comma-separated bytes, continued over
    // lines that end with "\".
    bool parseHexData(std::string_view rest, RegValue* value) {
        const int firstLine = lineNumber();
        DWORD type = REG_BINARY;
        if (!rest.empty() && rest.front() == '(') {
            size_t close = rest.find(')');
            if (close == std::string_view::npos)
                return fail("the value type has no closing ')'");
            std::string_view digits = rest.substr(1, close - 1);
            if (!parseTypeNumber(digits, &type)) {
                return fail("bad value type " + quoteToken(digits) + " in hex(...)");
            }
            rest.remove_prefix(close + 1);
        }
        if (rest.empty() || rest.front() != ':')
            return fail("':' expected after hex");
        rest.remove_prefix(1);

        struct Piece {
            std::string_view text;
            int line;
        };
        std::vector<Piece> pieces;
        for (;;) {
            rest = trimRight(rest);
            if (rest.empty() || rest.back() != '\\') {
                pieces.push_back({rest, lineNumber()});
                break;
            }
            pieces.push_back({rest.substr(0, rest.size() - 1), lineNumber()});
            if (index_ + 1 >= lines_.size() || trim(lines_[index_ + 1]).empty()) {
                return fail("the hex data ends with '\\' but no continuation line follows");
            }
            ++index_;
            rest = lines_[index_];
        }

        std::string bytes;
        bool expectByte = true;
        int lastCommaLine = firstLine;
        for (const Piece& piece : pieces) {
            std::string_view text = piece.text;
            size_t pos = 0;
            while (true) {
                while (pos < text.size() && isBlank(text[pos]))
                    ++pos;
                if (pos >= text.size())
                    break;
                if (!expectByte) {
                    if (text[pos] != ',') {
                        return failAt(piece.line, "',' expected between hex bytes");
                    }
                    expectByte = true;
                    lastCommaLine = piece.line;
                    ++pos;
                    continue;
                }
                size_t end = pos;
                while (end < text.size() && text[end] != ',' && !isBlank(text[end]))
                    ++end;
                std::string_view token = text.substr(pos, end - pos);
                if (token.empty())
                    return failAt(piece.line, "a hex byte is missing before ','");
                int high = hexDigitValue(token[0]);
                int low = token.size() > 1 ? hexDigitValue(token[1]) : 0;
                if (high < 0 || low < 0 || (token.size() > 2 && hexDigitValue(token[2]) < 0)) {
                    return failAt(piece.line, "bad hex digit in " + quoteToken(token));
                }
                if (token.size() > 2) {
                    return failAt(piece.line, "the hex byte " + quoteToken(token) +
                                                  " has more than two digits");
                }
                bytes += static_cast<char>(token.size() == 1 ? high : high * 16 + low);
                expectByte = false;
                pos = end;
            }
        }
        if (expectByte && !bytes.empty()) {
            return failAt(lastCommaLine, "the hex data ends with ','");
        }

        value->type = type;
        if (utf16Strings_ && isUtf16StringType(type)) {
            if (bytes.size() % 2 != 0) {
                return failAt(firstLine, "UTF-16 text data has an odd number of bytes");
            }
            fromUtf16Escaped(kyos::utf16FromLittleEndian(bytes), /*strict=*/false, &value->data);
        } else {
            value->data = std::move(bytes);
        }
        return true;
    }

    static bool parseTypeNumber(std::string_view digits, DWORD* type) {
        if (digits.empty())
            return false;
        for (char c : digits) {
            if (hexDigitValue(c) < 0)
                return false;
        }
        while (digits.size() > 1 && digits.front() == '0')
            digits.remove_prefix(1);
        if (digits.size() > 8)
            return false;
        DWORD number = 0;
        for (char c : digits)
            number = (number << 4) | static_cast<DWORD>(hexDigitValue(c));
        *type = number;
        return true;
    }

    std::vector<RegOperation>* operations_;
    RegParseError* error_;
    std::vector<std::string> lines_;
    size_t index_ = 0;
    bool utf16Strings_ = true;
    Section section_ = Section::kNone;
    RegKeyName currentKey_;
};

// ---- Formatting ---------------------------------------------------------------------

bool hasLineBreak(std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
}

std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

// A REG_SZ that reads back the same from a quoted text: one terminating NUL, valid
// UTF-8, no other NUL and no line break.
bool isQuotableString(std::string_view data) {
    if (data.empty() || data.back() != '\0')
        return false;
    std::string_view text = data.substr(0, data.size() - 1);
    return text.find_first_of(std::string_view("\0\r\n", 3)) == std::string_view::npos &&
           kyos::isValidUtf8(text);
}

void appendHexBytes(std::string& out, size_t column, std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < bytes.size(); ++i) {
        auto b = static_cast<unsigned char>(bytes[i]);
        out += kDigits[b >> 4];
        out += kDigits[b & 0xF];
        column += 2;
        if (i + 1 == bytes.size())
            break;
        out += ',';
        ++column;
        if (column > kHexWrapColumn) {
            out += '\\';
            out += kCrLf;
            out += kHexIndent;
            column = kHexIndent.size();
        }
    }
}

void appendValue(std::string& out, const RegValue& value) {
    std::string prefix = (value.name.empty() ? std::string("@") : quoted(value.name)) + "=";
    if (value.type == REG_SZ && isQuotableString(value.data)) {
        out += prefix;
        out += quoted(value.data.substr(0, value.data.size() - 1));
        return;
    }
    if (value.type == REG_DWORD && value.data.size() == 4) {
        std::uint32_t number = 0;
        for (int i = 3; i >= 0; --i)
            number = (number << 8) | static_cast<unsigned char>(value.data[i]);
        char digits[16];
        std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(number));
        out += prefix + "dword:" + digits;
        return;
    }
    if (value.type == REG_BINARY) {
        prefix += "hex:";
    } else {
        char kind[24];
        std::snprintf(kind, sizeof kind, "hex(%x):", static_cast<unsigned>(value.type));
        prefix += kind;
    }
    std::string bytes = isUtf16StringType(value.type)
                            ? kyos::utf16ToLittleEndian(toUtf16Escaped(value.data))
                            : value.data;
    out += prefix;
    appendHexBytes(out, toUtf16Escaped(prefix).size(), bytes);
}

}  // namespace

const char* rootName(RegRoot root) {
    for (const RootName& r : kRoots) {
        if (r.root == root)
            return r.longName.data();
    }
    return "";
}

HKEY rootKey(RegRoot root) {
    switch (root) {
        case RegRoot::kLocalMachine:
            return HKEY_LOCAL_MACHINE;
        case RegRoot::kUsers:
            return HKEY_USERS;
        case RegRoot::kCurrentUser:
            return HKEY_CURRENT_USER;
        case RegRoot::kClassesRoot:
            return HKEY_CLASSES_ROOT;
    }
    return nullptr;
}

std::string fullKeyName(const RegKeyName& key) {
    std::string name = rootName(key.root);
    if (!key.path.empty())
        name += "\\" + key.path;
    return name;
}

bool parseKeyName(std::string_view text, RegKeyName* key, std::string* error) {
    if (text.size() >= 2 && (text[0] == '\\' || text[0] == '/') &&
        (text[1] == '\\' || text[1] == '/')) {
        *error = "remote keys (\\\\machine\\...) are not supported: " + quoteToken(text);
        return false;
    }
    size_t split = text.find_first_of("\\/");
    std::string_view rootText = text.substr(0, split);
    const RootName* found = nullptr;
    for (const RootName& r : kRoots) {
        if (equalsNoCase(rootText, r.shortName) || equalsNoCase(rootText, r.longName))
            found = &r;
    }
    if (found == nullptr) {
        *error = "invalid key name " + quoteToken(text) +
                 ": it must start with HKLM, HKU, HKCU or HKCR (or HKEY_LOCAL_MACHINE, "
                 "HKEY_USERS, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT)";
        return false;
    }
    key->root = found->root;
    key->path.clear();
    std::string_view rest = split == std::string_view::npos ? "" : text.substr(split);
    while (!rest.empty()) {
        size_t end = rest.find_first_of("\\/");
        std::string_view part = rest.substr(0, end);
        if (part.size() > kMaxKeyPartLength) {
            *error = "the key name part " + quoteToken(part) + " is longer than " +
                     std::to_string(kMaxKeyPartLength) + " bytes";
            return false;
        }
        if (!part.empty()) {
            if (!key->path.empty())
                key->path += '\\';
            key->path += part;
        }
        if (end == std::string_view::npos)
            break;
        rest.remove_prefix(end + 1);
    }
    return true;
}

bool parseRegFile(std::string_view bytes, std::vector<RegOperation>* operations,
                  RegParseError* error) {
    std::vector<RegOperation> parsed;
    Parser parser(&parsed, error);
    if (!parser.run(bytes))
        return false;
    *operations = std::move(parsed);
    return true;
}

bool formatRegFile(const std::vector<RegKey>& keys, std::string* bytes, std::string* error) {
    std::string text(kHeaderV5);
    text += kCrLf;
    text += kCrLf;
    for (const RegKey& key : keys) {
        if (hasLineBreak(key.name)) {
            *error = "the key name " + quoteToken(key.name) + " holds a line break";
            return false;
        }
        text += "[" + key.name + "]";
        text += kCrLf;
        for (const RegValue& value : key.values) {
            if (hasLineBreak(value.name)) {
                *error = "the value name " + quoteToken(value.name) + " under " + key.name +
                         " holds a line break";
                return false;
            }
            appendValue(text, value);
            text += kCrLf;
        }
        text += kCrLf;
    }
    *bytes = "\xFF\xFE" + kyos::utf16ToLittleEndian(toUtf16Escaped(text));
    return true;
}

}  // namespace kybasic
