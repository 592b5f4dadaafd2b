#include "gate/gate_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <thread>

#include "core/json.h"
#include "core/time.h"
#include "os/file_lock.h"
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

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
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
};

TEST_F(GateStoreTest, FirstLoadWritesDefaultsWithTheGateIdItKeeps) {
    GateStore store;
    std::string error;
    ASSERT_TRUE(store.load(gatePath_, error)) << error;
    const std::string gateId = store.config().gateId;
    ASSERT_EQ(gateId.size(), 32u);
    EXPECT_EQ(gateId.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_FALSE(store.config().machineName.empty());
    JsonValue written;
    ASSERT_TRUE(JsonParse(Slurp(gatePath_), written));
    EXPECT_EQ(written.get("config").get("listenPort").asInt(), 7440);
    EXPECT_EQ(written.get("config").get("grantSeconds").asInt(), 90);
    EXPECT_EQ(written.get("config").get("gateId").asString(), gateId);
    EXPECT_EQ(written.get("credentials").size(), 0u);

    // The creator's own later save keeps the id that others load.
    ASSERT_TRUE(store.save(error)) << error;
    GateStore second;
    ASSERT_TRUE(second.load(gatePath_, error)) << error;
    EXPECT_EQ(second.config().gateId, gateId);
}

TEST_F(GateStoreTest, WritesGateJsonInItsExactLayout) {
    GateStore store;
    std::string error;
    ASSERT_TRUE(store.load(gatePath_, error)) << error;
    GateConfig config;
    config.listenPort = 8443;
    config.rdpPort = 3390;
    config.grantSeconds = 120;
    config.requireUserVerification = true;
    config.bindGrantToSourceIp = false;
    config.certThumbprint = "AB12";
    config.gateId = "0123456789abcdef0123456789abcdef";  // the id the file holds stays
    config.machineName = "host-1";
    config.allowPrivateAddresses = false;
    config.streamEnabled = false;
    config.streamPort = 9000;
    config.streamVoiceDevice = "sink.1";
    config.allowedCountries = {"RU", "DE", "KZ"};
    config.rdpService = "gnome-remote-desktop.service";
    store.setConfig(config);
    ASSERT_TRUE(store.save(error)) << error;

    Credential a;
    a.id = "abc";
    a.publicKey.alg = -7;
    a.publicKey.crv = 1;
    a.publicKey.x = {1};
    a.publicKey.y = {2};
    a.signCount = 7;
    a.label = "Key A";
    a.aaguid = "000102030405060708090a0b0c0d0e0f";
    a.createdAt = 100;
    a.lastUsedAt = 200;
    a.useCount = 3;
    ASSERT_EQ(store.addCredential(a, error), AddCredentialResult::Added) << error;
    Credential b;
    b.id = "def";
    b.publicKey.alg = -257;
    b.publicKey.n = {1, 2, 3};
    b.publicKey.e = {1, 0, 1};
    b.label = "Key B";
    b.createdAt = 300;
    b.disabled = true;
    ASSERT_EQ(store.addCredential(b, error), AddCredentialResult::Added) << error;

    std::string expected = test::Golden("gate-store-full.json");
    const std::string gateId = store.config().gateId;
    ASSERT_EQ(gateId.size(), 32u);
    EXPECT_NE(gateId, config.gateId);
    expected.replace(expected.find(config.gateId), gateId.size(), gateId);
    EXPECT_EQ(Slurp(gatePath_), expected);

    // And it reads back to the same records.
    GateStore reread;
    ASSERT_TRUE(reread.load(gatePath_, error)) << error;
    EXPECT_EQ(reread.config().allowedCountries, config.allowedCountries);
    EXPECT_EQ(reread.config().streamVoiceDevice, "sink.1");
    EXPECT_EQ(reread.config().rdpService, "gnome-remote-desktop.service");
    const std::vector<Credential> credentials = reread.credentials();
    ASSERT_EQ(credentials.size(), 2u);
    EXPECT_EQ(credentials[0].publicKey.y, Bytes{2});
    EXPECT_EQ(credentials[0].lastUsedAt, 200);
    EXPECT_EQ(credentials[1].publicKey.e, (Bytes{1, 0, 1}));
    EXPECT_TRUE(credentials[1].disabled);
}

TEST_F(GateStoreTest, LoadClampsAndFiltersConfigValues) {
    PutConfig(R"("grantSeconds":5,"streamPort":0,"allowedCountries":["ru","KZ","USA",7,"d"])");
    GateConfig config = LoadConfig();
    EXPECT_EQ(config.grantSeconds, 15);
    EXPECT_EQ(config.streamPort, 7441);
    EXPECT_EQ(config.allowedCountries, (std::set<std::string>{"KZ", "RU"}));

    PutConfig(R"("grantSeconds":10000,"streamPort":70000,"machineName":"")");
    config = LoadConfig();
    EXPECT_EQ(config.grantSeconds, 600);
    EXPECT_EQ(config.streamPort, 7441);
    EXPECT_FALSE(config.machineName.empty());  // the computer name stays

    // Far beyond 32 bits still clamps rather than wrapping.
    PutConfig(R"("grantSeconds":4294967311,"streamPort":65535,"machineName":"desk")");
    config = LoadConfig();
    EXPECT_EQ(config.grantSeconds, 600);
    EXPECT_EQ(config.streamPort, 65535);
    EXPECT_EQ(config.machineName, "desk");

    // A unit name that systemctl could read as an option or a path keeps the default.
    for (const char* unit : {"-xrdp.service", "../x.service", "xrdp", "x rdp.service"}) {
        PutConfig(std::string(R"("rdpService":")") + unit + "\"");
        EXPECT_EQ(LoadConfig().rdpService, "xrdp.service") << unit;
    }

    // A "config" that is not an object keeps every default.
    Put(gatePath_, R"({"version":7,"config":[1,2],"credentials":{}})");
    EXPECT_EQ(LoadConfig().grantSeconds, 90);
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
    std::string error;
    EXPECT_FALSE(store.load(gatePath_, error));
    PutConfig(R"("listenPort":1)");
    ASSERT_TRUE(store.load(gatePath_, error)) << error;
    EXPECT_EQ(store.config().listenPort, 1);
    EXPECT_TRUE(store.save(error)) << error;

    // A file that cannot be written is reported with its path.
    const std::string missing = JoinPath(dir_, "no/such/dir/gate.json");
    EXPECT_FALSE(store.load(missing, error));
    EXPECT_NE(error.find(JoinPath(dir_, "no/such/dir/")), std::string::npos) << error;
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
    std::string error;
    ASSERT_TRUE(store.load(gatePath_, error)) << error;
    const std::vector<Credential> credentials = store.credentials();
    ASSERT_EQ(credentials.size(), 2u);
    EXPECT_EQ(credentials[0].id, "on");
    EXPECT_EQ(credentials[1].publicKey.alg, -7);
    EXPECT_EQ(store.activeCredentialCount(), 1u);
    Credential found;
    EXPECT_TRUE(store.findCredential("on", found));
    EXPECT_FALSE(store.findCredential("off", found));
    EXPECT_EQ(found.label, "old");  // copied out even so
    EXPECT_FALSE(store.findCredential("missing", found));

    const std::string log = Slurp(LogFilePath());
    EXPECT_NE(log.find("[WARN ] credential bad-key has an unreadable public key; skipped"),
              std::string::npos);
    EXPECT_EQ(log.find("credential  has"), std::string::npos);
    EXPECT_NE(log.find("loaded gate store: 2 credential(s), port 7440, grant 90s"),
              std::string::npos);
    // The gate id assignment rewrote the file: the flag is written only where it is set.
    const std::string text = Slurp(gatePath_);
    EXPECT_NE(text.find("\"disabled\": true"), std::string::npos);
    EXPECT_EQ(text.find("\"disabled\""), text.rfind("\"disabled\""));
}

TEST_F(GateStoreTest, ReEnrollmentKeepsTheHistoryAndUseIsRecorded) {
    Put(gatePath_, R"({"credentials":[
        {"id":"first","publicKey":{"kty":"EC2","x":"AQ","y":"Ag"}},
        {"id":"key","publicKey":{"kty":"EC2","x":"ERERERERERERERERERERERERERERERERERERERERERE",
         "y":"IiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiI"},"signCount":50,"label":"old",
         "aaguid":"aa","createdAt":100,"lastUsedAt":150,"useCount":5,"disabled":true},
        {"id":"last","publicKey":{"kty":"EC2","x":"AQ","y":"Ag"}}
    ]})");
    GateStore store;
    std::string error;
    ASSERT_TRUE(store.load(gatePath_, error)) << error;

    // The id is public: enrolling another key under it must not take the credential over.
    Credential takeover = PlaceholderCredential("key", "attacker");
    takeover.publicKey.y = Bytes(32, 0x33);
    EXPECT_EQ(store.addCredential(takeover, error), AddCredentialResult::Conflict);
    Credential again = PlaceholderCredential("key", "new");
    again.signCount = 1;
    again.aaguid = "bb";
    again.createdAt = 999;
    ASSERT_EQ(store.addCredential(again, error), AddCredentialResult::Replaced) << error;
    const std::int64_t before = UnixNow();
    EXPECT_TRUE(store.recordUse("key", 7));
    EXPECT_FALSE(store.recordUse("nobody", 7));
    EXPECT_FALSE(store.removeCredential("nobody"));
    EXPECT_TRUE(store.removeCredential("first"));

    GateStore reread;
    ASSERT_TRUE(reread.load(gatePath_, error)) << error;
    const std::vector<Credential> credentials = reread.credentials();
    ASSERT_EQ(credentials.size(), 2u);
    EXPECT_EQ(credentials[1].id, "last");
    const Credential& key = credentials[0];
    EXPECT_EQ(key.id, "key");
    EXPECT_EQ(key.label, "new");
    EXPECT_EQ(key.publicKey.x, Bytes(32, 0x11));
    EXPECT_FALSE(key.disabled);
    EXPECT_EQ(key.aaguid, "aa");
    EXPECT_EQ(key.createdAt, 100);
    EXPECT_EQ(key.signCount, 7u);
    EXPECT_EQ(key.useCount, 6);
    EXPECT_GE(key.lastUsedAt, before);
}

