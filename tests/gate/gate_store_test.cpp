#include "gate/gate_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "core/json.h"
#include "core/time.h"
#include "os/files.h"
#include "os/log.h"
#include "os/paths.h"
#include "support/gate_requests.h"
#include "support/golden.h"
#include "support/temp_dir.h"

namespace vel::gate {
namespace {

std::string Slurp(const std::string& path) {
    std::string text;
    EXPECT_TRUE(ReadFileText(path, text)) << path;
    return text;
}

void Put(const std::string& path, std::string_view text) {
    ASSERT_TRUE(WriteFileAtomic(path, text)) << path;
}

using test::PlaceholderCredential;

class GateStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        gatePath_ = JoinPath(dir_, "gate.json");
        enrollmentPath_ = JoinPath(dir_, "enrollment.json");
    }

    // A gate.json holding only the given config members.
    void PutConfig(const std::string& members) {
        Put(gatePath_, R"({"version":1,"config":{)" + members + R"(},"credentials":[]})");
    }

    GateConfig LoadConfig() {
        GateStore store;
        std::string error;
        EXPECT_TRUE(store.load(gatePath_, error)) << error;
        return store.config();
    }

    test::TempDir tempDir_;
    const std::string dir_ = tempDir_.path();
    std::string gatePath_;
    std::string enrollmentPath_;
    std::string error_;
};

TEST_F(GateStoreTest, FirstLoadWritesDefaultsWithTheGateIdItKeeps) {
    GateStore store;
    ASSERT_TRUE(store.load(gatePath_, error_)) << error_;
    const std::string gateId = store.config().gateId;
    ASSERT_EQ(gateId.size(), 32u);
    EXPECT_EQ(LoadConfig().gateId, gateId);
    // The creator's own later save keeps the id that others load.
    ASSERT_TRUE(store.save(error_)) << error_;
    EXPECT_EQ(LoadConfig().gateId, gateId);
}

// Every field is read and written back in its place; the gate id the file holds stays.
TEST_F(GateStoreTest, GateJsonRoundTripsInItsExactLayout) {
    const std::string golden = test::Golden("gate-store-full.json");
    JsonValue compact;
    ASSERT_TRUE(JsonParse(golden, compact));
    Put(gatePath_, JsonDump(compact));  // so that only a real save brings the layout back
    GateStore store;
    ASSERT_TRUE(store.load(gatePath_, error_)) << error_;
    GateConfig config = store.config();
    config.gateId = "ffffffffffffffffffffffffffffffff";
    store.setConfig(config);
    ASSERT_TRUE(store.save(error_)) << error_;
    EXPECT_EQ(Slurp(gatePath_), golden);
}

TEST_F(GateStoreTest, LoadClampsAndFiltersConfigValues) {
    const struct {
        const char* members;
        int grantSeconds;
        int streamPort;
    } clamps[] = {
        {R"("grantSeconds":5,"streamPort":0)", 15, 7441},
        {R"("grantSeconds":10000,"streamPort":70000)", 600, 7441},
        {R"("grantSeconds":4294967311,"streamPort":65535)", 600, 65535},  // no wrapping
    };
    for (const auto& clamp : clamps) {
        PutConfig(clamp.members);
        const GateConfig config = LoadConfig();
        EXPECT_EQ(config.grantSeconds, clamp.grantSeconds) << clamp.members;
        EXPECT_EQ(config.streamPort, clamp.streamPort) << clamp.members;
    }

    PutConfig(R"("machineName":"","allowedCountries":["ru","KZ","USA",7,"d"])");
    const GateConfig config = LoadConfig();
    EXPECT_FALSE(config.machineName.empty());  // the computer name stays
    EXPECT_EQ(config.allowedCountries, (std::set<std::string>{"KZ", "RU"}));

    // A unit name that systemctl could read as an option or a path keeps the default.
    for (const char* unit : {"-xrdp.service", "../x.service", "xrdp", "x rdp.service"}) {
        PutConfig(std::string(R"("rdpService":")") + unit + "\"");
        EXPECT_EQ(LoadConfig().rdpService, "xrdp.service") << unit;
    }
}

