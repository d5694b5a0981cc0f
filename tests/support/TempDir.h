// Test fixtures: a private temporary folder per test, and a private registry store in
// it, so that tests never share files and can run in parallel.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace kytest {

// A fresh directory below $TMPDIR (or /tmp), removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Writes `bytes` to `path` (replacing it); reads a whole file back.
void writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);

// The descriptors this process has open now (the entries of /proc/self/fd), for tests
// that open and close resources many times and must end where they started.
int openDescriptorCount();

// A test whose registry store is a new file of its own: the store path is set for the
// whole process (and exported as KY_REGISTRY for child processes) in SetUp.
class StoreTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    TempDir dir_;
    std::string store_;
};

}  // namespace kytest
