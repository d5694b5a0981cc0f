// Runs the built kybasic tool as an administrator would: its own process, arguments,
// environment on top of the test's, standard input, and (as root) optionally as the
// unprivileged account "nobody". Found through KY_TEST_BIN_DIR.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "os/registry/Registry.h"
#include "tests/support/TempDir.h"

namespace kytest {

struct ToolResult {
    int code = -1;  // the exit code, -1 when it did not exit normally
    std::string out;
    std::string err;
};

struct ToolOptions {
    std::vector<std::pair<std::string, std::string>> environment;
    std::string input;
    bool asNobody = false;  // root only
};

inline constexpr uid_t kNobody = 65534;

// Null when the binary's folder is unknown (the test then skips).
inline const char* toolFolder() {
    return std::getenv("KY_TEST_BIN_DIR");
}

inline ToolResult runTool(const TempDir& scratch, const std::vector<std::string>& args,
                          const ToolOptions& options = {}) {
    const std::string in = scratch.file(".tool-in"), out = scratch.file(".tool-out"),
                      err = scratch.file(".tool-err");
    writeFile(in, options.input);
    writeFile(out, "");
    writeFile(err, "");
    if (options.asNobody) {
        for (const std::string& file : {in, out, err})
            if (chown(file.c_str(), kNobody, kNobody) != 0)
                return {};
    }
    const std::string tool = std::string(toolFolder()) + "/kybasic";
    std::vector<std::string> argv{tool};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_t child = fork();
    if (child < 0)
        return {};
    if (child == 0) {
        for (const auto& [name, value] : options.environment)
            setenv(name.c_str(), value.c_str(), 1);
        int fdIn = open(in.c_str(), O_RDONLY), fdOut = open(out.c_str(), O_WRONLY),
            fdErr = open(err.c_str(), O_WRONLY);
        if (fdIn < 0 || fdOut < 0 || fdErr < 0 || dup2(fdIn, 0) < 0 || dup2(fdOut, 1) < 0 ||
            dup2(fdErr, 2) < 0)
            _exit(126);
        if (options.asNobody && (setgid(kNobody) != 0 || setuid(kNobody) != 0))
            _exit(126);
        std::vector<char*> raw;
        for (std::string& a : argv)
            raw.push_back(a.data());
        raw.push_back(nullptr);
        execv(tool.c_str(), raw.data());
        _exit(127);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child)
        return {};
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(out), readFile(err)};
}

// A test of a verb run as the tool, with a private store holding the instance the tool
// is pointed at; skips when the tool's folder is unknown.
class ToolStoreTest : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        if (toolFolder() == nullptr)
            GTEST_SKIP() << "KY_TEST_BIN_DIR is not set";
    }

    // A text value of Instance001 ("" is its root).
    void setInstanceText(const std::string& section, const char* name, const std::string& value,
                         DWORD type = REG_SZ) {
        HKEY key = nullptr;
        std::string path = std::string("SOFTWARE\\Kelbrin Systems\\Sarvex\\Instance001") +
                           (section.empty() ? "" : "\\" + section);
        ASSERT_EQ(kyos::reg::createKey(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(kyos::reg::setValue(key, name, type, value.c_str(),
                                      static_cast<DWORD>(value.size() + 1)),
                  ERROR_SUCCESS);
        kyos::reg::closeKey(key);
    }

    // The environment that points the tool at this test's store and instance.
    ToolOptions instanceOptions(const std::string& store) const {
        return {
            {{"KY_REGISTRY", store}, {"KY_INSTANCE", "Instance001"}, {"KY_CLIENT_NAME", "client1"}},
            "",
            false};
    }
};

}  // namespace kytest