TEST_F(GateStoreTest, CorruptOrUnreadableGateJsonIsNeverOverwritten) {
    const auto expectRefused = [&](const std::string& expectedError) {
        GateStore store;
        std::string error;
        EXPECT_FALSE(store.load(gatePath_, error));
        EXPECT_TRUE(error.starts_with(expectedError)) << error;
        // Nothing a caller does afterwards may replace the file with the defaults.
        EXPECT_FALSE(store.save(error));
        EXPECT_EQ(store.addCredential(PlaceholderCredential("new", "x"), error),
                  AddCredentialResult::Failed);
    };

    for (const char* text : {"[1,2]", "{\"config\":", ""}) {
        Put(gatePath_, text);
        expectRefused("gate.json is corrupt or not an object");
        EXPECT_EQ(Slurp(gatePath_), text);
    }

    // Larger than the read limit: refused with a reason, and left as it is.
    PutConfig(R"("listenPort":1)");
    ASSERT_EQ(::truncate(gatePath_.c_str(), static_cast<off_t>(kMaxReadFileSize + 1)), 0);
    expectRefused("cannot read " + gatePath_ + ": ");
    struct stat st {};
    ASSERT_EQ(::stat(gatePath_.c_str(), &st), 0);
    EXPECT_EQ(static_cast<std::size_t>(st.st_size), kMaxReadFileSize + 1);

    // Once the file is repaired, a store that failed before loads and writes again.
    GateStore store;
    EXPECT_FALSE(store.load(gatePath_, error_));
    PutConfig(R"("listenPort":1)");
    ASSERT_TRUE(store.load(gatePath_, error_)) << error_;
    EXPECT_TRUE(store.save(error_)) << error_;
}

TEST_F(GateStoreTest, CredentialsWithoutIdOrReadableKeyAreSkippedAndDisabledOnesKept) {
    InitLog(dir_, "gate");
    Put(gatePath_, R"({"credentials":[
        {"id":"","publicKey":{"kty":"EC2","x":"AQ","y":"Ag"}},
        {"id":"bad-key","publicKey":{"kty":"EC2","x":"AQ"}},
        {"id":"on","publicKey":{"kty":"RSA","n":"AQ","e":"AQAB"},"disabled":"true"},
        {"id":"off","publicKey":{"kty":"EC2","x":"AQ","y":"Ag"},"label":"old","disabled":1}
    ]})");
    GateStore store;
    ASSERT_TRUE(store.load(gatePath_, error_)) << error_;
    const std::vector<Credential> credentials = store.credentials();
    ASSERT_EQ(credentials.size(), 2u);
    EXPECT_EQ(credentials[0].id, "on");
    EXPECT_EQ(store.activeCredentialCount(), 1u);  // refusing the disabled one is the API test's
    EXPECT_NE(Slurp(LogFilePath())
                  .find("[WARN ] credential bad-key has an unreadable public key; skipped"),
              std::string::npos);
}

TEST_F(GateStoreTest, ReEnrollingTheSameKeyKeepsItsHistory) {
    Put(gatePath_, R"({"credentials":[
        {"id":"first","publicKey":{"kty":"EC2","x":"AQ","y":"Ag"}},
        {"id":"key","publicKey":{"kty":"EC2","x":"ERERERERERERERERERERERERERERERERERERERERERE",
         "y":"IiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiI"},"signCount":50,"label":"old",
         "aaguid":"aa","createdAt":100,"lastUsedAt":150,"useCount":5,"disabled":true}
    ]})");
    GateStore store;
    ASSERT_TRUE(store.load(gatePath_, error_)) << error_;

    // That another key under the same id is refused is seen in the gate API test.
    Credential again = PlaceholderCredential("key", "new");
    again.signCount = 1;
    again.createdAt = 999;
    ASSERT_EQ(store.addCredential(again, error_), AddCredentialResult::Replaced) << error_;
    EXPECT_TRUE(store.recordUse("key", 7));
    EXPECT_TRUE(store.removeCredential("first"));

    GateStore reread;
    ASSERT_TRUE(reread.load(gatePath_, error_)) << error_;
    const std::vector<Credential> credentials = reread.credentials();
    ASSERT_EQ(credentials.size(), 1u);
    const Credential& key = credentials[0];
    EXPECT_EQ(key.label, "new");
    EXPECT_FALSE(key.disabled);
    EXPECT_EQ(key.createdAt, 100);
    EXPECT_EQ(key.signCount, 7u);
    EXPECT_EQ(key.useCount, 6);
}