TEST_F(GateStoreTest, EnrollmentCodeLifecycle) {
    GateStore store;
    std::string error;
    ASSERT_TRUE(store.load(gatePath_, error)) << error;
    EXPECT_FALSE(store.enrollmentOpen());
    EXPECT_EQ(store.enrollmentExpiresAt(), 0);

    const std::int64_t before = UnixNow();
    const std::string first = store.issueEnrollmentCode(900, error);
    ASSERT_EQ(first.size(), 14u) << error;
    const std::string second = store.issueEnrollmentCode(900, error);
    ASSERT_EQ(second.size(), 14u) << error;
    EXPECT_GE(store.enrollmentExpiresAt(), before + 900);
    // Issuing replaces: only the second code is valid, and checking does not use it up.
    EXPECT_FALSE(store.checkEnrollmentCode(first));
    EXPECT_TRUE(store.checkEnrollmentCode(second));
    // The file holds only a salted hash of the code.
    JsonValue file;
    ASSERT_TRUE(JsonParse(Slurp(enrollmentPath_), file));
    EXPECT_EQ(file.keys(), (std::vector<std::string>{"hash", "salt", "expiresAt"}));
    EXPECT_EQ(Slurp(enrollmentPath_).find(second.substr(0, 4)), std::string::npos);

    EXPECT_FALSE(store.consumeEnrollmentCode(first));
    EXPECT_TRUE(FileExists(enrollmentPath_));
    EXPECT_TRUE(store.consumeEnrollmentCode(Lower(second)));
    EXPECT_FALSE(FileExists(enrollmentPath_));
    EXPECT_FALSE(store.consumeEnrollmentCode(second));

    // A negative lifetime stores a code that is already dead.
    const std::string expired = store.issueEnrollmentCode(-1, error);
    ASSERT_FALSE(expired.empty()) << error;
    EXPECT_TRUE(FileExists(enrollmentPath_));
    EXPECT_FALSE(store.enrollmentOpen());
    EXPECT_EQ(store.enrollmentExpiresAt(), 0);
    EXPECT_FALSE(store.checkEnrollmentCode(expired));

    // A code that cannot be stored is not issued.
    ASSERT_EQ(::unlink(enrollmentPath_.c_str()), 0);
    ASSERT_EQ(::mkdir(enrollmentPath_.c_str(), 0700), 0);  // nothing can be renamed over it
    EXPECT_EQ(store.issueEnrollmentCode(900, error), "");
    EXPECT_TRUE(error.starts_with("failed to write " + enrollmentPath_ + ": ")) << error;
    EXPECT_FALSE(store.enrollmentOpen());
}

