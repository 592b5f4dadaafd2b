// The gate as a systemd service: readiness, stopping and a failed start over the notify socket;
// then the self-update under the stand-in systemd, in a network namespace of its own, from a
// pushed build to the swapped and restarted service, or the old one put back.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/crypto.h"
#include "core/encoding.h"
#include "core/version.h"
#include "gate/relying_party.h"
#include "gate/service_runtime.h"
#include "os/files.h"
#include "os/paths.h"
#include "support/background_process.h"
#include "support/gate_process.h"
#include "support/gate_requests.h"
#include "support/http_client.h"
#include "support/notify_socket.h"
#include "support/process.h"
#include "support/software_authenticator.h"
#include "support/stand_in_systemd.h"
#include "support/temp_dir.h"
#include "support/test_network.h"
#include "support/wait_until.h"

namespace vel {
namespace {

using namespace std::chrono_literals;

class ServiceRole : public ::testing::Test {
  protected:
    void SetUp() override {
        if (test::VelmoraBinary().empty()) GTEST_SKIP() << "VELMORA_BINARY is not set";
        ASSERT_TRUE(EnsureDirectory(data_));
    }
    void start(const std::string& gateJson) {
        ASSERT_TRUE(WriteFileAtomic(JoinPath(data_, "gate.json"), gateJson));
        ASSERT_TRUE(service_.start({test::VelmoraBinary(), "--service"},
                                   {"PROGRAMDATA=" + dir_.path(), "INVOCATION_ID=0123456789abcdef",
                                    "NOTIFY_SOCKET=" + systemd_.path()}));
    }
    std::string log() const {
        std::string text;
        static_cast<void>(ReadFileText(JoinPath(data_, "gate.log"), text));
        return text;
    }

    test::TempDir dir_;
    std::string data_ = JoinPath(dir_.path(), "Velmora");
    test::NotifySocket systemd_{dir_.file("notify")};
    test::BackgroundProcess service_;
};

TEST_F(ServiceRole, ReportsReadyServesAndStopsOnSigterm) {
    const std::uint16_t port = test::FreePort(SOCK_STREAM);
    start(R"({"version":1,"config":{"listenPort":)" + std::to_string(port) + "}}");
    EXPECT_TRUE(test::WaitUntil(
        [&] { return systemd_.receive(500).find("READY=1") != std::string::npos; }, 10s));
    EXPECT_EQ(test::HttpRequestTo("127.0.0.1", port, "POST", "/v1/hello", "").status, 200);

    ASSERT_EQ(::kill(service_.pid(), SIGTERM), 0);
    EXPECT_EQ(systemd_.receive(10000).rfind("STOPPING=1", 0), 0u);
    EXPECT_EQ(service_.waitForExit(30s), 0);
    EXPECT_NE(log().find("gate stopped"), std::string::npos) << log();
}

TEST_F(ServiceRole, FailedStartupExitsWithFailureForSystemdToRestart) {
    start("[not an object]");
    EXPECT_EQ(systemd_.receive(10000), "STATUS=starting");
    EXPECT_EQ(systemd_.receive(10000),
              "STATUS=startup failed: gate.json is corrupt or not an object");
    EXPECT_EQ(service_.waitForExit(30s), 1);
}

class UpdateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (test::VelmoraBinary().empty()) GTEST_SKIP() << "VELMORA_BINARY is not set";
        if (::geteuid() != 0) GTEST_SKIP() << "the service and update-apply need root";
        for (const char* tool : {"/usr/bin/unshare", "/usr/sbin/ip", "/usr/bin/strip"}) {
            if (::access(tool, X_OK) != 0) GTEST_SKIP() << tool << " is not installed";
        }
        installed_ = dir_.file("opt/velmora");
        ASSERT_TRUE(EnsureDirectory(dir_.file("Velmora/update")));
        ASSERT_TRUE(EnsureDirectory(dir_.file("opt")));
        ASSERT_TRUE(WriteFileAtomic(systemd_.unitPath(), "[Service]\nType=notify\nExecStart=\"" +
                                                             installed_ +
                                                             "\" --service\nRestart=on-failure\n"));
    }

    // Installs build as the service's executable and starts it in a namespace of its own.
    void installAndStart(const Bytes& build) {
        ASSERT_TRUE(WriteFileAtomic(installed_, build.data(), build.size()));
        ASSERT_EQ(::chmod(installed_.c_str(), 0755), 0);
        const test::ProcessResult started =
            test::RunProcess({"/usr/bin/unshare", "-n", "--", "/bin/sh", "-c",
                              "/usr/sbin/ip link set lo up && systemctl start velmora.service"},
                             environment());
        ASSERT_EQ(started.exitCode, 0) << started.output;
        oldPid_ = systemd_.mainPid();
        ASSERT_GT(oldPid_, 0) << systemd_.serviceOutput();
    }