TEST_F(GateStoreTest, EnrollmentCodeLifecycle) {
    GateStore store;
    ASSERT_TRUE(store.load(gatePath_, error_)) << error_;
    const std::string code = store.issueEnrollmentCode(900, error_);
    ASSERT_EQ(code.size(), 14u) << error_;
    // Only a salted hash is stored; neither checking nor rewriting gate.json uses the code up.
    // That a new code replaces the old one is seen in the code command's test.
    EXPECT_EQ(Slurp(enrollmentPath_).find(code.substr(0, 4)), std::string::npos);
    EXPECT_TRUE(store.checkEnrollmentCode(code));
    ASSERT_TRUE(store.save(error_)) << error_;
    EXPECT_TRUE(store.consumeEnrollmentCode(code));
    EXPECT_FALSE(FileExists(enrollmentPath_));

    // A code that cannot be stored is not issued.
    ASSERT_EQ(::mkdir(enrollmentPath_.c_str(), 0700), 0);  // nothing can be renamed over it
    EXPECT_EQ(store.issueEnrollmentCode(900, error_), "");
    EXPECT_TRUE(error_.starts_with("failed to write " + enrollmentPath_ + ": ")) << error_;
    EXPECT_FALSE(store.enrollmentOpen());
}

// Rewrites path in place (same inode, same modification time), so that only its content tells
// the versions apart.
void RewriteKeepingIdentity(const std::string& path, std::string_view text) {
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    ASSERT_EQ(static_cast<std::size_t>(before.st_size), text.size());
    FILE* file = std::fopen(path.c_str(), "r+");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), file), text.size());
    ASSERT_EQ(std::fclose(file), 0);
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST_F(GateStoreTest, AFreshEnrollmentFileIsReadAgainThoughItsIdentityIsUnchanged) {
    GateStore store;
    ASSERT_TRUE(store.load(gatePath_, error_)) << error_;
    const std::string code = store.issueEnrollmentCode(900, error_);
    ASSERT_FALSE(code.empty()) << error_;
    JsonValue file;
    ASSERT_TRUE(JsonParse(Slurp(enrollmentPath_), file));

    // A version written just now may share its identity with the next one, so it is read again.
    EXPECT_TRUE(store.enrollmentOpen());
    file.set("expiresAt", UnixNow() - 1);
    RewriteKeepingIdentity(enrollmentPath_, JsonDump(file, 2));
    EXPECT_FALSE(store.enrollmentOpen());
}

// The service and a command both write gate.json at the same moment; neither loses the other's
// change, and the service sees a removal at its very next lookup.
TEST_F(GateStoreTest, TwoWritersKeepEachOthersChanges) {
    GateStore service;
    GateStore command;
    ASSERT_TRUE(service.load(gatePath_, error_)) << error_;
    ASSERT_EQ(service.addCredential(PlaceholderCredential("used", "Used"), error_),
              AddCredentialResult::Added);
    ASSERT_EQ(service.addCredential(PlaceholderCredential("lost", "Lost"), error_),
              AddCredentialResult::Added);
    ASSERT_TRUE(command.load(gatePath_, error_)) << error_;

    ASSERT_TRUE(command.removeCredential("lost"));
    Credential found;
    EXPECT_FALSE(service.findCredential("lost", found));
    EXPECT_FALSE(service.recordUse("lost", 1));  // a use racing the removal never restores it

    constexpr int kRounds = 40;
    std::thread uses([&] {
        for (int i = 1; i <= kRounds; ++i) EXPECT_TRUE(service.recordUse("used", i));
    });
    for (int i = 0; i < kRounds; ++i) {
        std::string error;
        ASSERT_EQ(
            command.addCredential(PlaceholderCredential("new-" + std::to_string(i), "n"), error),
            AddCredentialResult::Added);
    }
    uses.join();

    GateStore reread;
    ASSERT_TRUE(reread.load(gatePath_, error_)) << error_;
    const std::vector<Credential> credentials = reread.credentials();
    ASSERT_EQ(credentials.size(), 1u + kRounds);
    EXPECT_EQ(credentials[0].id, "used");
    EXPECT_EQ(credentials[0].useCount, kRounds);
}

}  // namespace
}  // namespace vel::gate