// Rewrites path in place (same inode) and gives it back the modification time it had, so that
// only its content tells the versions apart.
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

void SetModified(const std::string& path, std::int64_t unixSeconds) {
    const timespec times[2] = {{unixSeconds, 0}, {unixSeconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST_F(GateStoreTest, LoadingRemovesTemporaryFilesOfKilledWriters) {
    LoadConfig();
    const std::string stale[] = {gatePath_ + ".tmp.AbC123", enrollmentPath_ + ".tmp.AbC123"};
    for (const std::string& path : stale) {
        Put(path, "{");
        SetModified(path, UnixNow() - 60);
    }
    LoadConfig();
    for (const std::string& path : stale) EXPECT_FALSE(FileExists(path)) << path;
}

TEST_F(GateStoreTest, UnchangedEnrollmentFileIsNotReadAgain) {
    GateStore store;
    std::string error;
    ASSERT_TRUE(store.load(gatePath_, error)) << error;
    const std::string code = store.issueEnrollmentCode(900, error);
    ASSERT_FALSE(code.empty()) << error;
    JsonValue file;
    ASSERT_TRUE(JsonParse(Slurp(enrollmentPath_), file));
    file.set("expiresAt", UnixNow() - 1);
    const std::string closed = JsonDump(file, 2);

    // A version written just now may share its identity with the next one, so it is read again.
    EXPECT_TRUE(store.enrollmentOpen());
    RewriteKeepingIdentity(enrollmentPath_, closed);
    EXPECT_FALSE(store.enrollmentOpen());

    // An older version is recognised by its identity and not read: content changed behind an
    // unchanged identity goes unseen, which shows that no read took place.
    file.set("expiresAt", UnixNow() + 900);
    Put(enrollmentPath_, JsonDump(file, 2));
    SetModified(enrollmentPath_, UnixNow() - 60);
    EXPECT_TRUE(store.enrollmentOpen());
    RewriteKeepingIdentity(enrollmentPath_, closed);
    EXPECT_TRUE(store.enrollmentOpen());
    // Any change of identity is read at once.
    SetModified(enrollmentPath_, UnixNow() - 59);
    EXPECT_FALSE(store.enrollmentOpen());

    // Older installations kept the code inside gate.json; it is honoured while enrollment.json
    // is absent, read by the same rule, and dropped by the next save of gate.json.
    ASSERT_EQ(::unlink(enrollmentPath_.c_str()), 0);
    EXPECT_FALSE(store.enrollmentOpen());
    SetModified(gatePath_, UnixNow() - 60);
    EXPECT_FALSE(store.enrollmentOpen());
    JsonValue gate;
    ASSERT_TRUE(JsonParse(Slurp(gatePath_), gate));
    file.set("expiresAt", UnixNow() + 900);
    gate.set("enrollmentCode", file);
    Put(gatePath_, JsonDump(gate, 2));
    EXPECT_TRUE(store.enrollmentOpen());
    EXPECT_TRUE(store.checkEnrollmentCode(code));
    // ... but not while an enrollment.json exists, whatever it holds.
    Put(enrollmentPath_, "not json");
    EXPECT_FALSE(store.checkEnrollmentCode(code));
    ASSERT_EQ(::unlink(enrollmentPath_.c_str()), 0);
    ASSERT_TRUE(store.save(error)) << error;
    EXPECT_EQ(Slurp(gatePath_).find("enrollmentCode"), std::string::npos);
    EXPECT_FALSE(store.checkEnrollmentCode(code));
}

// The service and a command are two stores over the same files; the enrollment state lives only
// on disk, so two objects in one process share it exactly as two processes do.
TEST_F(GateStoreTest, TwoStoresShareOneEnrollmentCode) {
    GateStore service;
    GateStore commandLine;
    std::string error;
    ASSERT_TRUE(service.load(gatePath_, error)) << error;
    ASSERT_TRUE(service.load(gatePath_, error)) << error;  // with its gate id now
    ASSERT_TRUE(commandLine.load(gatePath_, error)) << error;
    EXPECT_FALSE(service.enrollmentOpen());
    const std::string code = commandLine.issueEnrollmentCode(900, error);
    ASSERT_EQ(code.size(), 14u) << error;

    // The running service sees the new code without reloading gate.json.
    EXPECT_TRUE(service.enrollmentOpen());
    EXPECT_FALSE(service.checkEnrollmentCode("2222-2222-2222"));
    EXPECT_TRUE(service.checkEnrollmentCode(Lower(code)));

    // Either side rewriting gate.json leaves the code standing.
    ASSERT_EQ(service.addCredential(PlaceholderCredential("key-1", "Key 1"), error),
              AddCredentialResult::Added)
        << error;
    EXPECT_TRUE(commandLine.checkEnrollmentCode(code));
    ASSERT_TRUE(commandLine.load(gatePath_, error)) << error;
    GateConfig config = commandLine.config();
    config.grantSeconds = 300;
    commandLine.setConfig(config);
    ASSERT_TRUE(commandLine.save(error)) << error;
    EXPECT_TRUE(service.checkEnrollmentCode(code));

    // The service consumes it: it is gone for both.
    EXPECT_TRUE(service.consumeEnrollmentCode(code));
    EXPECT_FALSE(commandLine.checkEnrollmentCode(code));
    EXPECT_FALSE(commandLine.consumeEnrollmentCode(code));

    // Neither lost what the other wrote to gate.json.
    GateStore reread;
    ASSERT_TRUE(reread.load(gatePath_, error)) << error;
    EXPECT_EQ(reread.credentials().size(), 1u);
    EXPECT_EQ(reread.config().grantSeconds, 300);
}

// The service and a command both write gate.json at the same moment; neither loses the other's
// change, and the service sees a removal at its very next lookup.
TEST_F(GateStoreTest, TwoWritersKeepEachOthersChanges) {
    GateStore service;
    GateStore command;
    std::string error;
    ASSERT_TRUE(service.load(gatePath_, error)) << error;
    ASSERT_EQ(service.addCredential(PlaceholderCredential("used", "Used"), error),
              AddCredentialResult::Added);
    ASSERT_EQ(service.addCredential(PlaceholderCredential("lost", "Lost"), error),
              AddCredentialResult::Added);
    ASSERT_TRUE(command.load(gatePath_, error)) << error;  // assigns the gate id
    const std::string gateId = command.config().gateId;
    ASSERT_EQ(gateId.size(), 32u);

    ASSERT_TRUE(command.removeCredential("lost"));
    Credential found;
    EXPECT_FALSE(service.findCredential("lost", found));
    EXPECT_EQ(service.config().gateId, gateId);
    EXPECT_FALSE(service.recordUse("lost", 1));  // a use racing the removal never restores it

    constexpr int kRounds = 40;
    std::thread uses([&] {
        for (int i = 1; i <= kRounds; ++i) EXPECT_TRUE(service.recordUse("used", i));
    });
    for (int i = 0; i < kRounds; ++i) {
        ASSERT_EQ(command.addCredential(PlaceholderCredential("new-" + std::to_string(i), "n"), error),
                  AddCredentialResult::Added);
        GateConfig config = command.config();
        config.grantSeconds = kMinGrantSeconds + i;
        command.setConfig(config);
        ASSERT_TRUE(command.save(error)) << error;
    }
    uses.join();

    // The service still runs on the configuration it started with.
    EXPECT_EQ(service.config().grantSeconds, 90);
    GateStore reread;
    ASSERT_TRUE(reread.load(gatePath_, error)) << error;
    EXPECT_EQ(reread.config().grantSeconds, kMinGrantSeconds + kRounds - 1);
    EXPECT_EQ(reread.config().gateId, gateId);
    const std::vector<Credential> credentials = reread.credentials();
    ASSERT_EQ(credentials.size(), 1u + kRounds);
    EXPECT_EQ(credentials[0].id, "used");
    EXPECT_EQ(credentials[0].useCount, kRounds);
    EXPECT_EQ(credentials[0].signCount, std::uint32_t{kRounds});
    EXPECT_EQ(service.credentials().size(), 1u + kRounds);
}

// Whether a process waits for the exclusive lock on path (a blocked request in /proc/locks).
bool SomeoneWaitsFor(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    const std::string inode = ":" + std::to_string(st.st_ino) + " ";
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        if (line.find("->") != std::string::npos && line.find(inode) != std::string::npos)
            return true;
    }
    return false;
}

// A writer waits for other processes' lock and for the disk; a request that only reads (a key,
// the policy, the configuration) must not queue behind it.
TEST_F(GateStoreTest, ReadersDoNotWaitForAWriter) {
    GateStore store;
    std::string error;
    ASSERT_TRUE(store.load(gatePath_, error)) << error;
    ASSERT_EQ(store.addCredential(PlaceholderCredential("key", "Key"), error), AddCredentialResult::Added);
    const std::string lockPath = JoinPath(dir_, "gate.lock");
    auto other = std::make_unique<FileLock>();
    ASSERT_TRUE(other->acquire(lockPath, LockMode::Exclusive, error)) << error;

    std::thread use([&] { EXPECT_TRUE(store.recordUse("key", 5)); });
    for (int i = 0; i < 1000 && !SomeoneWaitsFor(lockPath); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    auto read = std::async(std::launch::async, [&] {
        Credential found;
        return store.findCredential("key", found) && store.guardPolicy().rdpPort == 3389;
    });
    // Far longer than a lookup takes; a reader that waits for the writer waits for ever.
    const bool answered = read.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    other.reset();
    use.join();
    EXPECT_TRUE(answered) << "a lookup waited for the writer";
    EXPECT_TRUE(read.get());

    GateStore reread;
    ASSERT_TRUE(reread.load(gatePath_, error)) << error;
    Credential key;
    ASSERT_TRUE(reread.findCredential("key", key));
    EXPECT_EQ(key.signCount, 5u);
}

}  // namespace
}  // namespace vel::gate
