// kybasic demo: the road a process of the product takes when it starts, shown step by
// step. It finds the installation instance in the store, or lays down the one a fresh
// install would hold, and prints what it found or made.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "os/LastError.h"
#include "os/registry/Registry.h"
#include "siblings/KyFocus/KYPI_Focus.h"
#include "tools/kybasic/Commands.h"

namespace kybasic {
namespace {

// The version this build of the product installs.
constexpr const char* kProductVersion = "11.36.0";
constexpr DWORD kPlatformTypeClient = 4;

struct Value {
    std::string section;  // below the instance root; "" for the root itself
    const char* name;
    DWORD type;
    std::string text;     // for string types
    DWORD number;         // for REG_DWORD
};

std::string hostName() {
    char buf[HOST_NAME_MAX + 1] = {};
    return gethostname(buf, sizeof buf - 1) == 0 ? buf : "localhost";
}

// Where a fresh install puts its folders: system folders for root, the home folder
// otherwise.
std::string installRoot() {
    if (geteuid() == 0) return "/opt/kelbrin";
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "/tmp") + "/.local/share/kelbrin";
}

std::vector<Value> freshInstall(const std::string& client) {
    const std::string root = installRoot();
    const std::string logs = geteuid() == 0 ? "/var/log/kelbrin" : root + "/Log_Files";
    return {
        {"", "sProductVersion", REG_SZ, kProductVersion, 0},
        {"", "sPhysicalNodeName", REG_SZ, client, 0},
        {"Base", "dBASEHOME", REG_EXPAND_SZ, root + "/Base", 0},
        {"Base", "sVERSION", REG_SZ, "11.0", 0},
        {"Base", "nPLATTYPE", REG_DWORD, "", kPlatformTypeClient},
        {"Base", "dSARVEXTEMPDIR", REG_EXPAND_SZ, root + "/Temp", 0},
        {"Base", "nLanguageID", REG_DWORD, "", 0},
        {"EventManager", "dEVLOGDIR", REG_EXPAND_SZ, logs, 0},
        {"Machines\\" + client, "sHOSTNAME", REG_SZ, client, 0},
    };
}

std::string showValue(HKEY key, const char* name) {
    char buf[1024];
    DWORD type = 0, size = sizeof buf;
    if (kyos::reg::queryValue(key, name, &type, buf, &size) != ERROR_SUCCESS) return "(missing)";
    if (type == REG_DWORD && size == 4) {
        DWORD v;
        std::memcpy(&v, buf, 4);
        return std::to_string(v);
    }
    return std::string(buf, size > 0 && buf[size - 1] == '\0' ? size - 1 : size);
}

}  // namespace

int runDemo(int, char**) {
    const std::string product = KYPI_Focus::getProductName();
    const std::string instance = KYPI_Focus::getFocus();
    const char* clientName = KYPI_Focus::getFocusClientName();
    const std::string client = clientName ? clientName : hostName();
    const std::string instanceRoot = "SOFTWARE\\Kelbrin Systems\\" + product + "\\" + instance;

    std::printf("Registry store: %s\n", kyos::reg::storePath().c_str());
    HKEY probe = nullptr;
    DWORD rc = kyos::reg::openKey(HKEY_LOCAL_MACHINE, instanceRoot, 0, KEY_READ, &probe);
    bool found = rc == ERROR_SUCCESS;
    kyos::reg::closeKey(probe);
    if (!found && rc != ERROR_FILE_NOT_FOUND) {
        std::fprintf(stderr, "kybasic demo: cannot read the store: %s\n", kyos::win32MessageText(rc).c_str());
        return 1;
    }

    std::vector<Value> values = freshInstall(client);
    if (!found) {
        // Laid down in one transaction: a half-made instance would look like a broken one.
        kyos::reg::Transaction txn;
        for (const Value& v : values) {
            HKEY key = nullptr;
            rc = kyos::reg::createKey(HKEY_LOCAL_MACHINE, instanceRoot + "\\" + v.section, 0, KEY_ALL_ACCESS, &key,
                                      nullptr);
            if (rc == ERROR_SUCCESS) {
                rc = v.type == REG_DWORD
                         ? kyos::reg::setValue(key, v.name, v.type, &v.number, sizeof v.number)
                         : kyos::reg::setValue(key, v.name, v.type, v.text.c_str(),
                                               static_cast<DWORD>(v.text.size() + 1));
                kyos::reg::closeKey(key);
            }
            if (rc != ERROR_SUCCESS) break;
        }
        if (rc == ERROR_SUCCESS) rc = txn.commit();
        if (rc != ERROR_SUCCESS) {
            std::fprintf(stderr, "kybasic demo: cannot create the instance: %s\n",
                         kyos::win32MessageText(rc).c_str());
            return 1;
        }
    }
    std::printf("Instance %s of %s: %s\n", instance.c_str(), product.c_str(),
                found ? "found" : "created as a fresh install");
    std::printf("  HKEY_LOCAL_MACHINE\\%s\n", instanceRoot.c_str());
    for (const Value& v : values) {
        const std::string& section = v.section;
        HKEY key = nullptr;
        std::string shown = "(missing)";
        if (kyos::reg::openKey(HKEY_LOCAL_MACHINE, instanceRoot + "\\" + section, 0, KEY_READ, &key) ==
            ERROR_SUCCESS) {
            shown = showValue(key, v.name);
            kyos::reg::closeKey(key);
        }
        std::printf("    %-24s %s\n", ((section.empty() ? "" : section + "\\") + v.name).c_str(), shown.c_str());
    }
    return 0;
}

}  // namespace kybasic
