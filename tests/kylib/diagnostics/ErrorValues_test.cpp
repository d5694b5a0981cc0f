#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <boost/make_shared.hpp>
#include <cstdarg>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kylib/diagnostics/CError.h"
#include "kylib/diagnostics/CErrorMessage.h"
#include "kylib/diagnostics/ErrorMM.h"
#include "kylib/diagnostics/EvDebug.h"
#include "kylib/diagnostics/KyException.h"
#include "os/LastError.h"
#include "os/Library.h"
#include "os/registry/Registry.h"
#include "siblings/HbUtils/CHbLibrary.h"
#include "siblings/HbUtils/FXErrorUtil.h"
#include "siblings/KyFocus/KYPI_Focus.h"
#include "tests/support/TempDir.h"

namespace {

const FXCodeLocation kWhere("/build/src/File.cpp", "Class::method", 42);
const std::string kWhereText = "File.cpp(42) Class::method";

// ---- Codes of the MM and VS families.

TEST(ErrorCodes, NumbersMakeCodesAndReadBack) {
    struct Case {
        bool mm;
        int number;
        std::uint32_t code;
        int readBack;
    } cases[] = {
        {true, 5, 0xEC020005, 5},
        {true, 0xFFFF, 0xEC02FFFF, 0xFFFF},
        {true, 0x10000, 0xEC030000, 0x10000},
        {true, 0x12345, 0xEC032345, 0x12345},
        // Out of range: only the number field changes, the facility stays.
        {true, -1, 0xEC02FFFF, 0xFFFF},
        {false, 7, 0xEC010007, 7},
        {false, 0x12345, 0xEC012345, 0x2345},
        {false, -2, 0xEC01FFFE, 0xFFFE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE((c.mm ? "MM " : "VS ") + std::to_string(c.number));
        CHbError plain =
            c.mm ? FXErrorUtil::ErrorMM(kWhere, c.number) : FXErrorUtil::ErrorVS(kWhere, c.number);
        CHbError described = c.mm ? FXErrorUtil::ErrorMM(kWhere, c.number, "what %d", 1)
                                  : FXErrorUtil::ErrorVS(kWhere, c.number, "what %d", 1);
        for (const CHbError& error : {plain, described}) {
            ASSERT_TRUE(error.IsError());
            EXPECT_EQ(static_cast<std::uint32_t>(error.GetErrorCode()), c.code);
            EXPECT_EQ(c.mm ? FXErrorUtil::GetMM(error) : FXErrorUtil::GetVS(error), c.readBack);
            EXPECT_EQ(c.mm ? FXErrorUtil::GetVS(error) : FXErrorUtil::GetMM(error),
                      FXErrorUtil::kNoNumber);
            ASSERT_EQ(error.GetItems().size(), 1u);
        }
    }
}

TEST(ErrorCodes, GetOfOtherValues) {
    struct Case {
        const char* name;
        CHbError error;
        int mm;
        int vs;
    } cases[] = {
        {"success", CHbError::Success(), 0, 0},
        {"win32", FXErrorUtil::ErrorWin32(kWhere, 2, "no file"), 65535, 65535},
        {"hresult", FXErrorUtil::ErrorHResult(kWhere, static_cast<HRESULT>(0x80070005), nullptr),
         65535, 65535},
        {"int", FXErrorUtil::ErrorInt(kWhere, 0x0C02), 65535, 65535},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FXErrorUtil::GetMM(c.error), c.mm) << c.name;
        EXPECT_EQ(FXErrorUtil::GetVS(c.error), c.vs) << c.name;
    }
}

TEST(ErrorCodes, IsAndIsNot) {
    CHbError mm = FXErrorUtil::ErrorMM(kWhere, 5);
    CHbError mmHigh = FXErrorUtil::ErrorMM(kWhere, 0x12345);
    CHbError vs = FXErrorUtil::ErrorVS(kWhere, 5);
    EXPECT_TRUE(FXErrorUtil::IsMM(mm, 5));
    EXPECT_FALSE(FXErrorUtil::IsNotMM(mm, 5));
    EXPECT_FALSE(FXErrorUtil::IsMM(mm, 6));
    EXPECT_TRUE(FXErrorUtil::IsNotMM(mm, 6));
    EXPECT_TRUE(FXErrorUtil::IsMM(mmHigh, 0x12345));
    EXPECT_FALSE(FXErrorUtil::IsMM(mmHigh, 0x2345));  // another facility
    // The same number in the other family is another error.
    EXPECT_FALSE(FXErrorUtil::IsVS(mm, 5));
    EXPECT_TRUE(FXErrorUtil::IsNotVS(mm, 5));
    EXPECT_TRUE(FXErrorUtil::IsVS(vs, 5));
    EXPECT_FALSE(FXErrorUtil::IsMM(vs, 5));
    EXPECT_FALSE(FXErrorUtil::IsMM(CHbError::Success(), 5));
}

// ---- Items: short and long forms, and clones that keep them.

TEST(ErrorItems, ShortAndLongForms) {
    const auto other = static_cast<EErrorOutputFormat>(9);
    struct Case {
        boost::shared_ptr<FXErrorItem> item;
        std::string full;         // format 0, any other, and the long form
        std::string code;         // format 1
        std::string description;  // format 2
    } cases[] = {
        {boost::make_shared<FXErrorItemMM>(kWhere, 5), kWhereText + "/MM.5", "Error (MM.5)",
         "Error (MM.5)"},
        {boost::make_shared<FXErrorItemMMDescription>(kWhere, 5, "boom"), kWhereText + "/MM.5-boom",
         "Error (MM.5)", "boom (MM.5)"},
        {boost::make_shared<FXErrorItemVS>(kWhere, 7), kWhereText + "/VS.7", "Error (VS.7)",
         "Error (VS.7)"},
        {boost::make_shared<FXErrorItemVSDescription>(kWhere, 7, "bang"), kWhereText + "/VS.7-bang",
         "Error (VS.7)", "bang (VS.7)"},
        {boost::make_shared<FXErrorItemMM>(kWhere, -3), kWhereText + "/MM.-3", "Error (MM.-3)",
         "Error (MM.-3)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.full);
        boost::shared_ptr<FXErrorItem> clone = c.item->Clone();
        for (const FXErrorItem* item : {c.item.get(), clone.get()}) {
            EXPECT_EQ(item->AsString(), c.full);
            EXPECT_EQ(item->AsString(eErrorOutputFull), c.full);
            EXPECT_EQ(item->AsString(other), c.full);
            EXPECT_EQ(item->AsString(eErrorOutputCode), c.code);
            EXPECT_EQ(item->AsString(eErrorOutputDescription), c.description);
        }
    }
}

TEST(ErrorItems, MakersChooseTheItem) {
    CHbError described = FXErrorUtil::ErrorMM(kWhere, 5, "disk %s is %d%% full", "C:", 99);
    ASSERT_EQ(described.GetItems().size(), 1u);
    EXPECT_EQ(described.GetItems()[0]->AsString(eErrorOutputDescription),
              "disk C: is 99% full (MM.5)");
    EXPECT_NE(described.AsString().find("/MM.5-disk C: is 99% full"), std::string::npos);

    CHbError vs = FXErrorUtil::ErrorVS(kWhere, 7, "%s", "bang");
    EXPECT_EQ(vs.GetItems()[0]->AsString(eErrorOutputDescription), "bang (VS.7)");
}

TEST(ErrorItems, FormatFailureGivesThePlainForm) {
    const char* noFormat = nullptr;
    // The C locale cannot write U+00E9 as narrow text: printf fails with EILSEQ.
    const wchar_t* unwritable = L"caf\u00e9";
    CHbError errors[] = {
        FXErrorUtil::ErrorMM(kWhere, 5, noFormat),
        FXErrorUtil::ErrorMM(kWhere, 5, "%ls", unwritable),
    };
    for (const CHbError& error : errors) {
        ASSERT_TRUE(error.IsError());
        EXPECT_EQ(static_cast<std::uint32_t>(error.GetErrorCode()), 0xEC020005u);
        ASSERT_EQ(error.GetItems().size(), 1u);
        EXPECT_EQ(error.GetItems()[0]->AsString(), kWhereText + "/MM.5");
    }
    CHbError vs = FXErrorUtil::ErrorVS(kWhere, 7, "%ls", unwritable);
    EXPECT_EQ(static_cast<std::uint32_t>(vs.GetErrorCode()), 0xEC010007u);
    EXPECT_EQ(vs.GetItems()[0]->AsString(), kWhereText + "/VS.7");
}

TEST(ErrorItems, PushAddsAFrameAndKeepsTheCode) {
    const FXCodeLocation caller("Caller.cpp", "Caller::run", 7);
    CHbError error = FXErrorUtil::ErrorWin32(kWhere, 2, "no file");
    FXErrorUtil::PushMM(error, caller, 9);
    FXErrorUtil::PushVS(error, caller, 3, "while %s", "copying");
    FXErrorUtil::PushMM(error, caller, 4, "%ls", L"caf\u00e9");
    EXPECT_EQ(error.GetErrorCode(), 2);
    EXPECT_EQ(FXErrorUtil::GetMM(error), 65535);
    ASSERT_EQ(error.GetItems().size(), 4u);
    EXPECT_EQ(error.GetItems()[1]->AsString(), "Caller.cpp(7) Caller::run/MM.9");
    EXPECT_EQ(error.GetItems()[2]->AsString(eErrorOutputDescription), "while copying (VS.3)");
    EXPECT_EQ(error.GetItems()[3]->AsString(), "Caller.cpp(7) Caller::run/MM.4");

    CHbError success = CHbError::Success();
    FXErrorUtil::PushMM(success, caller, 9);
    FXErrorUtil::PushVS(success, caller, 9, "x");
    EXPECT_FALSE(success.IsError());
    EXPECT_TRUE(success.GetItems().empty());
}

// ---- KyException: a private registry and log folder, and the default log opened in it,
// so that the lines an exception writes can be read back.

constexpr const char* kInstance = "SOFTWARE\\Kelbrin Systems\\Sarvex\\Instance001";

class KyExceptionTest : public kytest::StoreTest {
protected:
    void SetUp() override {
        kytest::StoreTest::SetUp();
        KYPI_Focus::setFocus("Instance001");
        KYPI_Focus::setFocusPseudoClientName(nullptr);
        KYPI_Focus::setFocusClientName("client1");
        logDir_ = dir_.file("logs");
        HKEY key = nullptr;
        ASSERT_EQ(
            kyos::reg::createKey(HKEY_LOCAL_MACHINE, std::string(kInstance) + "\\EventManager", 0,
                                 KEY_ALL_ACCESS, &key, nullptr),
            ERROR_SUCCESS);
        ASSERT_EQ(kyos::reg::setValue(key, "dEVLOGDIR", REG_EXPAND_SZ, logDir_.c_str(),
                                      static_cast<DWORD>(logDir_.size() + 1)),
                  ERROR_SUCCESS);
        kyos::reg::closeKey(key);
        ASSERT_TRUE(EvDebug().initialize(EvDebug::getLogId("kytest"), 0, true, ""));
    }
    void TearDown() override {
        EvDebug::CleanupFileHandleList();
        EvDebug::SetRefreshInterval(0);
        KYPI_Focus::reload();
        kytest::StoreTest::TearDown();
    }

    std::string logText() { return kytest::readFile(logDir_ + "/kytest.log"); }
    bool logged(const std::string& text) { return logText().find(text) != std::string::npos; }

    std::string logDir_;
};

// Reaches the protected setMessage, as the library's own exception types do.
class RenamingException : public KyException {
public:
    using KyException::KyException;
    using KyException::setMessage;
};

TEST_F(KyExceptionTest, FieldsAndMissingTexts) {
    struct Case {
        const char* func;
        const char* message;
        const char* file;
        const char* wantFunc;
        const char* wantMessage;
        const char* wantFile;
    } cases[] = {
        {"SPBase::assign", "Can't resurrect dead objects.", "KySP.cpp", "SPBase::assign",
         "Can't resurrect dead objects.", "KySP.cpp"},
        {nullptr, "boom", nullptr, "unknown", "boom", "unknown"},
        {"F", nullptr, "f.cpp", "F", "Not enough memory", "f.cpp"},
    };
    for (const Case& c : cases) {
        KyException e(c.func, c.message, c.file, 12, 3);
        EXPECT_STREQ(e.getFuncName(), c.wantFunc);
        EXPECT_STREQ(e.getMessage(), c.wantMessage);
        EXPECT_STREQ(e.getFileName(), c.wantFile);
        EXPECT_EQ(e.getLineNum(), 12);
        EXPECT_EQ(e.getErrno(), 3);
    }
    KyException fromString("F", std::string("boom"), "f.cpp", 1, 0);
    EXPECT_EQ(fromString.formatError(), "F(): boom");
    EXPECT_EQ(KyException(nullptr, "boom", nullptr, -1, 0).formatError(), "unknown(): boom");
}

TEST_F(KyExceptionTest, ThrowMacroCarriesThePlace) {
    try {
        KY_THROW("Thrower::run", "gave up");
        FAIL() << "nothing thrown";
    } catch (const KyException& e) {
        EXPECT_STREQ(e.getFuncName(), "Thrower::run");
        EXPECT_STREQ(e.getFileName(), __FILE__);
        EXPECT_GT(e.getLineNum(), 0);
        EXPECT_EQ(e.getErrno(), -1);
    }
}

TEST_F(KyExceptionTest, MakingOneLogsIt) {
    struct Case {
        int errorNumber;
        const char* line;
    } cases[] = {
        {0, "KyException::init(): func_name=F0, file_name=f.cpp, message='boom 0'\n"},
        {-1, "KyException::init(): func_name=F1, file_name=f.cpp, message='boom 1'\n"},
        {1, "KyException::init(): func_name=F2, file_name=f.cpp, message='boom 2', errno= 1\n"},
        {13, "KyException::init(): func_name=F3, file_name=f.cpp, message='boom 3', errno= 13\n"},
    };
    int n = 0;
    for (const Case& c : cases) {
        std::string suffix = std::to_string(n++);
        KyException e(("F" + suffix).c_str(), "boom " + suffix, "f.cpp", 1, c.errorNumber);
        EXPECT_TRUE(logged(c.line)) << c.line << "\nin:\n" << logText();
    }
    KyException missing(nullptr, nullptr, nullptr, -1, 0);
    EXPECT_TRUE(logged(
        "KyException::init(): func_name=unknown, file_name=unknown, message='Not enough memory'"));
}

TEST_F(KyExceptionTest, CopiesOwnTheirTexts) {
    auto original = std::make_unique<KyException>("F", "boom", "f.cpp", 5, 2);
    KyException copied(*original);
    KyException assigned(nullptr, "other", nullptr, 1, 0);
    assigned = *original;
    KyException fromShared(nullptr, nullptr, nullptr, 1, 0);
    KyException copiedShared(fromShared);
    original.reset();  // the copies must not point into it
    for (const KyException* e : {&copied, &assigned}) {
        EXPECT_STREQ(e->getFuncName(), "F");
        EXPECT_STREQ(e->getMessage(), "boom");
        EXPECT_STREQ(e->getFileName(), "f.cpp");
        EXPECT_EQ(e->getLineNum(), 5);
        EXPECT_EQ(e->getErrno(), 2);
    }
    EXPECT_STREQ(copiedShared.getFuncName(), "unknown");
    EXPECT_STREQ(copiedShared.getMessage(), "Not enough memory");

    KyException& self = assigned;
    assigned = self;
    EXPECT_STREQ(assigned.getMessage(), "boom");
}

TEST_F(KyExceptionTest, SetMessageReplacesAndLogs) {
    RenamingException e("F", "first", "f.cpp", 1, 0);
    e.setMessage("second");
    EXPECT_STREQ(e.getMessage(), "second");
    EXPECT_TRUE(logged("KyException::setMessage(): message='second'\n"));
    // The new text may be the current one.
    e.setMessage(e.getMessage());
    EXPECT_STREQ(e.getMessage(), "second");
    e.setMessage(nullptr);
    EXPECT_STREQ(e.getMessage(), "Not enough memory");
    e.setMessage("third");
    EXPECT_STREQ(e.getMessage(), "third");
    EXPECT_EQ(e.formatError(), "F(): third");
}

// ---- CError.

TEST(CErrorTest, StartsEmpty) {
    CError error;
    EXPECT_EQ(error.getCode(), 0);
    EXPECT_STREQ(error.getText(), "");
    error.set(17);
    EXPECT_EQ(error.getCode(), 17);
    EXPECT_STREQ(error.getText(), "NoText");
}

TEST(CErrorTest, SetFormatsBlanksAndCuts) {
    const std::string x600(600, 'x');
    const std::string x2000(2000, 'x');
    // 511 ASCII bytes and a two-byte character across the cut.
    const std::string acrossCut = std::string(511, 'a') + "\xC3\xA9" + "tail";
    struct Case {
        const char* name;
        std::string text;
        std::string want;
    } cases[] = {
        {"line feed", "one\ntwo", "one two"},
        {"all four", "a\rb\vc\fd\ne", "a b c d e"},
        {"tab stays", "a\tb", "a\tb"},
        {"600 chars", x600, std::string(512, 'x')},
        {"beyond the format buffer", x2000, std::string(512, 'x')},
        {"exactly 512", std::string(512, 'y'), std::string(512, 'y')},
        {"utf-8 across the cut", acrossCut, std::string(511, 'a')},
        {"control chars past the cut", std::string(512, 'z') + "\n", std::string(512, 'z')},
    };
    for (const Case& c : cases) {
        CError error;
        error.set(-5, "%s", c.text.c_str());
        EXPECT_EQ(error.getCode(), -5) << c.name;
        EXPECT_EQ(std::string(error.getText()), c.want) << c.name;
    }
    CError error;
    error.set(3, "code %d: %s", 3, "bad");
    EXPECT_STREQ(error.getText(), "code 3: bad");
    const char* noFormat = nullptr;
    error.set(4, noFormat);
    EXPECT_EQ(error.getCode(), 4);
    EXPECT_STREQ(error.getText(), "NoText");
}

// Each case leaves the thread's last error as it found it.
class CErrorSystemTest : public ::testing::Test {
protected:
    void SetUp() override { saved_ = kyos::lastError(); }
    void TearDown() override { kyos::setLastError(saved_); }
    DWORD saved_ = 0;
};

TEST_F(CErrorSystemTest, UsesTheLastError) {
    struct Case {
        DWORD lastError;
        long code;
        const char* text;
    } cases[] = {
        {ERROR_SUCCESS, 0, "No Errors"},
        {ERROR_FILE_NOT_FOUND, 2, "open cfg (SYSTEM: The system cannot find the file specified.)"},
        {0x7ABC, 0x7ABC, "open cfg (SYSTEM: No text found)"},
    };
    for (const Case& c : cases) {
        kyos::setLastError(c.lastError);
        CError error;
        error.setSystem("open %s", "cfg");
        EXPECT_EQ(error.getCode(), c.code);
        EXPECT_STREQ(error.getText(), c.text);
        EXPECT_EQ(kyos::lastError(), c.lastError);
    }
}

TEST_F(CErrorSystemTest, AfterARealCall) {
    ASSERT_EQ(kyos::loadLibrary("/nonexistent-kytest-dir/libnothing.so"), nullptr);
    CError failed;
    failed.setSystem("loading %s", "libnothing");
    EXPECT_EQ(failed.getCode(), static_cast<long>(ERROR_MOD_NOT_FOUND));
    EXPECT_STREQ(failed.getText(),
                 "loading libnothing (SYSTEM: The specified module could not be found.)");

    kyos::setLastError(ERROR_ACCESS_DENIED);
    CError longText;
    longText.setSystem("%s", std::string(600, 'q').c_str());
    EXPECT_EQ(longText.getCode(), 5);
    EXPECT_EQ(std::string(longText.getText()), std::string(512, 'q'));
}

// ---- Message ids.

TEST(CErrorMessageIdTest, WordLayout) {
    CErrorMessageId id(3, 0x123456);
    EXPECT_EQ(id.subSystemId(), 3);
    EXPECT_EQ(id.index(), 0x123456u);
    EXPECT_EQ(id.messageId(), 0x03123456u);
    EXPECT_TRUE(id == 0x03123456u);
    EXPECT_TRUE(0x03123456u == id);
    EXPECT_TRUE(id != 0x03123457u);
    EXPECT_TRUE(id == CErrorMessageId(0x03123456u));
    EXPECT_TRUE(id != CErrorMessageId(4, 0x123456));

    CErrorMessageId top(0xFF000001u);
    EXPECT_EQ(top.subSystemId(), 0xFF);
    EXPECT_EQ(top.index(), 1u);

    CErrorMessageId set;
    EXPECT_EQ(set.messageId(), 0u);
    EXPECT_EQ(set.messageId(0x7F, 0x0ABCDE), 0x7F0ABCDEu);
    // An index wider than 24 bits must not change the subsystem.
    EXPECT_EQ(set.messageId(3, 0x1FFFFFF), 0x03FFFFFFu);
    EXPECT_EQ(set.subSystemId(), 3);
}

TEST(CErrorMessageIdTest, MessageIsAValue) {
    CErrorMessage empty;
    EXPECT_EQ(empty.getMessageId(), 0u);
    EXPECT_EQ(empty.getText(), "");
    CErrorMessage message(CErrorMessageId(2, 9), "text");
    CErrorMessage copy(message);
    message.setText("changed");
    EXPECT_EQ(copy.getMessageId(), CErrorMessageId(2, 9));
    EXPECT_EQ(copy.getText(), "text");
    empty = copy;
    EXPECT_EQ(empty.getText(), "text");
}

// ---- The message catalogue loader, with stand-in catalogues built beside the tests.

constexpr const char* kOverride = "KY_MESSAGE_CATALOG";

class CatalogueTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* saved = std::getenv(kOverride);
        hadOverride_ = saved != nullptr;
        if (hadOverride_)
            savedOverride_ = saved;
        deleteLocaleMessagesSingleton();
    }
    void TearDown() override {
        deleteLocaleMessagesSingleton();
        if (hadOverride_)
            setenv(kOverride, savedOverride_.c_str(), 1);
        else
            unsetenv(kOverride);
    }
    static void useCatalogue(const std::string& path) { setenv(kOverride, path.c_str(), 1); }

