#include "siblings/KyFocus/KYPI_Focus.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <climits>
#include <string>

namespace {

class FocusTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* v : {"KY_INSTANCE", "KY_PRODUCT_NAME", "KY_PRODUCT_TYPE", "KY_CLIENT_NAME",
                              "KY_PSEUDO_CLIENT", "KY_REMOTE_DOMAIN", "KY_SERVICE"}) {
            unsetenv(v);
        }
        KYPI_Focus::reload();
    }
    void TearDown() override { SetUp(); }
};

TEST_F(FocusTest, DefaultsWithoutEnvironment) {
    char host[HOST_NAME_MAX + 1] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_STREQ(KYPI_Focus::getFocus(), "Instance001");
    EXPECT_STREQ(KYPI_Focus::getProductName(), "Sarvex");
    EXPECT_EQ(KYPI_Focus::getProductType(), 0);
    EXPECT_STREQ(KYPI_Focus::getFocusClientName(false), host);
    EXPECT_EQ(KYPI_Focus::getFocusPseudoClientName(), nullptr);
    EXPECT_STREQ(KYPI_Focus::getRemoteTesselFocus(), "");
    EXPECT_EQ(KYPI_Focus::AmIAService(), 0);
}

TEST_F(FocusTest, AnswersFromEnvironment) {
    setenv("KY_INSTANCE", "Instance007", 1);
    setenv("KY_PRODUCT_NAME", "Other", 1);
    setenv("KY_PRODUCT_TYPE", "3", 1);
    setenv("KY_CLIENT_NAME", "pc1", 1);
    setenv("KY_PSEUDO_CLIENT", "pseudo", 1);
    setenv("KY_REMOTE_DOMAIN", "dom", 1);
    setenv("KY_SERVICE", "1", 1);
    KYPI_Focus::reload();
    EXPECT_STREQ(KYPI_Focus::getFocus(), "Instance007");
    EXPECT_STREQ(KYPI_Focus::getProductName(), "Other");
    EXPECT_EQ(KYPI_Focus::getProductType(), KELBRIN_PRODUCT_TYPE_NO_INSTANCE);
    EXPECT_STREQ(KYPI_Focus::getFocusClientName(), "pc1");
    EXPECT_STREQ(KYPI_Focus::getFocusPseudoClientName(), "pseudo");
    EXPECT_STREQ(KYPI_Focus::getRemoteTesselFocus(), "dom");
    EXPECT_EQ(KYPI_Focus::AmIAService(), 1);
}

TEST_F(FocusTest, SettersOverrideAndEarlierTextsStayValid) {
    const char* before = KYPI_Focus::getFocus();
    KYPI_Focus::setFocus("Instance002");
    EXPECT_STREQ(KYPI_Focus::getFocus(), "Instance002");
    EXPECT_STREQ(before, "Instance001");  // still readable after the change
    KYPI_Focus::setFocusPseudoClientName("pc9");
    EXPECT_STREQ(KYPI_Focus::getFocusPseudoClientName(), "pc9");
    KYPI_Focus::setFocusPseudoClientName(nullptr);
    EXPECT_EQ(KYPI_Focus::getFocusPseudoClientName(), nullptr);
    KYPI_Focus::setFocus(nullptr);
    EXPECT_STREQ(KYPI_Focus::getFocus(), "Instance001");
}

// Texts stay valid for the life of the process, so each distinct text is kept once: a
// process that switches between a few answers, however often, keeps only those.
TEST_F(FocusTest, SettingAnEarlierTextAgainReusesItsCopy) {
    KYPI_Focus::setFocus("InstanceA");
    const char* a = KYPI_Focus::getFocus();
    KYPI_Focus::setFocus("InstanceB");
    const char* b = KYPI_Focus::getFocus();
    for (int i = 0; i < 100; ++i) {
        KYPI_Focus::setFocus("InstanceA");
        ASSERT_EQ(KYPI_Focus::getFocus(), a);
        KYPI_Focus::setFocus("InstanceB");
        ASSERT_EQ(KYPI_Focus::getFocus(), b);
    }
    KYPI_Focus::setRemoteTesselFocus("InstanceA");  // one copy whichever answer it is
    EXPECT_EQ(KYPI_Focus::getRemoteTesselFocus(), a);
    KYPI_Focus::reload();
    EXPECT_STREQ(a, "InstanceA");
    EXPECT_STREQ(b, "InstanceB");
}

TEST_F(FocusTest, CrashWritesReasonAndAborts) {
    EXPECT_DEATH(KYPI_Focus::doCrashThisProcess(true, "focus is gone"), "focus is gone");
}

}  // namespace
