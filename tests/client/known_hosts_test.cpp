#include "client/known_hosts.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "os/files.h"
#include "support/temp_dir.h"

namespace vel::client {
namespace {

const std::string kFingerprint(64, 'A');

// Saving the first gate, privately, is seen end to end; here what comes after.
TEST(KnownHosts, KeepsTheFilePrivateAndOneEntryPerKey) {
    test::TempDir dir;
    const std::string path = dir.file("config/velmora/hosts.json");
    KnownHosts hosts(path);
    std::string error;
    ASSERT_TRUE(hosts.load(error)) << error;  // no file yet: no gates
    EXPECT_TRUE(hosts.hosts().empty());
    hosts.trust("gate.example:7440", kFingerprint, "PC-1");
    hosts.addKey("gate.example:7440", {"id-1", "alice@laptop", 1700000000});
    hosts.addKey("gate.example:7440", {"id-1", "renamed", 1700000001});
    hosts.addKey("gate.example:7440", {"id-2", "spare", 1700000002});
    ASSERT_TRUE(hosts.save(error)) << error;

    struct stat info {};
    ASSERT_EQ(::stat(dir.file("config/velmora").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    // Even a file someone made readable to others becomes private again on the next save.
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    ASSERT_TRUE(hosts.save(error)) << error;
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    KnownHosts again(path);
    ASSERT_TRUE(again.load(error)) << error;
    const KnownHost* host = again.find("gate.example:7440");
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(host->machine, "PC-1");
    ASSERT_EQ(host->keys.size(), 2u);
    EXPECT_EQ(host->keys[0].label, "renamed");
    EXPECT_EQ(host->keys[1].enrolledAt, 1700000002);
    EXPECT_EQ(again.find("gate.example:7441"), nullptr);
}

TEST(KnownHosts, DamagedFileIsReportedAndLeftAlone) {
    test::TempDir dir;
    const std::string path = dir.file("hosts.json");
    for (const char* text :
         {"{\"hosts\":[{\"address\":\"a:1\"", "{\"hosts\":[{\"address\":\"a:1\"}]}"}) {
        ASSERT_TRUE(WriteFileAtomic(path, text));
        KnownHosts hosts(path);
        std::string error;
        EXPECT_FALSE(hosts.load(error));
        EXPECT_NE(error.find(path + " is damaged"), std::string::npos) << error;
        std::string kept;
        ASSERT_TRUE(ReadFileText(path, kept));
        EXPECT_EQ(kept, text);
    }
}

}  // namespace
}  // namespace vel::client
