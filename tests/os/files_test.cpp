#include "os/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace vel {
namespace {

std::string readText(const std::string& path) {
    std::string text;
    EXPECT_TRUE(ReadFileText(path, text));
    return text;
}

TEST(ReadFileBytes, LeavesOutputAloneOnFailureAndRefusesFilesOverSixtyFourMebibytes) {
    test::TempDir dir;
    Bytes out = {1, 2};
    EXPECT_FALSE(ReadFileBytes(dir.file("missing"), out));
    EXPECT_EQ(out, (Bytes{1, 2}));

    for (const off_t size : {off_t(kMaxReadFileSize), off_t(kMaxReadFileSize) + 1}) {
        const std::string path = dir.file(std::to_string(size));
        const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, size), 0);  // sparse: no real disk use
        ::close(fd);
        EXPECT_EQ(ReadFileBytes(path, out), size == off_t(kMaxReadFileSize)) << size;
    }
}

TEST(WriteFileAtomic, ReplacesContentAndKeepsTheMode) {
    test::TempDir dir;
    const std::string path = dir.file("gate.json");
    ASSERT_TRUE(WriteFileAtomic(path, "first"));
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    ASSERT_TRUE(WriteFileAtomic(path, "second, longer"));
    EXPECT_EQ(readText(path), "second, longer");
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(WriteFileAtomic, RemovesOnlyItsOwnStaleTemporaryFiles) {
    test::TempDir dir;
    const auto make = [&dir](const std::string& name, time_t age) {
        ASSERT_TRUE(WriteFileAtomic(dir.file(name), "x"));
        const timespec when[2] = {{::time(nullptr) - age, 0}, {::time(nullptr) - age, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, dir.file(name).c_str(), when, 0), 0);
    };
    make("gate.json.tmp.AbC123", 60);  // a killed writer's
    make("gate.json.tmp.XyZ789", 0);   // a concurrent writer's
    make("firewall.json.tmp.AbC123", 60);
    ASSERT_TRUE(WriteFileAtomic(dir.file("gate.json"), "{}"));
    EXPECT_FALSE(std::filesystem::exists(dir.file("gate.json.tmp.AbC123")));
    EXPECT_TRUE(std::filesystem::exists(dir.file("gate.json.tmp.XyZ789")));
    EXPECT_TRUE(std::filesystem::exists(dir.file("firewall.json.tmp.AbC123")));
}

// A writer killed at arbitrary moments must leave one complete version, never a mix or a stub.
TEST(WriteFileAtomic, KilledWriterLeavesOldOrNewContent) {
    test::TempDir dir;
    const std::string path = dir.file("state");
    const std::string versionA(200000, 'a');
    const std::string versionB(300000, 'b');
    ASSERT_TRUE(WriteFileAtomic(path, versionA));
    for (int round = 0; round < 20; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int i = 0;; ++i)
                static_cast<void>(WriteFileAtomic(path, i % 2 ? versionA : versionB));
        }
        ::usleep(static_cast<useconds_t>(1000 + round * 700));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        const std::string text = readText(path);
        EXPECT_TRUE(text == versionA || text == versionB)
            << "round " << round << " size " << text.size();
    }
}

}  // namespace
}  // namespace vel
