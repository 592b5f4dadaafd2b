#include "os/paths.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>

#include "support/temp_dir.h"

namespace vel {
namespace {

TEST(JoinPath, PutsExactlyOneSeparatorBetweenPieces) {
    EXPECT_EQ(JoinPath("/var/data/", "/x"), "/var/data/x");
    EXPECT_EQ(JoinPath("/var/data", "x"), "/var/data/x");
    EXPECT_EQ(JoinPath("/var/data", "/x"), "/var/data/x");
    EXPECT_EQ(JoinPath("", "x"), "x");
    EXPECT_EQ(JoinPath("a", ""), "a");
}

TEST(EnsureDirectory, CreatesMissingParentsPrivatelyAndRefusesFiles) {
    test::TempDir dir;
    const std::string nested = dir.file("a/b/c");
    EXPECT_TRUE(EnsureDirectory(nested));
    struct stat st {};
    ASSERT_EQ(::stat(nested.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(EnsureDirectory(nested));  // existing directory

    std::ofstream(dir.file("plain")) << "x";
    EXPECT_FALSE(EnsureDirectory(dir.file("plain")));
    EXPECT_FALSE(EnsureDirectory(""));
    EXPECT_TRUE(FileExists(dir.file("plain")));
    EXPECT_FALSE(FileExists(nested));
    EXPECT_FALSE(FileExists(dir.file("absent")));
}

TEST(DataDirectory, FollowsProgramDataAndCreatesTheFolder) {
    test::TempDir dir;
    const char* saved = std::getenv("PROGRAMDATA");
    const std::string previous = saved != nullptr ? saved : "";
    ::setenv("PROGRAMDATA", dir.path().c_str(), 1);
    EXPECT_EQ(DataDirectory(), dir.file("Velmora"));
    EXPECT_TRUE(EnsureDirectory(dir.file("Velmora")));
    if (saved != nullptr) {
        ::setenv("PROGRAMDATA", previous.c_str(), 1);
    } else {
        ::unsetenv("PROGRAMDATA");
    }
}

TEST(ExecutablePath, NamesThisTestProgram) {
    const std::string path = ExecutablePath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.substr(0, ExecutableDirectory().size()), ExecutableDirectory());
    EXPECT_TRUE(FileExists(path));
}

}  // namespace
}  // namespace vel
