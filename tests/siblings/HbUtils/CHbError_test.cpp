#include "siblings/HbUtils/CHbError.h"

#include <gtest/gtest.h>

#include <boost/make_shared.hpp>
#include <cstdio>
#include <string>

#include "siblings/HbUtils/FXErrorUtil.h"

namespace {

const FXCodeLocation kWhere("/build/src/Origin.cpp", "Origin::make", 10);

// Shaped as the library above derives its own items: the base text followed by a code.
class FXErrorItemTest : public FXErrorItem {
public:
    FXErrorItemTest(const FXCodeLocation& location, int number)
        : FXErrorItem(location), m_number(number) {}
    using FXErrorItem::AsString;
    std::string AsString() const override {
        return FXErrorItem::AsString() + "/MM." + std::to_string(m_number);
    }
    boost::shared_ptr<FXErrorItem> Clone() const override {
        return boost::make_shared<FXErrorItemTest>(*this);
    }

private:
    int m_number;
};

std::string Hex(std::int32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
    return text;
}

TEST(CHbError, SuccessIsNoError) {
    CHbError ok = CHbError::Success();
    EXPECT_FALSE(ok.IsError());
    EXPECT_EQ(ok.GetErrorCode(), 0);
    EXPECT_TRUE(ok.Is(0));
    EXPECT_TRUE(ok.IsNot(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(ok.AsString(), "Success");
    EXPECT_EQ(FXErrorUtil::GetWin32(ok), 0u);
}

TEST(CHbError, Win32ErrorCarriesItsCode) {
    CHbError err =
        FXErrorUtil::ErrorWin32(kWhere, ERROR_FILE_NOT_FOUND, "Couldn't open [%s] %d", "a.txt", 7);
    EXPECT_TRUE(err.IsError());
    EXPECT_EQ(err.GetErrorCode(), 2);
    EXPECT_TRUE(err.Is(2));
    EXPECT_TRUE(FXErrorUtil::IsWin32(err, ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(FXErrorUtil::IsWin32(err, ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(FXErrorUtil::GetWin32(err), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(err.AsString(),
              "Error 2 (0x00000002): Origin.cpp(10) Origin::make/Win32.2-Couldn't open [a.txt] 7 "
              "[The system cannot find the file specified.]");
}

TEST(CHbError, CodesMatchTheirWin32AndHResultForms) {
    struct Case {
        std::int32_t carried;
        std::int32_t asked;
        bool is;
    } cases[] = {
        {2, 2, true},
        {2, HRESULT_FROM_WIN32(2), true},
        {HRESULT_FROM_WIN32(2), 2, true},
        {2, 3, false},
        {HRESULT_FROM_WIN32(2), HRESULT_FROM_WIN32(3), false},
        {E_FAIL, 0x4005, false},                            // not a Win32 HRESULT
        {0x10002, 2, false},                                // beyond the Win32 range
        {static_cast<std::int32_t>(0xEC020005), 5, false},  // another family's code
        {static_cast<std::int32_t>(0x80070000), 0, false},
    };
    for (const Case& c : cases) {
        CHbError err = FXErrorUtil::ErrorInt(kWhere, c.carried);
        EXPECT_EQ(err.Is(c.asked), c.is) << Hex(c.carried) << " is " << Hex(c.asked);
        EXPECT_EQ(err.IsNot(c.asked), !c.is);
    }
}

TEST(CHbError, GetMatchesAndGetWin32) {
    struct Case {
        std::int32_t code;
        std::vector<std::int32_t> matches;
        DWORD win32;
    } cases[] = {
        {5, {5, HRESULT_FROM_WIN32(5)}, 5}, {HRESULT_FROM_WIN32(5), {HRESULT_FROM_WIN32(5), 5}, 5},
        {E_FAIL, {E_FAIL}, 0x80004005u},    {0xFFFF, {0xFFFF, HRESULT_FROM_WIN32(0xFFFF)}, 0xFFFF},
        {0x10000, {0x10000}, 0x10000},      {-1, {-1}, 0xFFFFFFFFu},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FXErrorUtil::GetMatches(c.code), c.matches) << Hex(c.code);
        EXPECT_EQ(FXErrorUtil::GetWin32(FXErrorUtil::ErrorInt(kWhere, c.code)), c.win32)
            << Hex(c.code);
    }
    EXPECT_EQ(FXErrorUtil::GetMatches(0), std::vector<std::int32_t>{0});
}

TEST(CHbError, ZeroCodeStillMakesAnError) {
    CHbError made[] = {
        FXErrorUtil::ErrorWin32(kWhere, ERROR_SUCCESS, nullptr),
        FXErrorUtil::ErrorInt(kWhere, 0),
        FXErrorUtil::ErrorHResult(kWhere, S_OK, "odd"),
        CHbError(0, nullptr),
    };
    for (const CHbError& err : made) {
        EXPECT_TRUE(err.IsError()) << err.AsString();
        EXPECT_EQ(err.GetErrorCode(), E_FAIL);
    }
}

TEST(CHbError, ItemsOfEachMaker) {
    struct Case {
        CHbError err;
        std::string full;
        std::string code;
        std::string description;
    } cases[] = {
        {FXErrorUtil::ErrorInt(kWhere, 1, "Not Supported."),
         "Origin.cpp(10) Origin::make/Int.1-Not Supported.", "Error (Int.1)",
         "Not Supported. (Int.1)"},
        {FXErrorUtil::ErrorInt(kWhere, -3), "Origin.cpp(10) Origin::make/Int.-3", "Error (Int.-3)",
         "Error (Int.-3)"},
        {FXErrorUtil::ErrorHResult(kWhere, E_INVALIDARG, "bad"),
         "Origin.cpp(10) Origin::make/HRESULT.0x80070057-bad", "Error (HRESULT.0x80070057)",
         "bad (HRESULT.0x80070057)"},
        {FXErrorUtil::ErrorWin32(kWhere, ERROR_ACCESS_DENIED, nullptr),
         "Origin.cpp(10) Origin::make/Win32.5 [Access is denied.]", "Error (Win32.5)",
         "Error (Win32.5)"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(c.err.GetItems().size(), 1u);
        const FXErrorItem& item = *c.err.GetItems()[0];
        EXPECT_EQ(item.AsString(), c.full);
        EXPECT_EQ(item.AsString(eErrorOutputFull), c.full);
        EXPECT_EQ(item.AsString(eErrorOutputCode), c.code);
        EXPECT_EQ(item.AsString(eErrorOutputDescription), c.description);
        EXPECT_EQ(item.AsString(static_cast<EErrorOutputFormat>(9)), c.full);
    }
}

TEST(CHbError, PushAddsFramesInOrderAndReturnsTheSameValue) {
    CHbError err = FXErrorUtil::ErrorInt(kWhere, 42, "root cause");
    CHbError& pushed = err.Push(FXCodeLocation("Middle.cpp", "Middle::pass", 20));
    EXPECT_EQ(&pushed, &err);
    err.Push(FXCodeLocation("Top.cpp", "Top::call", 30), "while loading");
    EXPECT_EQ(err.GetErrorCode(), 42);
    EXPECT_EQ(err.AsString(),
              "Error 42 (0x0000002A): Origin.cpp(10) Origin::make/Int.42-root cause | "
              "Middle.cpp(20) Middle::pass | Top.cpp(30) Top::call-while loading");
    EXPECT_EQ(err.GetItems()[2]->AsString(eErrorOutputDescription), "while loading");
}

TEST(CHbError, CopiesDoNotShareTheirChains) {
    CHbError original = FXErrorUtil::ErrorInt(kWhere, 1);
    CHbError copy = original;
    copy.Push(FX_LOCATION("Copy::push"));
    EXPECT_EQ(original.GetItems().size(), 1u);
    EXPECT_EQ(copy.GetItems().size(), 2u);
    original = copy;
    EXPECT_EQ(original.GetItems().size(), 2u);
}

TEST(CHbError, PushOnSuccessKeepsSuccess) {
    CHbError ok;
    ok.Push(FX_LOCATION("A::b")).Push(FX_LOCATION("A::c"), "text");
    ok.Push(FXErrorItemTest(kWhere, 5));
    EXPECT_FALSE(ok.IsError());
    EXPECT_TRUE(ok.GetItems().empty());
    EXPECT_EQ(ok.AsString(), "Success");
}

TEST(CHbError, PushedItemIsACopyOfTheDerivedItem) {
    CHbError err = FXErrorUtil::ErrorInt(kWhere, 1);
    FXErrorItemTest item(FXCodeLocation("/src/kylib/Deep.cpp", "Deep::work", 77), 5);
    err.Push(item);
    const FXErrorItem* pushed = err.GetItems().back().get();
    EXPECT_NE(pushed, &item);
    ASSERT_NE(dynamic_cast<const FXErrorItemTest*>(pushed), nullptr);
    EXPECT_EQ(pushed->AsString(), "Deep.cpp(77) Deep::work/MM.5");
    EXPECT_EQ(pushed->GetLocation().GetFile(), "/src/kylib/Deep.cpp");
}

TEST(CHbError, LocationKeepsItsOwnTexts) {
    std::string function = "Built::fromParts";
    FXCodeLocation where("dir/Built.cpp", function.c_str(), 5);
    function.assign("overwritten");
    EXPECT_EQ(where.AsString(), "Built.cpp(5) Built::fromParts");
    FXCodeLocation empty(nullptr, nullptr, 0);
    EXPECT_EQ(empty.AsString(), "(0) ");
    FXCodeLocation here = FX_LOCATION("Here::now");
    EXPECT_EQ(here.GetFile(), __FILE__);
    EXPECT_EQ(here.GetLine(), __LINE__ - 2);
}

TEST(CHbError, LongTextsStayWhole) {
    std::string longName(5000, 'n');
    CHbError err = FXErrorUtil::ErrorWin32(kWhere, ERROR_ACCESS_DENIED, "[%s]", longName.c_str());
    EXPECT_NE(err.AsString().find("[" + longName + "]"), std::string::npos);
}

}  // namespace