    std::vector<std::string> environment() const {
        std::vector<std::string> env = systemd_.environment();
        env.push_back("PROGRAMDATA=" + dir_.path());
        return env;
    }
    std::string log() const {
        std::string text;
        static_cast<void>(ReadFileText(dir_.file("Velmora/gate.log"), text));
        return text;
    }
    Bytes read(const std::string& path) const {
        Bytes data;
        static_cast<void>(ReadFileBytes(path, data));
        return data;
    }

    test::TempDir dir_;
    test::StandInSystemd systemd_;
    std::string installed_;
    int oldPid_ = 0;
};

TEST_F(UpdateTest, APushedBuildIsCheckedThenReplacesTheRunningServiceWhichAnswersAgain) {
    const Bytes oldBuild = read(test::VelmoraBinary());
    // The pushed build: this program without its debugging information, which fits the limit.
    const test::ProcessResult stripped =
        test::RunProcess({"/usr/bin/strip", "-o", dir_.file("new-build"), test::VelmoraBinary()});
    ASSERT_EQ(stripped.exitCode, 0) << stripped.output;
    const Bytes newBuild = read(dir_.file("new-build"));
    ASSERT_GT(newBuild.size(), 65'536u);

    test::SoftwareAuthenticator key;
    const std::uint16_t port = test::FreePort(SOCK_STREAM);
    JsonValue credentials = JsonValue::array();
    credentials.push(test::StoredCredentialJson(key, 0, "key"));
    ASSERT_TRUE(WriteFileAtomic(
        dir_.file("Velmora/gate.json"),
        JsonDump(test::JsonObject({{"version", 1},
                                   {"config", test::JsonObject({{"listenPort", port}})},
                                   {"credentials", credentials}}))));
    installAndStart(oldBuild);
    if (HasFatalFailure()) return;
    // systemd gives up stopping the old gate, so the installer has to kill it.
    systemd_.setFlag("velmora.service", "stop-hangs", true);

    const auto updateToken = [&] {
        const test::HttpReply begin = test::PostJson(port, "/v1/auth/begin", JsonValue::object());
        const test::Assertion assertion = key.getAssertion(
            gate::kRelyingPartyId, gate::RelyingPartyOrigin(), test::ChallengeOf(begin.json));
        JsonValue body = test::AssertionBody(key.credentialId(), assertion);
        body.set("wantUpdateToken", true);
        return test::PostJson(port, "/v1/auth/finish", body).json.get("updateToken").asString();
    };
    const auto push = [&](const std::string& token, const std::string& version, const Bytes& data,
                          const std::string& sha256) {
        return test::PostJson(port, "/v1/update/push",
                              test::JsonObject({{"token", token},
                                                {"version", version},
                                                {"data", Base64StdEncode(data)},
                                                {"sha256", sha256}}));
    };
    const std::string sha = HexEncode(Sha256(newBuild), true);
    const std::string running = kProgramVersion;
    const Bytes small(newBuild.begin(), newBuild.begin() + 65'535);
    Bytes large = newBuild;
    large.resize(8'388'609, 0);
    Bytes zip = newBuild;
    zip[0] = 'P';
    zip[1] = 'K';
    std::string wrong = sha;
    wrong[0] = wrong[0] == '0' ? '1' : '0';
    // Each check refuses in its turn; the checks are applied in this order.
    const struct {
        std::string version;
        Bytes data;
        std::string sha256;
        const char* error;
        std::string message;
    } refusals[] = {
        {running, newBuild, sha, "update_rejected",
         "version " + running + " is not newer than the running " + running},
        {"12345678901234567", newBuild, sha, "bad_request", "the version string is malformed"},
        {"99", small, HexEncode(Sha256(small)), "bad_request",
         "the binary payload is missing or oversized"},
        {"99", large, HexEncode(Sha256(large)), "bad_request",
         "the binary payload is missing or oversized"},
        {"99", zip, HexEncode(Sha256(zip)), "update_rejected",
         "the payload is not a Linux executable"},
        {"99", newBuild, wrong, "update_rejected", "the SHA-256 checksum does not match"},
    };

    test::TestNetwork::RunInNetworkOf(oldPid_, [&] {
        ASSERT_TRUE(test::WaitUntil(
            [&] {
                return test::HttpRequestTo("127.0.0.1", port, "POST", "/v1/hello", "").status ==
                       200;
            },
            5s))
            << log();
        for (const auto& refusal : refusals) {
            SCOPED_TRACE(refusal.message);
            const test::HttpReply reply =
                push(updateToken(), refusal.version, refusal.data, refusal.sha256);
            EXPECT_EQ(reply.json.get("error").asString(), refusal.error) << reply.body;
            EXPECT_EQ(reply.json.get("message").asString(), refusal.message);
        }
        // A refused upload spends its token.
        const std::string token = updateToken();
        EXPECT_EQ(push(token, running, newBuild, sha).status, 400);
        EXPECT_EQ(push(token, "99", newBuild, sha).json.get("error").asString(),
                  "bad_update_token");
        EXPECT_FALSE(FileExists(dir_.file("Velmora/update/Velmora-99.exe")));

        const test::HttpReply reply = push(updateToken(), "1.18.2", newBuild, sha);
        ASSERT_EQ(reply.status, 200) << reply.body << log();
        EXPECT_EQ(reply.json.get("updatingTo").asString(), "1.18.2");
    });
    ASSERT_FALSE(HasFatalFailure());

    // The installer reports in the shared log when it is done, either way.
    const std::string done =
        "update-apply: version " + running + " is installed and the service is running";
    std::string text;
    ASSERT_TRUE(test::WaitUntil(
        [&] {
            text = log();
            return text.find(done) != std::string::npos ||
                   text.find("update-apply: rollback ") != std::string::npos;
        },
        30s));
    ASSERT_NE(text.find(done), std::string::npos) << text << systemd_.serviceOutput();
    EXPECT_NE(text.find("update-apply: the service did not stop cleanly; killing the process"),
              std::string::npos);
    // Restart on failure was off while the binary was swapped and is on again.
    EXPECT_FALSE(FileExists(systemd_.unitDirectory() + "/velmora.service.d/restart.conf"));
    EXPECT_EQ(read(installed_), newBuild);
    EXPECT_EQ(read(installed_ + ".bak"), oldBuild);

    const int newPid = systemd_.mainPid();
    ASSERT_GT(newPid, 0);
    EXPECT_NE(newPid, oldPid_);
    test::TestNetwork::RunInNetworkOf(newPid, [&] {
        EXPECT_EQ(test::HttpRequestTo("127.0.0.1", port, "POST", "/v1/hello", "").status, 200);
    });
}

TEST_F(UpdateTest, ABuildThatDoesNotStayUpIsRolledBackByteForByte) {
    // The old build only waits to be stopped; the new one refuses to start over a configuration
    // it cannot read.
    const Bytes oldBuild = BytesOf("#!/bin/sh\n# the old build\nexec sleep 120\n");
    installAndStart(oldBuild);
    if (HasFatalFailure()) return;
    const std::string staged = dir_.file("Velmora/update/Velmora-new.exe");
    const Bytes newBuild = read(test::VelmoraBinary());
    ASSERT_TRUE(WriteFileAtomic(staged, newBuild.data(), newBuild.size()));
    ASSERT_EQ(::chmod(staged.c_str(), 0755), 0);
    ASSERT_TRUE(WriteFileAtomic(dir_.file("Velmora/gate.json"), "[not an object]"));
    // Where the service last ran from, as the gate records it at start.
    gate::ServiceRuntime runtime;
    runtime.version = "1.0";
    runtime.executable = installed_;
    ASSERT_TRUE(gate::WriteServiceRuntime(dir_.file("Velmora"), runtime));

    const test::ProcessResult result =
        test::RunProcess({"/usr/bin/unshare", "-n", "--", staged, "update-apply"}, environment());
    EXPECT_EQ(result.exitCode, 1) << result.output << log();
    EXPECT_NE(result.output.find(
                  "ERROR: the new version did not start; the previous binary was restored.\n"),
              std::string::npos)
        << result.output;
    EXPECT_EQ(read(installed_), oldBuild);
    const int pid = systemd_.mainPid();
    EXPECT_GT(pid, 0);
    EXPECT_NE(pid, oldPid_);
    const std::string text = log();
    EXPECT_NE(text.find("[ERROR] update-apply: the new binary did not stay running ("),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("[ERROR] update-apply: rollback done, old service running"),
              std::string::npos);
}

}  // namespace
}  // namespace vel
