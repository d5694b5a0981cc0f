#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "os/registry/Registry.h"
#include "tests/support/TempDir.h"
#include "tests/tools/RegTestSupport.h"
#include "tools/kybasic/Commands.h"
#include "tools/kybasic/RegFile.h"

namespace kybasic {
namespace {

namespace reg = kyos::reg;
using namespace std::string_literals;
using regtest::dwordBytes;
using regtest::qwordBytes;

constexpr char kBase[] = "SOFTWARE\\Kelbrin\\RegTest";
constexpr char kBaseName[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Kelbrin\\RegTest";
constexpr char kSuccess[] = "The operation completed successfully.\n";
constexpr char kNotFound[] =
    "ERROR: The system was unable to find the specified registry key or value.\n";
constexpr char kCanceled[] = "The operation was canceled by the user.\n";

std::string under(const std::string& relative) {
    return relative.empty() ? kBase : std::string(kBase) + "\\" + relative;
}

class RegCommandTest : public kytest::StoreTest {
protected:
    struct Result {
        int code;
        std::string out;
        std::string err;
    };

    static Result reg(const std::vector<std::string>& args, const std::string& input = "") {
        std::istringstream in(input);
        std::ostringstream out, err;
        int code = runReg(args, in, out, err);
        return {code, out.str(), err.str()};
    }

    static void put(const std::string& path, const std::string& name, DWORD type,
                    const std::string& data, HKEY root = HKEY_LOCAL_MACHINE) {
        HKEY key;
        ASSERT_EQ(
            reg::createKey(root, path, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, &key, nullptr),
            ERROR_SUCCESS)
            << path;
        EXPECT_EQ(reg::setValue(key, name, type, data.data(), static_cast<DWORD>(data.size())),
                  ERROR_SUCCESS);
        reg::closeKey(key);
    }

    static void makeKey(const std::string& path, HKEY root = HKEY_LOCAL_MACHINE) {
        HKEY key;
        ASSERT_EQ(
            reg::createKey(root, path, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, &key, nullptr),
            ERROR_SUCCESS);
        reg::closeKey(key);
    }

    static std::optional<RegValue> get(const std::string& path, const std::string& name,
                                       HKEY root = HKEY_LOCAL_MACHINE) {
        HKEY key;
        if (reg::openKey(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
            return std::nullopt;
        DWORD type = 0, size = 0;
        std::optional<RegValue> value;
        if (reg::queryValue(key, name, &type, nullptr, &size) == ERROR_SUCCESS) {
            std::string data(size, '\0');
            if (reg::queryValue(key, name, &type, data.data(), &size) == ERROR_SUCCESS) {
                data.resize(size);
                value = RegValue{name, type, data};
            }
        }
        reg::closeKey(key);
        return value;
    }

    static bool exists(const std::string& path, HKEY root = HKEY_LOCAL_MACHINE) {
        HKEY key;
        if (reg::openKey(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
            return false;
        reg::closeKey(key);
        return true;
    }

    // The whole machine root as a file, to compare the store before and after.
    std::string snapshot() {
        std::string file = dir_.file("snapshot-" + std::to_string(snapshots_++) + ".reg");
        Result r = reg({"export", "HKLM", file, "/y"});
        EXPECT_EQ(r.code, 0) << r.err;
        return kytest::readFile(file);
    }

    // A tree with every kind of value: names and data that the file format must carry
    // through unchanged.
    void buildEveryTypeTree() {
        std::string blob;
        for (int i = 0; i < 300; ++i)
            blob += static_cast<char>(i * 7);
        put(under(""), "", REG_SZ, "default text\0"s);
        put(under(""), "Empty", REG_SZ, "\0"s);
        put(under(""), "Größe", REG_SZ, "München 𝄞\0"s);
        put(under(""), "Quote\"Back\\slash", REG_SZ, "C:\\dir\\\"x\"\0"s);
        put(under(""), "NoNul", REG_SZ, "abc");
        put(under(""), "TwoLines", REG_SZ, "one\r\ntwo\0"s);
        put(under(""), "BadUtf8", REG_SZ, "\xff\xfe\0"s);
        put(under(""), "Expand", REG_EXPAND_SZ, "%KY_HOME%\\bin\0"s);
        put(under(""), "Multi", REG_MULTI_SZ, "alpha\0βeta\0\0"s);
        put(under(""), "EmptyMulti", REG_MULTI_SZ, "\0\0"s);
        put(under(""), "Dword", REG_DWORD, dwordBytes(0xFFFFFFFF));
        put(under(""), "Qword", REG_QWORD, qwordBytes(0x0123456789ABCDEFull));
        put(under(""), "Blob", REG_BINARY, blob);
        put(under(""), "EmptyBlob", REG_BINARY, "");
        put(under(""), "None", REG_NONE, "");
        put(under(""), "Other", 0x1234, "\x01\x02");
        put(under("Child\\Grandchild"), "Deep", REG_SZ, "deep\0"s);
        put(under("another"), "", REG_DWORD, dwordBytes(7));
        makeKey(under("Child\\Empty"));
    }

    int snapshots_ = 0;
};

TEST_F(RegCommandTest, QueryShowsValuesThenSubkeys) {
    put(under(""), "", REG_SZ, "d\0"s);
    put(under(""), "Name", REG_SZ, "text\0"s);
    put(under(""), "Count", REG_DWORD, dwordBytes(42));
    put(under(""), "Big", REG_QWORD, qwordBytes(0x100000000ull));
    put(under(""), "Bin", REG_BINARY, "\x01\xab");
    put(under(""), "List", REG_MULTI_SZ, "a\0b\0\0"s);
    put(under(""), "Path", REG_EXPAND_SZ, "%X%\0"s);
    put(under(""), "Nothing", REG_NONE, "");
    makeKey(under("Child1"));
    makeKey(under("child2"));

    // Typed in other letter case, shown as created.
    Result r = reg({"query", "hklm\\software\\kelbrin\\regtest"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, std::string("\n") + kBaseName +
                         "\n"
                         "    (Default)    REG_SZ    d\n"
                         "    Big    REG_QWORD    0x100000000\n"
                         "    Bin    REG_BINARY    01AB\n"
                         "    Count    REG_DWORD    0x2a\n"
                         "    List    REG_MULTI_SZ    a\\0b\n"
                         "    Name    REG_SZ    text\n"
                         "    Nothing    REG_NONE    \n"
                         "    Path    REG_EXPAND_SZ    %X%\n"
                         "\n" +
                         kBaseName + "\\Child1\n" + kBaseName + "\\child2\n");
}

TEST_F(RegCommandTest, QueryOneValue) {
    put(under(""), "", REG_SZ, "d\0"s);
    put(under(""), "Name", REG_SZ, "text\0"s);
    Result r = reg({"query", std::string("HKLM\\") + kBase, "/v", "NAME"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, std::string("\n") + kBaseName + "\n    NAME    REG_SZ    text\n\n");
    r = reg({"query", std::string("HKLM\\") + kBase, "/ve"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, std::string("\n") + kBaseName + "\n    (Default)    REG_SZ    d\n\n");
}

TEST_F(RegCommandTest, QuerySearchesTheTree) {
    put(under(""), "a", REG_SZ, "1\0"s);
    put(under("Child"), "a", REG_DWORD, dwordBytes(2));
    put(under("Child"), "b", REG_SZ, "3\0"s);
    makeKey(under("Child\\Deep"));
    makeKey(under("Other"));
    const std::string key = std::string("HKLM\\") + kBase;
    const std::string base = kBaseName;

    Result r = reg({"query", key, "/s"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "\n" + base + "\n    a    REG_SZ    1\n\n" +  //
                         base + "\\Child\n    a    REG_DWORD    0x2\n    b    REG_SZ    3\n\n" +
                         base + "\\Child\\Deep\n" + base + "\\Other\n\n" +
                         "End of search: 6 match(es) found.\n");

    r = reg({"query", key, "/v", "a", "/s"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "\n" + base + "\n    a    REG_SZ    1\n\n" + base +
                         "\\Child\n    a    REG_DWORD    0x2\n\n" +
                         "End of search: 2 match(es) found.\n");

    r = reg({"query", key, "/v", "missing", "/s"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "\nEnd of search: 0 match(es) found.\n");
}

// Keys below HKEY_CURRENT_USER and HKEY_CLASSES_ROOT live elsewhere in the store; they
// are still shown below the root they were asked for.
TEST_F(RegCommandTest, KeysAreShownBelowTheRootAskedFor) {
    makeKey("Software\\Kelbrin\\User", HKEY_CURRENT_USER);
    makeKey(".kyb", HKEY_CLASSES_ROOT);
    Result r = reg({"query", "hkcu\\SOFTWARE\\kelbrin\\user"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "\nHKEY_CURRENT_USER\\Software\\Kelbrin\\User\n");
    r = reg({"query", "HKEY_CLASSES_ROOT\\.KYB"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "\nHKEY_CLASSES_ROOT\\.kyb\n");
}

struct ErrorCase {
    std::vector<std::string> args;
    std::string err;  // a part of the error output
};

TEST_F(RegCommandTest, QueryErrors) {
    put(under(""), "Name", REG_SZ, "text\0"s);
    const std::string key = std::string("HKLM\\") + kBase;
    const ErrorCase cases[] = {
        {{"query", key + "\\Missing"}, kNotFound},
        {{"query", key, "/v", "Missing"}, kNotFound},
        {{"query", key, "/ve"}, kNotFound},
        {{"query", "\\\\server\\HKLM\\Software"}, "ERROR: Remote keys"},
        {{"query", "HKXX\\Software"}, "ERROR: Invalid key name 'HKXX\\Software'"},
        {{"query", key, "/v", "a", "/ve"}, "ERROR: Invalid syntax. /v and /ve"},
        {{"query", key, "/v"}, "ERROR: Invalid syntax. /v needs a value."},
        {{"query"}, "ERROR: Invalid syntax. KEY is missing."},
        {{"query", key, "extra"}, "ERROR: Invalid syntax. Unexpected argument 'extra'."},
        {{"frobnicate"}, "ERROR: Invalid syntax. Unknown verb 'frobnicate'."},
    };
    for (const ErrorCase& c : cases) {
        Result r = reg(c.args);
        EXPECT_EQ(r.code, 1) << c.args.back();
        EXPECT_EQ(r.out, "") << c.args.back();
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << c.args.back() << ": " << r.err;
    }
}

struct AddCase {
    std::vector<std::string> switches;
    DWORD type;
    std::string data;
};

TEST_F(RegCommandTest, AddStoresEachType) {
    const AddCase cases[] = {
        {{"/d", "text"}, REG_SZ, "text\0"s},
        {{}, REG_SZ, "\0"s},
        {{"/t", "reg_expand_sz", "/d", "%HOME%\\x"}, REG_EXPAND_SZ, "%HOME%\\x\0"s},
        {{"/t", "REG_MULTI_SZ", "/d", "a\\0bc\\0d"}, REG_MULTI_SZ, "a\0bc\0d\0\0"s},
        {{"/t", "REG_MULTI_SZ", "/s", "|", "/d", "a|b\\0c"}, REG_MULTI_SZ, "a\0b\\0c\0\0"s},
        {{"/t", "REG_MULTI_SZ", "/s", "€", "/d", "x€y"}, REG_MULTI_SZ, "x\0y\0\0"s},
        {{"/t", "REG_MULTI_SZ"}, REG_MULTI_SZ, "\0\0"s},
        {{"/t", "REG_DWORD", "/d", "4294967295"}, REG_DWORD, dwordBytes(0xFFFFFFFF)},
        {{"/t", "REG_DWORD", "/d", "0x1F"}, REG_DWORD, dwordBytes(0x1F)},
        {{"/t", "REG_DWORD"}, REG_DWORD, dwordBytes(0)},
        {{"/t", "REG_QWORD", "/d", "18446744073709551615"}, REG_QWORD, qwordBytes(~0ull)},
        {{"/t", "REG_QWORD", "/d", "0x100000000"}, REG_QWORD, qwordBytes(0x100000000ull)},
        {{"/t", "REG_BINARY", "/d", "00fFa1"}, REG_BINARY, "\x00\xff\xa1"s},
        {{"/t", "REG_BINARY"}, REG_BINARY, ""},
        {{"/t", "REG_NONE", "/d", "01"}, REG_NONE, "\x01"},
    };
    int n = 0;
    for (const AddCase& c : cases) {
        std::string name = "v" + std::to_string(n++);
        std::vector<std::string> args = {"add", std::string("HKLM\\") + kBase, "/v", name};
        args.insert(args.end(), c.switches.begin(), c.switches.end());
        Result r = reg(args);
        EXPECT_EQ(r.code, 0) << name << ": " << r.err;
        EXPECT_EQ(r.out, kSuccess);
        std::optional<RegValue> value = get(kBase, name);
        ASSERT_TRUE(value) << name;
        EXPECT_EQ(value->type, c.type) << name;
        EXPECT_EQ(value->data, c.data) << name;
    }
    Result r = reg({"add", std::string("HKLM\\") + kBase, "/ve", "/d", "def", "/f"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(get(kBase, "")->data, "def\0"s);
}

TEST_F(RegCommandTest, AddRefusesBadDataAndWritesNothing) {
    const std::string key = std::string("HKLM\\") + kBase;
    const ErrorCase cases[] = {
        {{"/t", "REG_DWORD", "/d", "4294967296"}, "ERROR: Invalid REG_DWORD data '4294967296'"},
        {{"/t", "REG_DWORD", "/d", "-1"}, "ERROR: Invalid REG_DWORD data"},
        {{"/t", "REG_DWORD", "/d", "12x"}, "ERROR: Invalid REG_DWORD data"},
        {{"/t", "REG_DWORD", "/d", "0x"}, "ERROR: Invalid REG_DWORD data"},
        {{"/t", "REG_DWORD", "/d", ""}, "ERROR: Invalid REG_DWORD data"},
        {{"/t", "REG_QWORD", "/d", "18446744073709551616"}, "ERROR: Invalid REG_QWORD data"},
        {{"/t", "REG_QWORD", "/d", "0x10000000000000000"}, "ERROR: Invalid REG_QWORD data"},
        {{"/t", "REG_BINARY", "/d", "abc"}, "ERROR: Invalid REG_BINARY data"},
        {{"/t", "REG_BINARY", "/d", "zz"}, "ERROR: Invalid REG_BINARY data"},
        {{"/t", "REG_WORD", "/d", "1"}, "ERROR: Invalid type 'REG_WORD'"},
        {{"/t", "REG_MULTI_SZ", "/d", "a\\0\\0b"}, "ERROR: REG_MULTI_SZ data cannot hold"},
        {{"/t", "REG_MULTI_SZ", "/d", "a\\0"}, "ERROR: REG_MULTI_SZ data cannot hold"},
        {{"/t", "REG_MULTI_SZ", "/s", "ab", "/d", "a"}, "ERROR: The separator"},
        {{"/s", "|", "/d", "a"}, "ERROR: Invalid syntax. /s (the separator)"},
        {{"/ve", "/d", "a"}, "ERROR: Invalid syntax. /v and /ve"},
    };
    for (const ErrorCase& c : cases) {
        std::vector<std::string> args = {"add", key, "/v", "x"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Result r = reg(args);
        EXPECT_EQ(r.code, 1) << c.err;
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
    }
    Result r = reg({"add", key, "/d", "a"});
    EXPECT_EQ(r.err.rfind("ERROR: Invalid syntax. /t, /d and /s need /v or /ve.", 0), 0u) << r.err;
    EXPECT_FALSE(exists(kBase));
}

TEST_F(RegCommandTest, AddWithoutValueCreatesTheKey) {
    Result r = reg({"add", std::string("HKLM\\") + kBase + "\\New\\Deeper"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, kSuccess);
    EXPECT_TRUE(exists(under("New\\Deeper")));
}

struct AnswerCase {
    std::string input;
    bool proceeds;
    int questions;
};

const AnswerCase kAnswers[] = {
    {"yes\n", true, 1}, {"Y\n", true, 1}, {"  YES \r\n", true, 1},  {"no\n", false, 1},
    {"n\n", false, 1},  {"", false, 1},   {"maybe\nn\n", false, 2}, {"what\ny\n", true, 2},
};

size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

TEST_F(RegCommandTest, AddAsksBeforeOverwriting) {
    for (const AnswerCase& a : kAnswers) {
        put(under(""), "Name", REG_SZ, "old\0"s);
        Result r = reg({"add", std::string("HKLM\\") + kBase, "/v", "Name", "/d", "new"}, a.input);
        EXPECT_EQ(count(r.out, "Value Name exists, overwrite(Yes/No)? "), size_t(a.questions))
            << r.out;
        EXPECT_EQ(r.code, a.proceeds ? 0 : 1) << a.input;
        EXPECT_EQ(get(kBase, "Name")->data, a.proceeds ? "new\0"s : "old\0"s) << a.input;
        EXPECT_NE(r.out.find(a.proceeds ? kSuccess : kCanceled), std::string::npos) << r.out;
    }
    // A new value, or /f, asks nothing.
    Result r = reg({"add", std::string("HKLM\\") + kBase, "/v", "Other", "/d", "x"});
    EXPECT_EQ(r.out, kSuccess);
    r = reg({"add", std::string("HKLM\\") + kBase, "/v", "Other", "/d", "y", "/F"});
    EXPECT_EQ(r.out, kSuccess);
    EXPECT_EQ(get(kBase, "Other")->data, "y\0"s);
}

TEST_F(RegCommandTest, DeleteValuesAndKeys) {
    const std::string key = std::string("HKLM\\") + kBase;
    put(under(""), "", REG_SZ, "d\0"s);
    put(under(""), "a", REG_SZ, "1\0"s);
    put(under(""), "b", REG_SZ, "2\0"s);
    put(under("Sub"), "c", REG_SZ, "3\0"s);

    EXPECT_EQ(reg({"delete", key, "/v", "A", "/f"}).out, kSuccess);
    EXPECT_FALSE(get(kBase, "a"));
    EXPECT_TRUE(get(kBase, "b"));

    EXPECT_EQ(reg({"delete", key, "/ve", "/f"}).out, kSuccess);
    EXPECT_FALSE(get(kBase, ""));

    put(under(""), "a", REG_SZ, "1\0"s);
    EXPECT_EQ(reg({"delete", key, "/va", "/f"}).out, kSuccess);
    EXPECT_FALSE(get(kBase, "a"));
    EXPECT_FALSE(get(kBase, "b"));
    EXPECT_TRUE(get(under("Sub"), "c")) << "/va keeps subkeys";

    Result r = reg({"delete", key, "/v", "missing", "/f"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, kNotFound);

    EXPECT_EQ(reg({"delete", key, "/f"}).out, kSuccess);
    EXPECT_FALSE(exists(kBase));
    r = reg({"delete", key, "/f"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, kNotFound);
}

TEST_F(RegCommandTest, DeleteAsksFirst) {
    const std::string key = std::string("HKLM\\software\\kelbrin\\regtest");
    struct Question {
        std::vector<std::string> switches;
        std::string text;
    };
    const Question questions[] = {
        {{"/v", "a"}, "Delete the registry value a (Yes/No)? "},
        {{"/ve"}, "Delete the registry value (Default) (Yes/No)? "},
        {{"/va"},
         std::string("Delete all values under the registry key ") + kBaseName + " (Yes/No)? "},
        {{}, std::string("Permanently delete the registry key ") + kBaseName + " (Yes/No)? "},
    };
    for (const Question& q : questions) {
        for (const AnswerCase& a : kAnswers) {
            put(under(""), "", REG_SZ, "d\0"s);
            put(under(""), "a", REG_SZ, "1\0"s);
            std::vector<std::string> args = {"delete", key};
            args.insert(args.end(), q.switches.begin(), q.switches.end());
            Result r = reg(args, a.input);
            EXPECT_EQ(count(r.out, q.text), size_t(a.questions)) << r.out;
            EXPECT_EQ(r.code, a.proceeds ? 0 : 1);
            if (!a.proceeds) {
                EXPECT_TRUE(get(kBase, "a")) << q.text << a.input;
                EXPECT_TRUE(get(kBase, "")) << q.text << a.input;
            }
        }
    }
}

TEST_F(RegCommandTest, DeleteRefusesARoot) {
    put(under(""), "a", REG_SZ, "1\0"s);
    for (const char* root : {"HKLM", "HKEY_USERS\\", "HKCU", "HKCR"}) {
        Result r = reg({"delete", root, "/f"});
        EXPECT_EQ(r.code, 1) << root;
        EXPECT_NE(r.err.find("cannot be deleted"), std::string::npos) << r.err;
    }
    EXPECT_TRUE(get(kBase, "a"));
}

TEST_F(RegCommandTest, CopyValuesOnlyOrTheWholeTree) {
    put(under("From"), "a", REG_SZ, "1\0"s);
    put(under("From"), "", REG_DWORD, dwordBytes(5));
    put(under("From\\Sub"), "b", REG_SZ, "2\0"s);
    const std::string from = std::string("HKLM\\") + kBase + "\\From";

    Result r = reg({"copy", from, std::string("HKLM\\") + kBase + "\\Flat"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, kSuccess);
    EXPECT_EQ(get(under("Flat"), "a")->data, "1\0"s);
    EXPECT_EQ(get(under("Flat"), "")->data, dwordBytes(5));
    EXPECT_FALSE(exists(under("Flat\\Sub"))) << "without /s, subkeys stay behind";

    r = reg({"copy", from, std::string("HKLM\\") + kBase + "\\Tree", "/s"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(get(under("Tree"), "a")->data, "1\0"s);
    EXPECT_EQ(get(under("Tree\\Sub"), "b")->data, "2\0"s);
    EXPECT_EQ(get(under("From\\Sub"), "b")->data, "2\0"s) << "the source stays";
}

TEST_F(RegCommandTest, CopyAsksBeforeOverwritingEachValue) {
    put(under("From"), "a", REG_SZ, "new a\0"s);
    put(under("From"), "b", REG_SZ, "new b\0"s);
    put(under("From\\Sub"), "c", REG_SZ, "new c\0"s);
    put(under("From\\Sub"), "d", REG_SZ, "new d\0"s);
    put(under("To"), "a", REG_SZ, "old a\0"s);
    put(under("To\\Sub"), "c", REG_SZ, "old c\0"s);
    const std::string from = std::string("HKLM\\") + kBase + "\\From";
    const std::string to = std::string("HKLM\\") + kBase + "\\To";

    Result r = reg({"copy", from, to, "/s"}, "no\nyes\n");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Value a exists, overwrite(Yes/No)? Value Sub\\c exists, overwrite(Yes/No)? " +
                         std::string(kSuccess));
    EXPECT_EQ(get(under("To"), "a")->data, "old a\0"s);
    EXPECT_EQ(get(under("To"), "b")->data, "new b\0"s);
    EXPECT_EQ(get(under("To\\Sub"), "c")->data, "new c\0"s);
    EXPECT_EQ(get(under("To\\Sub"), "d")->data, "new d\0"s);

    r = reg({"copy", from, to, "/s", "/f"});
    EXPECT_EQ(r.out, kSuccess);
    EXPECT_EQ(get(under("To"), "a")->data, "new a\0"s);
}

TEST_F(RegCommandTest, CopyErrors) {
    put(under("From\\Sub"), "b", REG_SZ, "2\0"s);
    const std::string from = std::string("HKLM\\") + kBase + "\\From";
    const ErrorCase cases[] = {
        {{"copy", from + "\\Missing", from + "2"}, kNotFound},
        {{"copy", from, "hklm\\" + std::string(kBase) + "\\FROM", "/f"}, "ERROR: The source and"},
        {{"copy", from, from + "\\Sub\\Inner", "/s", "/f"}, "ERROR: A key cannot be copied into"},
        {{"copy", from}, "ERROR: Invalid syntax. TO is missing."},
    };
    std::string before = snapshot();
    for (const ErrorCase& c : cases) {
        Result r = reg(c.args);
        EXPECT_EQ(r.code, 1) << c.err;
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
    }
    EXPECT_EQ(snapshot(), before);
}

// The round trip the administrator relies on: what export writes, import reads back into
// an empty store exactly, so that a second export is the same file.
TEST_F(RegCommandTest, ExportImportRoundTripIsByteIdentical) {
    buildEveryTypeTree();
    std::string first = dir_.file("first.reg");
    Result r = reg({"export", std::string("hklm\\") + kBase, first});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, kSuccess);
    std::string bytes = kytest::readFile(first);

    // Parents before children, siblings in the store's order, names as created.
    std::string text = regtest::utf16FileText(bytes);
    std::vector<std::string> headers;
    for (size_t at = text.find("\r\n["); at != std::string::npos; at = text.find("\r\n[", at + 1)) {
        headers.push_back(text.substr(at + 2, text.find("]\r\n", at) - at - 1));
    }
    const std::string base = std::string("[") + kBaseName;
    EXPECT_EQ(headers,
              (std::vector<std::string>{base + "]", base + "\\another]", base + "\\Child]",
                                        base + "\\Child\\Empty]", base + "\\Child\\Grandchild]"}));

    reg::setStorePath(dir_.file("second.db"));
    setenv("KY_REGISTRY", dir_.file("second.db").c_str(), 1);
    ASSERT_FALSE(exists(kBase));
    r = reg({"import", first});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, kSuccess);
    EXPECT_EQ(get(kBase, "BadUtf8")->data, "\xff\xfe\0"s);
    EXPECT_EQ(get(kBase, "NoNul")->data, "abc");
    EXPECT_EQ(get(kBase, "Other")->type, 0x1234u);
    EXPECT_TRUE(exists(under("Child\\Empty")));

    std::string second = dir_.file("second.reg");
    r = reg({"export", std::string("HKLM\\") + kBase, second});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(kytest::readFile(second), bytes);
}

// An export reads one moment of the store and takes no write lock: a writer that holds
// the lock for the whole export neither holds it up nor waits for it, and what the
// writer has not committed stays out of the file.
TEST_F(RegCommandTest, ExportTakesNoWriteLock) {
    buildEveryTypeTree();
    constexpr auto kPatience = std::chrono::seconds(5);
    std::mutex mutex;
    std::condition_variable changed;
    bool writing = false, exported = false, exportedWhileWriting = false;
    DWORD committed = ERROR_INVALID_STATE;
    std::thread writer([&] {
        reg::Transaction transaction;  // holds the store's write lock until it commits
        put(under("Written"), "w", REG_SZ, "during\0"s);
        std::unique_lock<std::mutex> lock(mutex);
        writing = true;
        changed.notify_all();
        exportedWhileWriting = changed.wait_for(lock, kPatience, [&] { return exported; });
        lock.unlock();
        committed = transaction.commit();
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return writing; });
    }
    std::string file = dir_.file("during.reg");
    Result r = reg({"export", std::string("HKLM\\") + kBase, file});
    {
        std::lock_guard<std::mutex> lock(mutex);
        exported = true;
        changed.notify_all();
    }
    writer.join();
    EXPECT_TRUE(exportedWhileWriting) << "the export waited for the writer";
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(committed, ERROR_SUCCESS);
    std::string text = regtest::utf16FileText(kytest::readFile(file));
    EXPECT_NE(text.find("\\Child\\Grandchild]"), std::string::npos);
    EXPECT_EQ(text.find("Written"), std::string::npos);
    EXPECT_TRUE(get(under("Written"), "w").has_value());
}

TEST_F(RegCommandTest, ExportAsksBeforeReplacingAFile) {
    put(under(""), "a", REG_SZ, "1\0"s);
    std::string file = dir_.file("out.reg");
    kytest::writeFile(file, "keep me");
    Result r = reg({"export", std::string("HKLM\\") + kBase, file}, "n\n");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "File " + file + " already exists. Overwrite (Yes/No)? " + kCanceled);
    EXPECT_EQ(kytest::readFile(file), "keep me");
    r = reg({"export", std::string("HKLM\\") + kBase, file}, "y\n");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(kytest::readFile(file).substr(0, 2), "\xFF\xFE");
    r = reg({"export", std::string("HKLM\\") + kBase, file, "/y"});
    EXPECT_EQ(r.out, kSuccess);
}

TEST_F(RegCommandTest, ExportAndImportErrors) {
    put(under(""), "a", REG_SZ, "1\0"s);
    const ErrorCase cases[] = {
        {{"export", std::string("HKLM\\") + kBase + "\\Missing", dir_.file("x.reg")}, kNotFound},
        {{"export", std::string("HKLM\\") + kBase, dir_.file("no/such/dir.reg")},
         "ERROR: Cannot write"},
        {{"import", dir_.file("missing.reg")}, "ERROR: Cannot read"},
        {{"import", dir_.path()}, "ERROR: Cannot read"},
        {{"import"}, "ERROR: Invalid syntax. FILE is missing."},
    };
    for (const ErrorCase& c : cases) {
        Result r = reg(c.args);
        EXPECT_EQ(r.code, 1) << c.err;
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
    }
}

TEST_F(RegCommandTest, EditorFileImports) {
    const std::string key = "SOFTWARE\\Kelbrin\\Editor";
    put(key, "Obsolete", REG_SZ, "x\0"s);
    put(key, "Retries", REG_DWORD, dwordBytes(1));
    put(key, "Kept", REG_SZ, "untouched\0"s);
    put(key + "\\Old\\Deeper", "v", REG_SZ, "x\0"s);
    std::string file = dir_.file("editor.reg");
    kytest::writeFile(file, regtest::editorFile());

    Result r = reg({"import", file});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, kSuccess);
    EXPECT_EQ(get(key, "")->data, "Default text\0"s);
    EXPECT_EQ(get(key, "Path")->type, REG_EXPAND_SZ);
    EXPECT_EQ(get(key, "Path")->data, "%KY_HOME%\\bin\0"s);
    EXPECT_EQ(get(key, "Servers")->type, REG_MULTI_SZ);
    EXPECT_EQ(get(key, "Servers")->data, "alpha\0beta\0gamma\0\0"s);
    EXPECT_EQ(get(key, "Retries")->data, dwordBytes(10));
    EXPECT_EQ(get(key, "Quoted")->data, "say \"hi\" in C:\\Temp\0"s);
    EXPECT_EQ(get(key, "größe")->data, "München\0"s);
    EXPECT_EQ(get(key, "Limit")->data, qwordBytes(0x1000));
    EXPECT_EQ(get(key, "Blob")->data.size(), 40u);
    EXPECT_EQ(get(key, "Kept")->data, "untouched\0"s);
    EXPECT_FALSE(get(key, "Obsolete"));
    EXPECT_FALSE(exists(key + "\\Old"));
    EXPECT_EQ(get(key + "\\New", "Empty")->data, "\0"s);
}

TEST_F(RegCommandTest, Regedit4FileImports) {
    put("Software\\Kelbrin\\Old", "Gone", REG_SZ, "x\0"s, HKEY_CURRENT_USER);
    std::string file = dir_.file("old.reg");
    kytest::writeFile(file,
                      "REGEDIT4\r\n"
                      "\r\n"
                      "[HKEY_CURRENT_USER\\Software\\Kelbrin\\Old]\r\n"
                      "@=\"def\"\r\n"
                      "\"Expand\"=hex(2):25,54,45,4d,50,25,00\r\n"
                      "\"Multi\"=hex(7):61,00,62,00,00\r\n"
                      "\"Count\"=dword:00000010\r\n"
                      "\"Gone\"=-\r\n"
                      "\r\n");
    Result r = reg({"import", file});
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string key = "Software\\Kelbrin\\Old";
    EXPECT_EQ(get(key, "", HKEY_CURRENT_USER)->data, "def\0"s);
    EXPECT_EQ(get(key, "Expand", HKEY_CURRENT_USER)->data, "%TEMP%\0"s);
    EXPECT_EQ(get(key, "Multi", HKEY_CURRENT_USER)->data, "a\0b\0\0"s);
    EXPECT_EQ(get(key, "Count", HKEY_CURRENT_USER)->data, dwordBytes(16));
    EXPECT_FALSE(get(key, "Gone", HKEY_CURRENT_USER));
}

class RegImportMalformedTest : public RegCommandTest,
                               public ::testing::WithParamInterface<regtest::MalformedCase> {};

TEST_P(RegImportMalformedTest, IsRefusedAndChangesNothing) {
    const regtest::MalformedCase& c = GetParam();
    put("SOFTWARE\\Kelbrin\\Other", "v", REG_SZ, "x\0"s);
    std::string before = snapshot();
    std::string file = dir_.file("bad.reg");
    kytest::writeFile(file, c.bytes);
    Result r = reg({"import", file});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(
        r.err.rfind("ERROR: Cannot import " + file + ": line " + std::to_string(c.line) + ": ", 0),
        0u)
        << r.err;
    EXPECT_FALSE(exists(regtest::kBadKey));
    EXPECT_EQ(snapshot(), before);
}

INSTANTIATE_TEST_SUITE_P(Cases, RegImportMalformedTest,
                         ::testing::ValuesIn(regtest::malformedCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// A file the store refuses half-way is rolled back whole: here a stable key cannot be
// created below a volatile one, after the file has already set a value elsewhere.
TEST_F(RegCommandTest, ImportFailingInTheStoreRollsBack) {
    HKEY key;
    ASSERT_EQ(reg::createKey(HKEY_LOCAL_MACHINE, under("Volatile"), REG_OPTION_VOLATILE,
                             KEY_ALL_ACCESS, &key, nullptr),
              ERROR_SUCCESS);
    reg::closeKey(key);
    put(under(""), "a", REG_SZ, "old\0"s);
    std::string before = snapshot();
    std::string file = dir_.file("half.reg");
    kytest::writeFile(
        file, regtest::utf16File(std::string("Windows Registry Editor Version 5.00\r\n\r\n") + "[" +
                                 kBaseName + "]\r\n\"a\"=\"new\"\r\n\r\n[" + kBaseName +
                                 "\\Volatile\\Stable]\r\n"));
    Result r = reg({"import", file});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err.rfind("ERROR: Cannot import " + file + ": line 6: ", 0), 0u) << r.err;
    EXPECT_EQ(get(kBase, "a")->data, "old\0"s);
    EXPECT_EQ(snapshot(), before);
}

// The verb as an administrator runs it: the built tool, its exit codes, its streams, and
// answers typed on its standard input.
TEST_F(RegCommandTest, ToolBinaryRunsTheVerb) {
    const char* binDir = std::getenv("KY_TEST_BIN_DIR");
    if (binDir == nullptr)
        GTEST_SKIP() << "KY_TEST_BIN_DIR is not set";
    auto quote = [](const std::string& s) {
        std::string q = "'";
        for (char c : s)
            q += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return q + "'";
    };
    auto tool = [&](const std::vector<std::string>& args, const std::string& input) {
        std::string in = dir_.file("in"), out = dir_.file("out"), err = dir_.file("err");
        kytest::writeFile(in, input);
        std::string command = quote(std::string(binDir) + "/kybasic") + " reg";
        for (const std::string& a : args)
            command += " " + quote(a);
        command += " <" + quote(in) + " >" + quote(out) + " 2>" + quote(err);
        int status = std::system(command.c_str());
        return Result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, kytest::readFile(out),
                      kytest::readFile(err)};
    };
    const std::string key = std::string("HKLM\\") + kBase;
    Result r = tool({"add", key, "/v", "x", "/d", "1"}, "");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, kSuccess);
    r = tool({"add", key, "/v", "x", "/d", "2"}, "n\n");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, std::string("Value x exists, overwrite(Yes/No)? ") + kCanceled);
    r = tool({"query", key, "/v", "x"}, "");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, std::string("\n") + kBaseName + "\n    x    REG_SZ    1\n\n");
    r = tool({"query", key + "\\Missing"}, "");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, kNotFound);
}

}  // namespace
}  // namespace kybasic
