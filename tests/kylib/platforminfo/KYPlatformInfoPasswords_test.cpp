// Password values in the store: single values in their protected forms, the network
// password of each role, and the walk that brings stored passwords to format '8'.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "kylib/crypto/KYPassword.h"
#include "kylib/platforminfo/KYPlatformInfo.h"
#include "os/registry/Registry.h"
#include "siblings/KyFocus/KYPI_Focus.h"
#include "tests/support/TempDir.h"

namespace {

constexpr const char* kRoot = "SOFTWARE\\Kelbrin Systems\\Sarvex\\Instance001";

std::string inRoot(const std::string& section) {
    return std::string(kRoot) + "\\" + section;
}

// The store as it is on disk, independent of the class under test.
struct Raw {
    static void set(const std::string& section, const std::string& name, DWORD type,
                    const std::string& text) {
        HKEY key = nullptr;
        ASSERT_EQ(kyos::reg::createKey(HKEY_LOCAL_MACHINE, inRoot(section), 0, KEY_ALL_ACCESS, &key,
                                       nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(
            kyos::reg::setValue(key, name, type, text.c_str(), static_cast<DWORD>(text.size() + 1)),
            ERROR_SUCCESS);
        kyos::reg::closeKey(key);
    }
    static void string(const std::string& section, const std::string& name,
                       const std::string& text) {
        set(section, name, REG_SZ, text);
    }
    static void dword(const std::string& section, const std::string& name, DWORD value) {
        HKEY key = nullptr;
        ASSERT_EQ(kyos::reg::createKey(HKEY_LOCAL_MACHINE, inRoot(section), 0, KEY_ALL_ACCESS, &key,
                                       nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(kyos::reg::setValue(key, name, REG_DWORD, &value, sizeof value), ERROR_SUCCESS);
        kyos::reg::closeKey(key);
    }
    struct Value {
        DWORD type = REG_NONE;  // REG_NONE: not there
        std::string text;
    };
    static Value get(const std::string& section, const std::string& name) {
        Value v;
        HKEY key = nullptr;
        if (kyos::reg::openKey(HKEY_LOCAL_MACHINE, inRoot(section), 0, KEY_READ, &key) !=
            ERROR_SUCCESS)
            return v;
        char buf[8192];
        DWORD size = sizeof buf;
        if (kyos::reg::queryValue(key, name, &v.type, buf, &size) == ERROR_SUCCESS)
            v.text.assign(buf, size > 0 && buf[size - 1] == '\0' ? size - 1 : size);
        else
            v.type = REG_NONE;
        kyos::reg::closeKey(key);
        return v;
    }
};

std::string protect3(const char* plain) {
    KYPassword p;
    EXPECT_EQ(p.encrypt(plain), 1);
    return p.getProtectedText();
}

// The plain password a protected text holds; "<unreadable>" when it holds none.
std::string plainOf(const std::string& protectedText) {
    KYPassword p;
    secure_string plain;
    if (!p.decrypt(secure_string(protectedText.c_str()), plain))
        return "<unreadable>";
    return std::string(plain.data(), plain.size());
}

std::string plainOf(KYPassword& p) {
    return plainOf(p.getProtectedText());
}

// What the store printed while `action` ran; a printing, non-logging store prints exactly
// its log lines.
std::string printedBy(const std::function<void()>& action) {
    ::testing::internal::CaptureStdout();
    action();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

// A 'wrapped' text of the right shape that no key opens.
const std::string kUnreadable3 = "3" + std::string(32, '0');

class PasswordStoreTest : public kytest::StoreTest {
protected:
    void SetUp() override {
        kytest::StoreTest::SetUp();
        ::setenv("KY_MACHINE_KEY", dir_.file("machine.key").c_str(), 1);
        KYPI_Focus::setFocus("Instance001");
        KYPI_Focus::setProductName("Sarvex");
        KYPI_Focus::setProductType(KELBRIN_PRODUCT_TYPE_DEFAULT);
        KYPI_Focus::setRemoteTesselFocus("");
        ASSERT_TRUE(KYPassword::isV8EncryptionEnabled());
    }
    void TearDown() override {
        KYPI_Focus::reload();
        ::unsetenv("KY_MACHINE_KEY");
        kytest::StoreTest::TearDown();
    }
    static KYPlatformInfo printing() { return KYPlatformInfo(1, 0); }
    static void setPlatformType(DWORD type) { Raw::dword("Base", "nPLATTYPE", type); }
    // Cases of one table each start from an empty instance.
    static void freshInstance() {
        const DWORD rc = kyos::reg::deleteTree(HKEY_LOCAL_MACHINE, kRoot);
        ASSERT_TRUE(rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) << rc;
    }
};

// ---- Single values ------------------------------------------------------------------------

TEST_F(PasswordStoreTest, StoredProtectedTextReadsBackThroughEveryForm) {
    struct Form {
        const char* name;
        std::function<int(KYPlatformInfo&, KYPassword&)> store;
        std::function<int(KYPlatformInfo&, KYPassword&)> load;
    };
    const std::vector<Form> forms = {
        {"pointer",
         [](KYPlatformInfo& pi, KYPassword& p) {
             return pi.setPassword("Database", "pACCESS", &p);
         },
         [](KYPlatformInfo& pi, KYPassword& p) {
             return pi.getPassword("Database", "pACCESS", &p);
         }},
        {"string section",
         [](KYPlatformInfo& pi, KYPassword& p) {
             return pi.setValue(std::string("Database"), std::string("pACCESS"), p);
         },
         [](KYPlatformInfo& pi, KYPassword& p) {
             return pi.getValue(std::string("Database"), std::string("pACCESS"), p);
         }},
    };
    for (const Form& form : forms) {
        SCOPED_TRACE(form.name);
        KYPlatformInfo pi = printing();
        KYPassword written;
        ASSERT_EQ(written.encrypt("s3cret pass"), 1);
        EXPECT_EQ(printedBy([&] { EXPECT_EQ(form.store(pi, written), 1); }), "");
        const Raw::Value stored = Raw::get("Database", "pACCESS");
        EXPECT_EQ(stored.type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(stored.text, written.getProtectedText());

        KYPassword read;
        EXPECT_EQ(printedBy([&] { EXPECT_EQ(form.load(pi, read), 1); }), "");
        EXPECT_STREQ(read.getProtectedText(), written.getProtectedText());
        EXPECT_EQ(read.comparePwd("s3cret pass"), 1);
    }

    kypassword_string text;
    KYPlatformInfo pi;
    ASSERT_TRUE(pi.getPassword("Database", "pACCESS", text));
    EXPECT_EQ(std::string(text.c_str()), Raw::get("Database", "pACCESS").text);
}

TEST_F(PasswordStoreTest, V8WritesAndV3ReadConvertTheSamePassword) {
    KYPlatformInfo pi = printing();
    ASSERT_EQ(pi.setPasswordAsV8("Session", "pCntInfo", "net pass"), 1);
    const std::string v8 = Raw::get("Session", "pCntInfo").text;
    EXPECT_TRUE(KYPassword::isV8Password(v8.c_str())) << v8;
    EXPECT_EQ(plainOf(v8), "net pass");

    ASSERT_EQ(pi.setEncryptedPasswordAsV8("Database", "pWFACCESS", protect3("db pass").c_str()), 1);
    const std::string converted = Raw::get("Database", "pWFACCESS").text;
    EXPECT_EQ(converted[0], '8');
    EXPECT_EQ(plainOf(converted), "db pass");

    std::string v3;
    ASSERT_TRUE(pi.getPasswordAsV3("Session", "pCntInfo", v3));
    EXPECT_EQ(v3[0], '3');
    EXPECT_EQ(plainOf(v3), "net pass");

    KYPassword read;
    ASSERT_EQ(pi.getPassword("Session", "pCntInfo", &read), 1);
    EXPECT_EQ(plainOf(read), "net pass");
}

TEST_F(PasswordStoreTest, FailuresNameSectionAndFieldButNeverThePassword) {
    Raw::string("Database", "pBROKEN", kUnreadable3);
    Raw::string("Database", "pFOREIGN", "9abcdef");
    const std::string longSecret = "TopSecretMarker" + std::string(20000, 'x');
    struct Case {
        const char* name;
        std::function<int(KYPlatformInfo&)> call;
        std::string printed;
    };
    const std::vector<Case> cases = {
        {"store null",
         [](KYPlatformInfo& pi) { return pi.setPassword("Database", "pACCESS", nullptr); },
         "KYPlatformInfo::setPassword(): NULL or empty password object passed as input\n"},
        {"store empty object",
         [](KYPlatformInfo& pi) {
             KYPassword empty;
             return pi.setPassword("Database", "pACCESS", &empty);
         },
         "KYPlatformInfo::setPassword(): NULL or empty password object passed as input\n"},
        {"read into null",
         [](KYPlatformInfo& pi) { return pi.getPassword("Database", "pBROKEN", nullptr); },
         "KYPlatformInfo::getPassword(): NULL password pointer passed as input.\n"},
        {"read unreadable",
         [](KYPlatformInfo& pi) {
             KYPassword p;
             return pi.getPassword("Database", "pBROKEN", &p);
         },
         "KYPlatformInfo::getPassword(): Failed to decrypt password " + inRoot("Database") +
             " stored as field pBROKEN under section Database]. Error[0x14000008].\n"},
        {"read foreign format",
         [](KYPlatformInfo& pi) {
             KYPassword p;
             return pi.getValue(std::string("Database"), std::string("pFOREIGN"), p);
         },
         "KYPlatformInfo::getPassword(): Failed to decrypt password " + inRoot("Database") +
             " stored as field pFOREIGN under section Database]. Error[0x140000AE].\n"},
        {"V3 of unreadable",
         [](KYPlatformInfo& pi) {
             std::string out;
             return pi.getPasswordAsV3("Database", "pBROKEN", out) ? 1 : 0;
         },
         "KYPlatformInfo::getPasswordAsV3(): Failed to decrypt password stored in field "
         "[pBROKEN] under section[Database]. Error[0x14000008].\n"},
        {"V8 of null plain text",
         [](KYPlatformInfo& pi) { return pi.setPasswordAsV8("Session", "pCntInfo", nullptr); },
         "KYPlatformInfo::setPasswordAsV8(): Failed to encrypt password to be stored in field "
         "[pCntInfo] under section[Session]. Error[0x14000003].\n"},
        {"V8 of a password too long",
         [&](KYPlatformInfo& pi) {
             return pi.setPasswordAsV8("Session", "pCntInfo", longSecret.c_str());
         },
         "KYPlatformInfo::setPasswordAsV8(): Failed to encrypt password to be stored in field "
         "[pCntInfo] under section[Session]. Error[0x140000AF].\n"},
        {"V8 of null protected text",
         [](KYPlatformInfo& pi) {
             return pi.setEncryptedPasswordAsV8("Session", "pCntInfo", nullptr);
         },
         "KYPlatformInfo::setEncryptedPasswordAsV8(): Failed to encrypt password to be stored "
         "in field [pCntInfo] under section[Session]. Error[0x14000003].\n"},
        {"V8 of unreadable protected text",
         [](KYPlatformInfo& pi) {
             return pi.setEncryptedPasswordAsV8("Session", "pCntInfo", kUnreadable3.c_str());
         },
         "KYPlatformInfo::setEncryptedPasswordAsV8(): Failed to encrypt password to be stored "
         "in field [pCntInfo] under section[Session]. Error[0x14000008].\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KYPlatformInfo pi = printing();
        int result = -1;
        const std::string printed = printedBy([&] { result = c.call(pi); });
        EXPECT_EQ(result, 0);
        EXPECT_EQ(printed, c.printed);
        EXPECT_EQ(pi.getRegError(), -1);
        EXPECT_EQ(printed.find("TopSecretMarker"), std::string::npos);
    }
    // Nothing was written by a failed write.
    EXPECT_EQ(Raw::get("Session", "pCntInfo").type, static_cast<DWORD>(REG_NONE));
    EXPECT_EQ(Raw::get("Database", "pACCESS").type, static_cast<DWORD>(REG_NONE));
}

TEST_F(PasswordStoreTest, MissingValueFailsQuietly) {
    KYPlatformInfo pi = printing();
    KYPassword p;
    std::string v3;
    EXPECT_EQ(printedBy([&] {
                  EXPECT_EQ(pi.getPassword("Database", "pACCESS", &p), 0);
                  EXPECT_EQ(pi.getRegError(), -2);
                  EXPECT_FALSE(pi.getPasswordAsV3("Database", "pACCESS", v3));
              }),
              "");
}

// ---- Network passwords ---------------------------------------------------------------------

enum class Role { Zentra, MediaAgent, Client };

int getNetwork(KYPlatformInfo& pi, Role role, KYPassword* p) {
    switch (role) {
        case Role::Zentra:
            return pi.getZentraNetworkPassword(p);
        case Role::MediaAgent:
            return pi.getMediaAgentNetworkPassword(p);
        case Role::Client:
            return pi.getCommClientNetworkPassword(p);
    }
    return -1;
}

int setNetwork(KYPlatformInfo& pi, Role role, KYPassword* p) {
    switch (role) {
        case Role::Zentra:
            return pi.setZentraNetworkPassword(p);
        case Role::MediaAgent:
            return pi.setMediaAgentNetworkPassword(p);
        case Role::Client:
            return pi.setCommClientNetworkPassword(p);
    }
    return -1;
}

struct Place {
    const char* section;
    const char* field;
};
constexpr Place kCommon{"Session", "pCntInfo"};

TEST_F(PasswordStoreTest, NetworkPasswordIsReadInTheRoleOrder) {
    struct Case {
        const char* name;
        DWORD platformType;
        Role role;
        Place own;
        const char* ownValue;  // null: not stored
        const char* expected;  // the plain password read
    };
    const Case cases[] = {
        {"server own", 1, Role::Zentra, {"Session", "pZSNETPWD"}, "own", "own"},
        {"server common", 1, Role::Zentra, {"Session", "pZSNETPWD"}, nullptr, "common"},
        {"agent own", 2, Role::MediaAgent, {"MediaAgent", "pZSNETPWD"}, "own", "own"},
        {"agent common", 2, Role::MediaAgent, {"MediaAgent", "pZSNETPWD"}, nullptr, "common"},
        {"agent empty own", 2, Role::MediaAgent, {"MediaAgent", "pZSNETPWD"}, "", "common"},
        {"client own", 4, Role::Client, {"zOvivEruva", "pZSNETPWD"}, "own", "own"},
        {"client common", 4, Role::Client, {"zOvivEruva", "pZSNETPWD"}, nullptr, "common"},
        {"client on agent", 6, Role::Client, {"zOvivEruva", "pZSNETPWD"}, "own", "own"},
        {"agent on client", 6, Role::MediaAgent, {"MediaAgent", "pZSNETPWD"}, nullptr, "common"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        freshInstance();
        setPlatformType(c.platformType);
        Raw::string(kCommon.section, kCommon.field, protect3("common"));
        if (c.ownValue != nullptr)
            Raw::string(c.own.section, c.own.field, *c.ownValue ? protect3(c.ownValue) : "");
        // Another role's own value is never the answer.
        Raw::string("Unrelated", "pZSNETPWD", protect3("wrong"));
        KYPlatformInfo pi = printing();
        KYPassword p;
        EXPECT_EQ(printedBy([&] { EXPECT_EQ(getNetwork(pi, c.role, &p), 1); }), "");
        EXPECT_EQ(plainOf(p), c.expected);
    }
}

TEST_F(PasswordStoreTest, NetworkPasswordIsWrittenToTheRoleTarget) {
    struct Case {
        const char* name;
        DWORD platformType;
        Role role;
        Place own;
        bool ownExists;
        Place expected;
    };
    const Case cases[] = {
        {"server", 1, Role::Zentra, {"Session", "pZSNETPWD"}, false, kCommon},
        // Reads prefer the server's own value, so a write must go there when it exists.
        {"server with own",
         1,
         Role::Zentra,
         {"Session", "pZSNETPWD"},
         true,
         {"Session", "pZSNETPWD"}},
        {"agent with own",
         2,
         Role::MediaAgent,
         {"MediaAgent", "pZSNETPWD"},
         true,
         {"MediaAgent", "pZSNETPWD"}},
        {"agent without own", 2, Role::MediaAgent, {"MediaAgent", "pZSNETPWD"}, false, kCommon},
        {"client with own",
         4,
         Role::Client,
         {"zOvivEruva", "pZSNETPWD"},
         true,
         {"zOvivEruva", "pZSNETPWD"}},
        {"client without own", 4, Role::Client, {"zOvivEruva", "pZSNETPWD"}, false, kCommon},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        freshInstance();
        setPlatformType(c.platformType);
        const std::string before = protect3("before");
        if (c.ownExists)
            Raw::string(c.own.section, c.own.field, before);
        KYPlatformInfo pi = printing();
        KYPassword p;
        ASSERT_EQ(p.encrypt("new network password"), 1);
        ASSERT_EQ(setNetwork(pi, c.role, &p), 1);
        EXPECT_EQ(Raw::get(c.expected.section, c.expected.field).text, p.getProtectedText());
        // The value not chosen is left as it was, and not created.
        if (std::string(c.expected.field) != c.own.field ||
            std::string(c.expected.section) != c.own.section) {
            const Raw::Value own = Raw::get(c.own.section, c.own.field);
            if (c.ownExists)
                EXPECT_EQ(own.text, before);
            else
                EXPECT_EQ(own.type, static_cast<DWORD>(REG_NONE));
        }
        KYPassword read;
        ASSERT_EQ(getNetwork(pi, c.role, &read), 1);
        EXPECT_EQ(plainOf(read), "new network password");
    }
}

TEST_F(PasswordStoreTest, NetworkPasswordChecksRoleAndObject) {
    struct Case {
        const char* name;
        DWORD platformType;  // 0: not stored
        std::function<int(KYPlatformInfo&)> call;
        std::string printed;
    };
    KYPassword p;
    const std::vector<Case> cases = {
        {"server read on client", 4,
         [&](KYPlatformInfo& pi) { return pi.getZentraNetworkPassword(&p); },
         "KYPlatformInfo::getZentraNetworkPassword(): Invalid platform type.\n"},
        {"agent write on server", 1,
         [&](KYPlatformInfo& pi) { return pi.setMediaAgentNetworkPassword(&p); },
         "KYPlatformInfo::setMediaAgentNetworkPassword(): Invalid platform type.\n"},
        {"client read on agent", 2,
         [&](KYPlatformInfo& pi) { return pi.getCommClientNetworkPassword(&p); },
         "KYPlatformInfo::getCommClientNetworkPassword(): Invalid platform type.\n"},
        {"no platform type", 0,
         [&](KYPlatformInfo& pi) { return pi.getCommClientNetworkPassword(&p); }, ""},
        {"no platform type write", 0,
         [&](KYPlatformInfo& pi) { return pi.setZentraNetworkPassword(&p); }, ""},
        {"null read", 2,
         [](KYPlatformInfo& pi) { return pi.getMediaAgentNetworkPassword(nullptr); },
         "KYPlatformInfo::getMediaAgentNetworkPassword(): Invalid buffer passed as input.\n"},
        {"null write", 4,
         [](KYPlatformInfo& pi) { return pi.setCommClientNetworkPassword(nullptr); },
         "KYPlatformInfo::setCommClientNetworkPassword(): Invalid buffer passed as input.\n"},
        {"find without role", 0, [&](KYPlatformInfo& pi) { return pi.findNetworkPassword(&p); },
         "KYPlatformInfo::findNetworkPassword(): Invalid platform type.\n"},
        {"find with gateway only", 0x10,
         [&](KYPlatformInfo& pi) { return pi.findNetworkPassword(&p); },
         "KYPlatformInfo::findNetworkPassword(): Invalid platform type.\n"},
        {"find into null", 1, [](KYPlatformInfo& pi) { return pi.findNetworkPassword(nullptr); },
         "KYPlatformInfo::findNetworkPassword(): Invalid KYPassword pointer passed as input.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        freshInstance();
        if (c.platformType != 0)
            setPlatformType(c.platformType);
        Raw::string(kCommon.section, kCommon.field, protect3("common"));
        KYPlatformInfo pi = printing();
        int result = -1;
        EXPECT_EQ(printedBy([&] { result = c.call(pi); }), c.printed);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(Raw::get(kCommon.section, kCommon.field).text, protect3("common"));
    }
}

TEST_F(PasswordStoreTest, GatewayPasswordsKeepEachRegistrationApart) {
    using Call = int (KYPlatformInfo::*)(const char*, KYPassword*);
    struct Place {
        Call set;
        Call get;
        const char* section;
        const char* field;
    };
    const Place places[] = {
        {&KYPlatformInfo::cnSetNetworkPasswordOnChild, &KYPlatformInfo::cnGetNetworkPasswordOnChild,
         "Gateway\\Children\\gw1", "pZSNETPWD"},
        {&KYPlatformInfo::cnSetNetworkPasswordOnParent,
         &KYPlatformInfo::cnGetNetworkPasswordOnParent, "Gateway\\Parents\\gw1", "pZSNETPWD"},
        {&KYPlatformInfo::cnSetSelfNetworkPasswordOnParent,
         &KYPlatformInfo::cnGetSelfNetworkPasswordOnParent, "Gateway\\Parents\\gw1", "pSelfNETPWD"},
    };
    KYPlatformInfo pi;
    // Every place gets its own password, and another gateway's name never reaches it.
    for (std::size_t i = 0; i < std::size(places); ++i) {
        KYPassword p;
        ASSERT_EQ(p.encrypt(("pw" + std::to_string(i)).c_str()), 1);
        EXPECT_EQ((pi.*places[i].set)("gw1", &p), 1) << i;
        EXPECT_EQ(plainOf(Raw::get(places[i].section, places[i].field).text),
                  "pw" + std::to_string(i));
    }
    for (std::size_t i = 0; i < std::size(places); ++i) {
        KYPassword p;
        EXPECT_EQ((pi.*places[i].get)("gw1", &p), 1) << i;
        EXPECT_EQ(plainOf(p), "pw" + std::to_string(i));
        KYPassword other;
        EXPECT_EQ((pi.*places[i].get)("gw2", &other), 0) << i;
    }

    struct Refused {
        const char* name;
        KYPassword* password;
        const char* printed;
    };
    KYPassword p;
    const Refused refused[] = {
        {nullptr, &p, "KYPlatformInfo::cnSetNetworkPasswordOnChild(): Invalid gateway name.\n"},
        {"", &p, "KYPlatformInfo::cnSetNetworkPasswordOnChild(): Invalid gateway name.\n"},
        {"..\\..\\Session", &p,
         "KYPlatformInfo::cnSetNetworkPasswordOnChild(): Invalid gateway name.\n"},
        {"gw1/Deeper", &p,
         "KYPlatformInfo::cnSetNetworkPasswordOnChild(): Invalid gateway name.\n"},
        {"gw1", nullptr,
         "KYPlatformInfo::cnSetNetworkPasswordOnChild(): Invalid buffer passed as input.\n"},
    };
    KYPlatformInfo loud = printing();
    for (const Refused& r : refused) {
        SCOPED_TRACE(r.name ? r.name : "(null)");
        int result = -1;
        EXPECT_EQ(printedBy([&] { result = loud.cnSetNetworkPasswordOnChild(r.name, r.password); }),
                  r.printed);
        EXPECT_EQ(result, 0);
    }
}

TEST_F(PasswordStoreTest, FindNetworkPasswordUsesTheFirstRoleOfTheInstallation) {
    struct Case {
        DWORD platformType;
        const char* expected;
    };
    const Case cases[] = {{1, "server"}, {3, "server"}, {2, "agent"}, {6, "agent"}, {4, "client"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.platformType);
        setPlatformType(c.platformType);
        Raw::string("Session", "pZSNETPWD", protect3("server"));
        Raw::string("MediaAgent", "pZSNETPWD", protect3("agent"));
        Raw::string("zOvivEruva", "pZSNETPWD", protect3("client"));
        KYPlatformInfo pi = printing();
        KYPassword p;
        EXPECT_EQ(printedBy([&] { EXPECT_EQ(pi.findNetworkPassword(&p), 1); }), "");
        EXPECT_EQ(plainOf(p), c.expected);
    }
}

// A role's own value that is there but unreadable is reported, not replaced by the common
// one: the role would otherwise authenticate with a password nobody meant for it.
TEST_F(PasswordStoreTest, UnreadableOwnNetworkPasswordIsNotReplacedByTheCommonOne) {
    setPlatformType(2);
    Raw::string("MediaAgent", "pZSNETPWD", kUnreadable3);
    Raw::string(kCommon.section, kCommon.field, protect3("common"));
    KYPlatformInfo pi = printing();
    KYPassword p;
    const std::string printed =
        printedBy([&] { EXPECT_EQ(pi.getMediaAgentNetworkPassword(&p), 0); });
    EXPECT_NE(printed.find("Failed to decrypt password "), std::string::npos) << printed;
    EXPECT_NE(printed.find("stored as field pZSNETPWD under section MediaAgent]"),
              std::string::npos)
        << printed;
    EXPECT_EQ(p.getProtectedLength(), 0);
}

// ---- Upgrade of stored passwords --------------------------------------------------------------

TEST_F(PasswordStoreTest, UpgradeRewritesOldFormsAndLeavesTheRest) {
    const std::string v8 = [] {
        KYPassword p;
        secure_string out;
        EXPECT_EQ(p.encryptV8(secure_string("already"), out), 1);
        return std::string(out.c_str());
    }();
    const std::string hash = "7" + std::string(64, 'a');
    Raw::string("Database", "pACCESS", "");                                    // empty
    Raw::string("Session", "pCntInfo", protect3("session"));                   // old: rewritten
    Raw::string("Database", "pCLOUDACCESS", protect3("cloud"));                // old: rewritten
    Raw::set("zOvivEruva", "Lukspassphrase", REG_EXPAND_SZ, v8);               // current
    Raw::string("Database", "sSQLAccess", hash);                               // not protected
    Raw::string("FileSystemAgent", "sREGISTERMEUSER", kUnreadable3);           // fails
    Raw::string("Machines\\PC1", "dJOBRESULTSDIR_Password", protect3("pc1"));  // after the failure
    Raw::string("Machines\\PC2", "sHOSTNAME", "pc2");                          // no password
    Raw::string("Unlisted", "pACCESS", protect3("unlisted"));                  // not a known value

    KYPlatformInfo pi = printing();
    KYPI_PasswordUpgradeCounts counts;
    const std::string printed =
        printedBy([&] { EXPECT_EQ(pi.UpdateSavedPasswordsToLatestVersion(&counts), 0); });

    struct Expect {
        const char* section;
        const char* field;
        DWORD type;
        std::string text;  // empty: a V8 text holding `plain`
        const char* plain;
    };
    const Expect expected[] = {
        {"Database", "pACCESS", REG_SZ, "", nullptr},
        {"Session", "pCntInfo", REG_SZ, "", "session"},
        {"Database", "pCLOUDACCESS", REG_SZ, "", "cloud"},
        {"zOvivEruva", "Lukspassphrase", REG_EXPAND_SZ, v8, nullptr},
        {"Database", "sSQLAccess", REG_SZ, hash, nullptr},
        {"FileSystemAgent", "sREGISTERMEUSER", REG_SZ, kUnreadable3, nullptr},
        {"Machines\\PC1", "dJOBRESULTSDIR_Password", REG_SZ, "", "pc1"},
        {"Unlisted", "pACCESS", REG_SZ, protect3("unlisted"), nullptr},
    };
    for (const Expect& e : expected) {
        SCOPED_TRACE(std::string(e.section) + "/" + e.field);
        const Raw::Value v = Raw::get(e.section, e.field);
        EXPECT_EQ(v.type, e.type);
        if (e.plain == nullptr) {
            EXPECT_EQ(v.text, e.text);
        } else {
            EXPECT_TRUE(KYPassword::isV8Password(v.text.c_str())) << v.text;
            EXPECT_EQ(plainOf(v.text), e.plain);
        }
    }
    EXPECT_EQ(Raw::get("Machines\\PC2", "dJOBRESULTSDIR_Password").type,
              static_cast<DWORD>(REG_NONE));
    EXPECT_EQ(counts.rewritten, 3);
    EXPECT_EQ(counts.current, 2);
    EXPECT_EQ(counts.failed, 1);
    EXPECT_EQ(printed,
              "KYPlatformInfo::setEncryptedPasswordAsV8(): Failed to encrypt password to be "
              "stored in field [sREGISTERMEUSER] under section[FileSystemAgent]. "
              "Error[0x14000008].\n");

    // A second walk finds nothing left to do.
    KYPI_PasswordUpgradeCounts again;
    Raw::string("FileSystemAgent", "sREGISTERMEUSER", "");
    EXPECT_EQ(printedBy([&] { EXPECT_EQ(pi.UpdateSavedPasswordsToLatestVersion(&again), 1); }), "");
    EXPECT_EQ(again.rewritten, 0);
    EXPECT_EQ(again.failed, 0);
    EXPECT_EQ(again.current, 5);
}

TEST_F(PasswordStoreTest, UpgradeOfAnEmptyInstanceSucceedsWithoutWriting) {
    KYPlatformInfo pi = printing();
    KYPI_PasswordUpgradeCounts counts;
    EXPECT_EQ(printedBy([&] { EXPECT_EQ(pi.UpdateSavedPasswordsToLatestVersion(&counts), 1); }),
              "");
    EXPECT_EQ(counts.rewritten + counts.current + counts.failed, 0);
    EXPECT_GT(counts.absent, 0);
    EXPECT_EQ(pi.UpdateSavedPasswordsToLatestVersion(), 1);
}

// With V8 protection turned off there is no newer form to move to: nothing is rewritten,
// not even a text already in format '8' (which would only be written back). The switch is
// read once per process, so the walk runs in a process of its own.
TEST(PasswordUpgradeWithoutV8Test, LeavesEveryValueAlone) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            kytest::TempDir dir;
            ::setenv("KY_REGISTRY", dir.file("registry.db").c_str(), 1);
            ::setenv("KY_MACHINE_KEY", dir.file("machine.key").c_str(), 1);
            kyos::reg::setStorePath(dir.file("registry.db"));
            KYPI_Focus::setFocus("Instance001");
            KYPI_Focus::setProductName("Sarvex");
            KYPI_Focus::setProductType(KELBRIN_PRODUCT_TYPE_DEFAULT);
            Raw::dword("", "CryptUseV8Encryption", 0);
            KYPassword p;
            secure_string v8;
            if (KYPassword::isV8EncryptionEnabled() || !p.encryptV8(secure_string("pw"), v8))
                std::_Exit(3);
            Raw::set("Session", "pCntInfo", REG_EXPAND_SZ, v8.c_str());
            Raw::string("Database", "pACCESS", protect3("db"));
            KYPlatformInfo pi;
            KYPI_PasswordUpgradeCounts counts;
            const int ok = pi.UpdateSavedPasswordsToLatestVersion(&counts);
            const bool untouched = Raw::get("Session", "pCntInfo").type == REG_EXPAND_SZ &&
                                   Raw::get("Database", "pACCESS").text == protect3("db");
            std::_Exit(ok == 1 && untouched && counts.rewritten == 0 && counts.current == 2 ? 0
                                                                                            : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