    static std::string localText(EvGetLocTextVAArgsFn function, unsigned long id, ...) {
        char buffer[256];
        va_list args;
        va_start(args, id);
        const char* text = function(id, buffer, sizeof buffer, 77, args);
        va_end(args);
        return text;
    }

    kytest::TempDir dir_;
    bool hadOverride_ = false;
    std::string savedOverride_;
};

TEST_F(CatalogueTest, LoadsOnceAndCallsTheTextFunction) {
    useCatalogue(KYTEST_FAKE_CATALOG);
    const CHbLibrary* catalogue = getLocaleMessagesSingleton();
    ASSERT_NE(catalogue, nullptr);
    EXPECT_TRUE(catalogue->IsLoaded());
    EXPECT_EQ(getLocaleMessagesSingleton(), catalogue);

    EvGetLocTextVAArgsFn function = getEvGetLocTextVAArgs();
    ASSERT_NE(function, nullptr);
    EXPECT_EQ(getEvGetLocTextVAArgs(), function);
    EXPECT_EQ(localText(function, CErrorMessageId(3, 0x123456).messageId(), "disk", 7),
              "message 0x03123456 (77): disk 7");
}

TEST_F(CatalogueTest, MissingLibraryOrFunctionGivesNull) {
    struct Case {
        const char* name;
        std::string path;
        bool libraryLoads;
    } cases[] = {
        {"no such file", dir_.file("libEvMsgLoc_C.so"), false},
        {"not a library", dir_.file("text.so"), false},
        {"no text function", KYTEST_FAKE_CATALOG_EMPTY, true},
    };
    kytest::writeFile(dir_.file("text.so"), "not a shared library");
    for (const Case& c : cases) {
        useCatalogue(c.path);
        EXPECT_EQ(getLocaleMessagesSingleton() != nullptr, c.libraryLoads) << c.name;
        EXPECT_EQ(getEvGetLocTextVAArgs(), nullptr) << c.name;
        deleteLocaleMessagesSingleton();
    }
}

