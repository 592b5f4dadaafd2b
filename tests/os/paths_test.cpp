#include "os/paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "support/temp_dir.h"

namespace vel {
namespace {

TEST(EnsureDirectory, CreatesMissingParentsPrivatelyAndRefusesFiles) {
    test::TempDir dir;
    const std::string nested = dir.file("a/b/c");
    EXPECT_TRUE(EnsureDirectory(nested));
    struct stat st {};
    ASSERT_EQ(::stat(nested.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(EnsureDirectory(nested));  // existing directory

    std::ofstream(dir.file("plain")) << "x";
    EXPECT_FALSE(EnsureDirectory(dir.file("plain")));
    EXPECT_TRUE(FileExists(dir.file("plain")));
    EXPECT_FALSE(FileExists(nested));
}

}  // namespace
}  // namespace vel
