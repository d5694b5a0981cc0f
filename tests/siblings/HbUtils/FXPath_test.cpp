#include "siblings/HbUtils/FXPath.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/support/TempDir.h"

namespace {

TEST(FXPath, AppendJoinsWithOneSeparator) {
    struct Case {
        std::string base, part, joined;
    } cases[] = {
        {"a", "b", "a/b"}, {"a/", "b", "a/b"},        {"a", "/b", "a/b"}, {"a//", "//b/", "a/b/"},
        {"/", "b", "/b"},  {"/", "/", "/"},           {"", "b", "b"},     {"", "/b", "/b"},
        {"a", "", "a"},    {"/x//y", "z", "/x//y/z"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FXPath::Append(c.base, c.part), c.joined) << c.base << " + " << c.part;
    }
}

TEST(FXPath, DoesPathExist) {
    kytest::TempDir dir;
    kytest::writeFile(dir.file("f"), "x");
    ASSERT_EQ(::symlink(dir.file("nowhere").c_str(), dir.file("dangling").c_str()), 0);
    EXPECT_TRUE(FXPath::DoesPathExist(dir.path()));
    EXPECT_TRUE(FXPath::DoesPathExist(dir.file("f")));
    EXPECT_TRUE(FXPath::DoesPathExist(dir.file("dangling")));
    EXPECT_FALSE(FXPath::DoesPathExist(dir.file("missing")));
    EXPECT_FALSE(FXPath::DoesPathExist(dir.file("f/below")));
    EXPECT_FALSE(FXPath::DoesPathExist(""));
}

}  // namespace