TEST_F(CatalogueTest, NeverFromTheCurrentDirectory) {
    const std::string copy = dir_.file("catalog.so");
    std::filesystem::copy_file(KYTEST_FAKE_CATALOG, copy);
    const std::filesystem::path cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    for (const char* relative : {"catalog.so", "./catalog.so"}) {
        useCatalogue(relative);
        EXPECT_EQ(getLocaleMessagesSingleton(), nullptr) << relative;
        EXPECT_EQ(getEvGetLocTextVAArgs(), nullptr) << relative;
    }
    std::filesystem::current_path(cwd);
    useCatalogue(copy);  // the same file by its absolute path
    EXPECT_NE(getEvGetLocTextVAArgs(), nullptr);
}

TEST_F(CatalogueTest, DeleteForgetsTheFunction) {
    useCatalogue(KYTEST_FAKE_CATALOG);
    ASSERT_NE(getEvGetLocTextVAArgs(), nullptr);
    deleteLocaleMessagesSingleton();
    // A cached address would now point into an unloaded library.
    useCatalogue(dir_.file("missing.so"));
    EXPECT_EQ(getEvGetLocTextVAArgs(), nullptr);
    EXPECT_EQ(getLocaleMessagesSingleton(), nullptr);

    useCatalogue(KYTEST_FAKE_CATALOG);
    EvGetLocTextVAArgsFn function = getEvGetLocTextVAArgs();
    ASSERT_NE(function, nullptr);
    EXPECT_EQ(localText(function, 1, "again", 2), "message 0x00000001 (77): again 2");
}

TEST_F(CatalogueTest, FirstUseFromManyThreads) {
    useCatalogue(KYTEST_FAKE_CATALOG);
    constexpr int kThreads = 8;
    std::atomic<int> waiting{kThreads};
    std::vector<EvGetLocTextVAArgsFn> functions(kThreads);
    std::vector<const CHbLibrary*> catalogues(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            waiting.fetch_sub(1);
            while (waiting.load() > 0)
                std::this_thread::yield();
            functions[i] = getEvGetLocTextVAArgs();
            catalogues[i] = getLocaleMessagesSingleton();
        });
    }
    for (std::thread& t : threads)
        t.join();
    ASSERT_NE(functions[0], nullptr);
    for (int i = 1; i < kThreads; ++i) {
        EXPECT_EQ(functions[i], functions[0]);
        EXPECT_EQ(catalogues[i], catalogues[0]);
    }
    EXPECT_EQ(localText(functions[0], 2, "threads", kThreads),
              "message 0x00000002 (77): threads 8");
}

}  // namespace
