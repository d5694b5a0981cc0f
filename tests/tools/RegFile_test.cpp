#include "tools/kybasic/RegFile.h"

#include <gtest/gtest.h>

#include "os/Utf.h"
#include "tests/tools/RegTestSupport.h"

namespace kybasic {
namespace {

using regtest::dwordBytes;
using regtest::qwordBytes;
using regtest::utf16File;
using regtest::utf16FileText;

using namespace std::string_literals;

constexpr char kKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Kelbrin\\T";

std::vector<RegOperation> parseOk(std::string_view bytes) {
    std::vector<RegOperation> ops;
    RegParseError error;
    EXPECT_TRUE(parseRegFile(bytes, &ops, &error))
        << "line " << error.line << ": " << error.message;
    return ops;
}

std::string formatOk(const std::vector<RegKey>& keys) {
    std::string bytes, error;
    EXPECT_TRUE(formatRegFile(keys, &bytes, &error)) << error;
    return bytes;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        out.push_back(text.substr(start, end - start));
    }
    out.push_back(text.substr(start));
    return out;
}

void expectSetValue(const RegOperation& op, const RegValue& expected) {
    EXPECT_EQ(op.kind, RegOperation::Kind::kSetValue);
    EXPECT_EQ(op.value.name, expected.name);
    EXPECT_EQ(op.value.type, expected.type) << expected.name;
    EXPECT_EQ(op.value.data, expected.data) << expected.name;
}

TEST(RegFileTest, FormatWritesTheEditorLayout) {
    std::vector<RegKey> keys = {
        {kKey,
         {
             {"", REG_SZ, "default\0"s},
             {"Quote \"q\" \\", REG_SZ, "C:\\dir\\\0"s},
             {"Count", REG_DWORD, dwordBytes(42)},
             {"Bin", REG_BINARY, "\x01\xab"s},
             {"Exp", REG_EXPAND_SZ, "%A%\0"s},
             {"Multi", REG_MULTI_SZ, "a\0b\0\0"s},
             {"Big", REG_QWORD, qwordBytes(0x0102030405060708)},
             {"None", REG_NONE, ""},
             {"Odd", 0x20000, "\xff"},
             {"Empty", REG_SZ, "\0"s},
         }},
        {std::string(kKey) + "\\Sub", {}},
    };
    std::string expected =
        "Windows Registry Editor Version 5.00\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kelbrin\\T]\r\n"
        "@=\"default\"\r\n"
        "\"Quote \\\"q\\\" \\\\\"=\"C:\\\\dir\\\\\"\r\n"
        "\"Count\"=dword:0000002a\r\n"
        "\"Bin\"=hex:01,ab\r\n"
        "\"Exp\"=hex(2):25,00,41,00,25,00,00,00\r\n"
        "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
        "\"Big\"=hex(b):08,07,06,05,04,03,02,01\r\n"
        "\"None\"=hex(0):\r\n"
        "\"Odd\"=hex(20000):ff\r\n"
        "\"Empty\"=\"\"\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kelbrin\\T\\Sub]\r\n"
        "\r\n";
    EXPECT_EQ(formatOk(keys), utf16File(expected));
}

TEST(RegFileTest, LongHexDataWrapsAsTheEditorDoes) {
    std::string blob;
    for (int i = 0; i < 100; ++i)
        blob += static_cast<char>(i);
    std::string text = utf16FileText(formatOk({{kKey, {{"Blob", REG_BINARY, blob}}}}));
    std::vector<std::string> all = lines(text);
    ASSERT_GE(all.size(), 8u);
    // After `"Blob"=hex:` 22 bytes fit; continuation lines hold 25.
    EXPECT_EQ(all[3],
              "\"Blob\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,"
              "14,15,\\");
    EXPECT_EQ(all[4],
              "  16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,"
              "2d,2e,\\");
    EXPECT_EQ(all[7], "  61,62,63");
}

// Every line stays within 80 columns (unless a name alone is longer), and the wrapped
// data reads back the same, whatever the name's length and the data's.
TEST(RegFileTest, HexLinesStayWithinEightyColumnsAndReadBack) {
    for (size_t nameLength : {1u, 7u, 8u, 9u, 30u, 60u, 66u, 67u, 68u, 69u, 90u}) {
        for (size_t size : {0u, 1u, 21u, 22u, 23u, 25u, 26u, 100u, 300u}) {
            std::string name(nameLength, 'n');
            std::string data;
            for (size_t i = 0; i < size; ++i)
                data += static_cast<char>(0xA0 + i % 50);
            std::string bytes = formatOk({{kKey, {{name, REG_EXPAND_SZ, data + "\0"s}}}});
            for (const std::string& line : lines(utf16FileText(bytes))) {
                if (line.size() > 80) {
                    EXPECT_EQ(line.find(name + "\"=hex(2):"), 1u) << line;
                    EXPECT_LE(line.size(), name.size() + 16) << line;
                }
            }
            std::vector<RegOperation> ops = parseOk(bytes);
            ASSERT_EQ(ops.size(), 2u);
            expectSetValue(ops[1], {name, REG_EXPAND_SZ, data + "\0"s});
        }
    }
}

struct ValueCase {
    const char* label;
    RegValue value;
    const char* form;  // what follows '=' in the file
};

void PrintTo(const ValueCase& c, std::ostream* os) {
    *os << c.label;
}

class RegFileValueTest : public ::testing::TestWithParam<ValueCase> {};

// Whatever the store holds goes out and back unchanged; texts that a quoted string
// cannot carry go as UTF-16 hex.
TEST_P(RegFileValueTest, FormatThenParseGivesTheValueBack) {
    const ValueCase& c = GetParam();
    std::string bytes = formatOk({{kKey, {c.value}}});
    std::string text = utf16FileText(bytes);
    std::string written = text.substr(text.find("=", text.find("]")) + 1);
    EXPECT_EQ(written.rfind(c.form, 0), 0u) << written;

    std::vector<RegOperation> ops = parseOk(bytes);
    ASSERT_EQ(ops.size(), 2u);
    EXPECT_EQ(ops[0].kind, RegOperation::Kind::kCreateKey);
    EXPECT_EQ(ops[0].key.path, "SOFTWARE\\Kelbrin\\T");
    expectSetValue(ops[1], c.value);
}

INSTANTIATE_TEST_SUITE_P(
    EveryType, RegFileValueTest,
    ::testing::Values(
        ValueCase{"Text", {"Name", REG_SZ, "plain\0"s}, "\"plain\""},
        ValueCase{"EmptyText", {"Name", REG_SZ, "\0"s}, "\"\""},
        ValueCase{"NonAsciiText", {"Größe", REG_SZ, "München ☃ 𝄞\0"s}, "\"München"},
        ValueCase{"EscapedText", {"a\\\"b", REG_SZ, "say \"hi\" \\\\srv\0"s}, "\"say \\\"hi"},
        ValueCase{"DefaultValue", {"", REG_SZ, "d\0"s}, "\"d\""},
        ValueCase{"TextWithoutNul", {"Name", REG_SZ, "abc"}, "hex(1):61,00,62,00,63,00"},
        ValueCase{"NoBytesAtAll", {"Name", REG_SZ, ""}, "hex(1):"},
        ValueCase{"TextWithEmbeddedNul", {"Name", REG_SZ, "a\0b\0"s}, "hex(1):"},
        ValueCase{"TextWithLineBreak", {"Name", REG_SZ, "one\r\ntwo\0"s}, "hex(1):"},
        ValueCase{"InvalidUtf8Text", {"Name", REG_SZ, "\xff\xfe bad\0"s}, "hex(1):"},
        ValueCase{"TruncatedUtf8Text", {"Name", REG_SZ, "ok\xe2\x82\0"s}, "hex(1):"},
        ValueCase{"InvalidUtf8Name", {"N\xc3", REG_SZ, "x\0"s}, "\"x\""},
        ValueCase{"ExpandText", {"Path", REG_EXPAND_SZ, "%PATH%;ü\0"s}, "hex(2):25,00"},
        ValueCase{"InvalidUtf8Expand", {"Path", REG_EXPAND_SZ, "\x80\0"s}, "hex(2):80,dc"},
        ValueCase{"MultiText", {"List", REG_MULTI_SZ, "a\0bé\0\0"s}, "hex(7):61,00,00,00"},
        ValueCase{"EmptyMultiText", {"List", REG_MULTI_SZ, "\0\0"s}, "hex(7):00,00,00,00"},
        ValueCase{"Dword", {"N", REG_DWORD, dwordBytes(0xDEADBEEF)}, "dword:deadbeef"},
        ValueCase{"ShortDword", {"N", REG_DWORD, "\x01\x02\x03"}, "hex(4):01,02,03"},
        ValueCase{"Qword", {"N", REG_QWORD, qwordBytes(~0ull)}, "hex(b):ff,ff"},
        ValueCase{"Binary", {"B", REG_BINARY, "\x00\x7f\x80\xff"s}, "hex:00,7f,80,ff"},
        ValueCase{"EmptyBinary", {"B", REG_BINARY, ""}, "hex:"},
        ValueCase{"None", {"B", REG_NONE, "\x01"}, "hex(0):01"},
        ValueCase{"Link", {"B", REG_LINK, "abc"}, "hex(6):61,62,63"},
        ValueCase{"LargestType", {"B", 0xFFFFFFFF, "x"}, "hex(ffffffff):78"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(RegFileTest, NamesWithLineBreaksAreRefused) {
    std::string bytes, error;
    EXPECT_FALSE(formatRegFile({{kKey, {{"two\nlines", REG_SZ, "x\0"s}}}}, &bytes, &error));
    EXPECT_NE(error.find("line break"), std::string::npos);
    EXPECT_FALSE(formatRegFile({{std::string(kKey) + "\\a\rb", {}}}, &bytes, &error));
}

TEST(RegFileTest, EditorFileParses) {
    std::vector<RegOperation> ops = parseOk(regtest::editorFile());
    ASSERT_EQ(ops.size(), 13u);
    EXPECT_EQ(ops[0].kind, RegOperation::Kind::kCreateKey);
    EXPECT_EQ(ops[0].key.root, RegRoot::kLocalMachine);
    EXPECT_EQ(ops[0].key.path, "SOFTWARE\\Kelbrin\\Editor");
    expectSetValue(ops[1], {"", REG_SZ, "Default text\0"s});
    expectSetValue(ops[2], {"Path", REG_EXPAND_SZ, "%KY_HOME%\\bin\0"s});
    expectSetValue(ops[3], {"Servers", REG_MULTI_SZ, "alpha\0beta\0gamma\0\0"s});
    EXPECT_EQ(ops[3].line, 8);
    expectSetValue(ops[4], {"Retries", REG_DWORD, dwordBytes(10)});
    expectSetValue(ops[5], {"Quoted", REG_SZ, "say \"hi\" in C:\\Temp\0"s});
    expectSetValue(ops[6], {"Größe", REG_SZ, "München\0"s});
    expectSetValue(ops[7], {"Limit", REG_QWORD, qwordBytes(0x1000)});
    std::string blob;
    for (int i = 0x20; i < 0x48; ++i)
        blob += static_cast<char>(i);
    expectSetValue(ops[8], {"Blob", REG_BINARY, blob});
    EXPECT_EQ(ops[9].kind, RegOperation::Kind::kDeleteValue);
    EXPECT_EQ(ops[9].value.name, "Obsolete");
    EXPECT_EQ(ops[9].line, 16);
    EXPECT_EQ(ops[10].kind, RegOperation::Kind::kDeleteKey);
    EXPECT_EQ(ops[10].key.path, "SOFTWARE\\Kelbrin\\Editor\\Old");
    EXPECT_EQ(ops[11].kind, RegOperation::Kind::kCreateKey);
    EXPECT_EQ(ops[11].key.path, "SOFTWARE\\Kelbrin\\Editor\\New");
    EXPECT_EQ(ops[11].line, 20);
    expectSetValue(ops[12], {"Empty", REG_SZ, "\0"s});
    EXPECT_EQ(ops[12].key.path, "SOFTWARE\\Kelbrin\\Editor\\New");
}

TEST(RegFileTest, Utf8FilesParseLikeUtf16Ones) {
    std::string bytes = regtest::editorFile();
    std::string text = utf16FileText(bytes);
    std::vector<RegOperation> expected = parseOk(bytes);
    for (const std::string& variant : {text, "\xEF\xBB\xBF" + text}) {
        std::vector<RegOperation> ops = parseOk(variant);
        ASSERT_EQ(ops.size(), expected.size());
        for (size_t i = 0; i < ops.size(); ++i) {
            EXPECT_EQ(ops[i].kind, expected[i].kind);
            EXPECT_EQ(ops[i].line, expected[i].line);
            EXPECT_EQ(ops[i].key.path, expected[i].key.path);
            EXPECT_EQ(ops[i].value.name, expected[i].value.name);
            EXPECT_EQ(ops[i].value.data, expected[i].value.data);
        }
    }
}

// REGEDIT4 files hold narrow text: their hex(2) and hex(7) bytes are stored as they are.
TEST(RegFileTest, Regedit4StringsStayNarrow) {
    std::vector<RegOperation> ops = parseOk(
        "REGEDIT4\n"
        "\n"
        "[HKEY_CURRENT_USER\\Software\\Kelbrin\\Old]\n"
        "@=\"def\"\n"
        "\"Expand\"=hex(2):25,54,45,4d,50,25,\\\n"
        "  00\n"
        "\"Multi\"=hex(7):61,00,62,00,00\n"
        "\"Count\"=dword:00000010\n"
        "\"Gone\"=-\n");
    ASSERT_EQ(ops.size(), 6u);
    EXPECT_EQ(ops[0].key.root, RegRoot::kCurrentUser);
    expectSetValue(ops[1], {"", REG_SZ, "def\0"s});
    expectSetValue(ops[2], {"Expand", REG_EXPAND_SZ, "%TEMP%\0"s});
    expectSetValue(ops[3], {"Multi", REG_MULTI_SZ, "a\0b\0\0"s});
    expectSetValue(ops[4], {"Count", REG_DWORD, dwordBytes(16)});
    EXPECT_EQ(ops[5].kind, RegOperation::Kind::kDeleteValue);
}

TEST(RegFileTest, HandWrittenLeniencies) {
    // Short root names, spaces around '=', a short dword, upper-case hex, an unpadded
    // byte, a key path with doubled and trailing separators.
    std::vector<RegOperation> ops = parseOk(
        "Windows Registry Editor Version 5.00\n"
        "[hklm\\SOFTWARE\\\\Kelbrin\\T\\]   \n"
        "  \"a\" = dword:1F\n"
        "\"b\"=HEX(B):A,0B\n"
        "\t; indented comment\n");
    ASSERT_EQ(ops.size(), 3u);
    EXPECT_EQ(ops[0].key.path, "SOFTWARE\\Kelbrin\\T");
    expectSetValue(ops[1], {"a", REG_DWORD, dwordBytes(0x1F)});
    expectSetValue(ops[2], {"b", REG_QWORD, "\x0a\x0b"});
}

class RegFileMalformedTest : public ::testing::TestWithParam<regtest::MalformedCase> {};

TEST_P(RegFileMalformedTest, IsRefusedWithItsLine) {
    const regtest::MalformedCase& c = GetParam();
    std::vector<RegOperation> ops = {RegOperation{}};
    RegParseError error;
    ASSERT_FALSE(parseRegFile(c.bytes, &ops, &error));
    EXPECT_EQ(error.line, c.line) << error.message;
    EXPECT_NE(error.message.find(c.message), std::string::npos) << error.message;
    EXPECT_EQ(ops.size(), 1u) << "a refused file returns no operations";
}

INSTANTIATE_TEST_SUITE_P(Cases, RegFileMalformedTest,
                         ::testing::ValuesIn(regtest::malformedCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// A crafted file must fail cleanly, never read out of bounds (the sanitizer build
// checks that): every prefix of a good file, and every byte of it replaced by the
// characters the grammar cares about.
TEST(RegFileTest, DamagedFilesFailCleanly) {
    std::string utf16 = regtest::editorFile();
    std::string utf8 = utf16FileText(utf16);
    const char kReplacements[] = {'\0', '\\', ',', '"', '[', ']', '=', '\n', '(', '\xFF', '\xD8'};
    for (const std::string& good : {utf16, utf8}) {
        for (size_t cut = 0; cut < good.size(); ++cut) {
            std::vector<RegOperation> ops;
            RegParseError error;
            if (!parseRegFile(good.substr(0, cut), &ops, &error)) {
                EXPECT_GE(error.line, 1);
                EXPECT_FALSE(error.message.empty());
            }
        }
        for (size_t at = 0; at < good.size(); ++at) {
            for (char c : kReplacements) {
                std::string damaged = good;
                damaged[at] = c;
                std::vector<RegOperation> ops;
                RegParseError error;
                if (!parseRegFile(damaged, &ops, &error)) {
                    EXPECT_GE(error.line, 1);
                }
            }
        }
    }
}

struct KeyNameCase {
    const char* text;
    RegRoot root;
    const char* path;
};

TEST(RegFileTest, KeyNamesTakeEveryRootSpelling) {
    const KeyNameCase cases[] = {
        {"HKLM\\Software\\X", RegRoot::kLocalMachine, "Software\\X"},
        {"hkey_local_machine\\Software", RegRoot::kLocalMachine, "Software"},
        {"HKU\\S-1-5-18", RegRoot::kUsers, "S-1-5-18"},
        {"HKEY_USERS", RegRoot::kUsers, ""},
        {"hkcu/Software//X/", RegRoot::kCurrentUser, "Software\\X"},
        {"HKEY_CURRENT_USER\\", RegRoot::kCurrentUser, ""},
        {"HKCR\\.txt", RegRoot::kClassesRoot, ".txt"},
        {"HKEY_CLASSES_ROOT\\a\\b", RegRoot::kClassesRoot, "a\\b"},
    };
    for (const KeyNameCase& c : cases) {
        RegKeyName key;
        std::string error;
        ASSERT_TRUE(parseKeyName(c.text, &key, &error)) << c.text << ": " << error;
        EXPECT_EQ(key.root, c.root) << c.text;
        EXPECT_EQ(key.path, c.path) << c.text;
    }
    EXPECT_EQ(fullKeyName({RegRoot::kClassesRoot, "a\\b"}), "HKEY_CLASSES_ROOT\\a\\b");
    EXPECT_EQ(fullKeyName({RegRoot::kUsers, ""}), "HKEY_USERS");
}

TEST(RegFileTest, KeyNamesRefused) {
    const std::pair<const char*, const char*> cases[] = {
        {"\\\\server\\HKLM\\Software", "remote"},
        {"//server/HKLM/Software", "remote"},
        {"HKCC\\Software", "must start with"},
        {"HKLMX\\Software", "must start with"},
        {"", "must start with"},
        {"\\Software", "must start with"},
    };
    for (const auto& [text, message] : cases) {
        RegKeyName key;
        std::string error;
        EXPECT_FALSE(parseKeyName(text, &key, &error)) << text;
        EXPECT_NE(error.find(message), std::string::npos) << text << ": " << error;
    }
}

}  // namespace
}  // namespace kybasic
