// kybasic demo: the road a process of the product takes when it starts, shown step by
// step. It finds its installation instance in the store (or lays down the one a fresh
// install would hold), opens its debug log from the instance's settings, writes each
// step it takes into that log, and prints what it found and where the log is.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kylib/diagnostics/EvDebug.h"
#include "kylib/platforminfo/KYPlatformInfo.h"
#include "os/LastError.h"
#include "os/registry/Registry.h"
#include "siblings/KyFocus/KYPI_Focus.h"
#include "siblings/RoDorovev/RoDorovev.h"
#include "tools/kybasic/Commands.h"

namespace kybasic {
namespace {

// The version this build of the product installs.
constexpr const char* kProductVersion = "11.36.0";
constexpr unsigned long kPlatformTypeClient = 4;

struct Value {
    std::string section;  // in the instance notation: "" is the instance root
    const char* name;
    DWORD type;
    std::string text;      // for the string types
    unsigned long number;  // for REG_DWORD
};

// Where a fresh install puts its folders: system folders for root, the home folder
// otherwise.
std::string installRoot() {
    if (geteuid() == 0)
        return "/opt/kelbrin";
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
        {"Machines/" + client, "sHOSTNAME", REG_SZ, client, 0},
    };
}

bool write(KYPlatformInfo& store, const Value& v) {
    const char* section = v.section.c_str();
    switch (v.type) {
        case REG_DWORD:
            return store.setNumber(section, v.name, v.number) != 0;
        case REG_EXPAND_SZ:
            return store.setDirectory(section, v.name, v.text.c_str(),
                                      static_cast<int>(v.text.size())) != 0;
        default:
            return store.setString(section, v.name, v.text) != 0;
    }
}

std::string read(KYPlatformInfo& store, const Value& v) {
    if (v.type == REG_DWORD) {
        unsigned long n = 0;
        return store.getNumber(v.section.c_str(), v.name, &n) ? std::to_string(n) : "(missing)";
    }
    std::string text;
    return store.getString(v.section.c_str(), v.name, &text) ? text : "(missing)";
}

}  // namespace

int runDemo(int, char**) {
    const char* clientName = KYPI_Focus::getFocusClientName();
    const std::string client = clientName ? clientName : RoDorovev::GetLocalHostName();
    std::vector<std::string> road;  // what happened before the log was open

    // 1. The installation: the instance this process belongs to, in the store.
    std::printf("Registry store: %s\n", kyos::reg::storePath().c_str());
    KYPlatformInfo store(0, 0);
    std::vector<std::string> instances;
    store.GetAllInInstances(instances);
    bool found = false;
    for (const std::string& name : instances)
        found = found || name == store.getFocus();
    const std::vector<Value> values = freshInstall(client);
    if (!found) {
        // Laid down in one transaction: a half-made instance would look like a broken one.
        kyos::reg::Transaction txn;
        bool ok = txn.status() == ERROR_SUCCESS;
        for (const Value& v : values)
            ok = ok && write(store, v);
        DWORD rc = ok ? txn.commit() : ERROR_INVALID_FUNCTION;
        if (rc != ERROR_SUCCESS) {
            std::fprintf(stderr, "kybasic demo: cannot create the instance: %s\n",
                         store.getLastErrorMsg().empty() ? kyos::win32MessageText(rc).c_str()
                                                         : store.getLastErrorMsg().c_str());
            return 1;
        }
    }
    road.push_back(std::string("Instance ") + store.getFocus() +
                   (found ? " found" : " created as a fresh install"));

    // 2. The debug log, opened from the instance's settings.
    EvDebug log;
    if (!log.initialize(EvDebug::getLogId("kybasic"), 0, true, "")) {
        std::fprintf(stderr, "kybasic demo: cannot open the debug log: %s\n",
                     kyos::win32MessageText(kyos::lastError()).c_str());
        return 1;
    }
    for (const std::string& step : road)
        log.DebugLvl("kybasic::demo", 1, "%s", step.c_str());
    log.DebugLvl("kybasic::demo", 1, "Debug log opened as [%s] at level %d",
                 log.getModuleName().c_str(), log.getDebugLevel());

    // 3. The settings a process reads before its work.
    std::printf("Instance %s of %s: %s\n", store.getFocus(), store.getProductName(),
                found ? "found" : "created as a fresh install");
    for (const Value& v : values) {
        std::string shown = read(store, v);
        std::string name = (v.section.empty() ? "" : v.section + "/") + v.name;
        std::printf("    %-24s %s\n", name.c_str(), shown.c_str());
        log.DebugLvl("kybasic::demo", 2, "Read [%s] = [%s]", name.c_str(), shown.c_str());
    }
    log.DebugLvl("kybasic::demo", 1, "Platform type %lu, process %s (%ld) on %s",
                 store.getKYPlatformType(), EvDebug::getProcessName(), EvDebug::getProcessId(),
                 EvDebug::getHostName());
    std::printf("Debug log: %s\n", log.getLogFilePath().c_str());
    log.finalize();
    return 0;
}

}  // namespace kybasic
