// What the tests of the .reg format and of the reg verb share: files as the registry
// editor writes them, and a table of faulty files with the line each fault is on.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "os/Utf.h"
#include "tests/support/TempDir.h"

namespace kybasic::regtest {

// A file as the editor writes it: a byte-order mark, then `text` (UTF-8 here) in
// UTF-16LE.
inline std::string utf16File(std::string_view text) {
    return "\xFF\xFE" + kyos::utf16ToLittleEndian(kyos::utf8ToUtf16(text));
}

// The text of a UTF-16LE file with its byte-order mark.
inline std::string utf16FileText(std::string_view bytes) {
    bytes.remove_prefix(2);
    return kyos::utf16ToUtf8(kyos::utf16FromLittleEndian(bytes));
}

// tests/tools/data/editor.reg: keys and values as the registry editor exports them.
inline std::string editorFile() {
    return kytest::readFile(KY_TOOLS_TEST_DATA "/editor.reg");
}

inline std::string dwordBytes(std::uint32_t v) {
    std::string out;
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((v >> (8 * i)) & 0xFF);
    return out;
}

inline std::string qwordBytes(std::uint64_t v) {
    std::string out;
    for (int i = 0; i < 8; ++i)
        out += static_cast<char>((v >> (8 * i)) & 0xFF);
    return out;
}

constexpr char kBadKey[] = "SOFTWARE\\Kelbrin\\Bad";

struct MalformedCase {
    const char* name;
    std::string bytes;
    int line;
    const char* message;  // a part of the error text
};

inline void PrintTo(const MalformedCase& c, std::ostream* os) {
    *os << c.name;
}

// Each file sets a value before its fault wherever it can, so that a half-applied import
// would show: the store must not gain the key HKLM\<kBadKey>.
inline const std::vector<MalformedCase>& malformedCases() {
    static const std::string kHeader = "Windows Registry Editor Version 5.00\r\n\r\n";
    // Lines 3 and 4 are good; the fault goes on line 5.
    static const std::string kGood =
        kHeader + "[HKEY_LOCAL_MACHINE\\" + kBadKey + "]\r\n\"Good\"=\"applied?\"\r\n";
    static const std::vector<MalformedCase> kCases = {
        {"WrongHeader", "Windows Registry Editor Version 4.00\r\n\r\n[HKLM\\X]\r\n", 1,
         "not a registry file"},
        {"EmptyFile", "", 1, "not a registry file"},
        {"BigEndianFile", "\xFE\xFF\0W", 1, "big-endian"},
        {"UnterminatedKeyBracket", kGood + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kelbrin\\Other\r\n", 5,
         "no closing ']'"},
        {"UnknownRoot", kGood + "[HKEY_CURRENT_CONFIG\\X]\r\n", 5, "must start with"},
        {"RemoteKey", kGood + "[\\\\server\\HKEY_LOCAL_MACHINE\\X]\r\n", 5, "remote"},
        {"KeyPartTooLong", kGood + "[HKLM\\" + std::string(256, 'k') + "]\r\n", 5, "longer than"},
        {"DeleteRoot", kGood + "[-HKEY_USERS]\r\n", 5, "root key cannot be deleted"},
        {"ValueBeforeAnyKey", kHeader + "\"a\"=\"1\"\r\n[HKLM\\X]\r\n", 3, "before any [KEY]"},
        {"ValueUnderDeletedKey", kGood + "[-HKLM\\SOFTWARE\\Kelbrin\\Old]\r\n\"a\"=\"1\"\r\n", 6,
         "deleted"},
        {"BadEscape", kGood + "\"Path\"=\"C:\\temp\"\r\n", 5, "bad escape '\\t'"},
        {"UnterminatedText", kGood + "\"a\"=\"1\r\n", 5, "no closing '\"'"},
        {"UnterminatedName", kGood + "\"a=\"1\"\r\n", 5, "'=' expected"},
        {"TextAfterClosingQuote", kGood + "\"a\"=\"1\" x\r\n", 5, "after the closing"},
        {"MissingEquals", kGood + "\"a\" \"1\"\r\n", 5, "'=' expected"},
        {"UnknownData", kGood + "\"a\"=qword:1\r\n", 5, "unrecognised value data"},
        {"UnrecognisedLine", kGood + "garbage\r\n", 5, "unrecognised line"},
        {"DwordOutOfRange", kGood + "\"d\"=dword:100000000\r\n", 5, "out of range"},
        {"DwordWithoutDigits", kGood + "\"d\"=dword:\r\n", 5, "no digits"},
        {"DwordBadDigit", kGood + "\"d\"=dword:0000001g\r\n", 5, "bad hex digit"},
        {"BadHexDigit", kGood + "\"b\"=hex:01,0g\r\n", 5, "bad hex digit"},
        {"BadHexDigitOnContinuedLine", kGood + "\"b\"=hex:01,02,\\\r\n  03,x4,05\r\n", 6,
         "bad hex digit"},
        {"HexByteTooLong", kGood + "\"b\"=hex:01,234\r\n", 5, "more than two digits"},
        {"HexBytesWithoutComma", kGood + "\"b\"=hex:01 02\r\n", 5, "',' expected"},
        {"MissingHexByte", kGood + "\"b\"=hex:01,,02\r\n", 5, "missing"},
        {"HexEndsWithComma", kGood + "\"b\"=hex:01,02,\r\n", 5, "ends with ','"},
        {"BadHexType", kGood + "\"b\"=hex(zz):01\r\n", 5, "bad value type"},
        {"UnclosedHexType", kGood + "\"b\"=hex(2:01\r\n", 5, "no closing ')'"},
        {"OddUtf16TextBytes", kGood + "\"s\"=hex(2):41,00,00\r\n", 5, "odd number of bytes"},
        {"ContinuationAtEndOfFile", kGood + "\"b\"=hex:01,02,\\", 5, "no continuation line"},
        {"ContinuationOntoBlankLine", kGood + "\"b\"=hex:01,02,\\\r\n\r\n\"c\"=\"x\"\r\n", 5,
         "no continuation line"},
        {"ContinuationBadOnThirdLine", kGood + "\"b\"=hex:01,\\\r\n  02,\\\r\n  03,,\r\n", 7,
         "missing"},
        {"InvalidUtf8", kGood + "\"a\"=\"\xFF\"\r\n", 5, "not valid UTF-8"},
        {"LoneSurrogateInUtf16File",
         utf16File(kGood + "\"a\"=\"") + std::string("\x00\xD8", 2) + utf16File("\"\r\n").substr(2),
         5, "not valid UTF-16"},
        {"Utf16FileCutInACharacter", utf16File(kGood + "\"a\"=\"1\"") + "A", 5,
         "middle of a UTF-16"},
    };
    return kCases;
}

}  // namespace kybasic::regtest
