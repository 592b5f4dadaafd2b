// The whole self-update as a client drives it: the gate runs as the service of the stand-in
// systemd, in a network namespace of its own; an authenticated client pushes a build, the gate
// stages it and starts the installer, which stops the gate, swaps the executable and starts the
// new build.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "core/crypto.h"
#include "core/encoding.h"
#include "core/version.h"
#include "gate/gate_store.h"
#include "gate/relying_party.h"
#include "gate/service_runtime.h"
#include "os/files.h"
#include "os/paths.h"
#include "support/gate_process.h"
#include "support/gate_requests.h"
#include "support/http_client.h"
#include "support/process.h"
#include "support/software_authenticator.h"
#include "support/stand_in_systemd.h"
#include "support/temp_dir.h"
#include "support/test_network.h"

namespace vel {
namespace {

void pause(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

class UpdateChain : public ::testing::Test {
  protected:
    void SetUp() override {
        if (test::VelmoraBinary().empty()) GTEST_SKIP() << "VELMORA_BINARY is not set";
        if (::geteuid() != 0) GTEST_SKIP() << "the service and update-apply need root";
        for (const char* tool : {"/usr/bin/unshare", "/usr/sbin/ip", "/usr/bin/strip"}) {
            if (::access(tool, X_OK) != 0) GTEST_SKIP() << tool << " is not installed";
        }
        data_ = dir_.file("Velmora");
        installed_ = dir_.file("opt/velmora");
        ASSERT_TRUE(EnsureDirectory(data_));
        ASSERT_TRUE(EnsureDirectory(dir_.file("opt")));
        ASSERT_TRUE(ReadFileBytes(test::VelmoraBinary(), oldBuild_));
        ASSERT_TRUE(WriteFileAtomic(installed_, oldBuild_.data(), oldBuild_.size()));
        ASSERT_EQ(::chmod(installed_.c_str(), 0755), 0);
        // The pushed build: this program without its debugging information, which fits the
        // upload limit.
        const test::ProcessResult stripped = test::RunProcess(
            {"/usr/bin/strip", "-o", dir_.file("new-build"), test::VelmoraBinary()});
        ASSERT_EQ(stripped.exitCode, 0) << stripped.output;
        ASSERT_TRUE(ReadFileBytes(dir_.file("new-build"), newBuild_));

        port_ = test::FreeTcpPort();
        ASSERT_TRUE(WriteFileAtomic(
            JoinPath(data_, "gate.json"),
            R"({"version":1,"config":{"listenPort":)" + std::to_string(port_) + "}}"));
        gate::GateStore store;
        std::string error;
        ASSERT_TRUE(store.load(JoinPath(data_, "gate.json"), error)) << error;
        gate::Credential credential;
        credential.id = Base64UrlEncode(key_.credentialId());
        credential.publicKey = key_.publicKey();
        credential.label = "key";
        ASSERT_EQ(store.addCredential(credential, error), gate::AddCredentialResult::Added)
            << error;

        ASSERT_TRUE(WriteFileAtomic(systemd_.unitPath(), "[Service]\nType=notify\nExecStart=\"" +
                                                             installed_ +
                                                             "\" --service\nRestart=on-failure\n"));
        std::vector<std::string> env = systemd_.environment();
        env.push_back("PROGRAMDATA=" + dir_.path());
        const test::ProcessResult started =
            test::RunProcess({"/usr/bin/unshare", "-n", "--", "/bin/sh", "-c",
                              "/usr/sbin/ip link set lo up && systemctl start velmora.service"},
                             env);
        ASSERT_EQ(started.exitCode, 0) << started.output;
        oldPid_ = systemd_.mainPid();
        ASSERT_GT(oldPid_, 0) << systemd_.serviceOutput();
    }

    std::string log() const {
        std::string text;
        static_cast<void>(ReadFileText(JoinPath(data_, "gate.log"), text));
        return text;
    }

    // Inside the gate's namespace: an assertion that asks for an update token.
    std::string updateToken() {
        const std::string origin = gate::RelyingPartyOrigin();
        const std::string rpId(gate::kRelyingPartyId);
        const test::HttpReply begin = test::PostJson(port_, "/v1/auth/begin", JsonValue::object());
        const test::Assertion assertion =
            key_.getAssertion(rpId, origin, test::ChallengeOf(begin.json));
        JsonValue body = test::AssertionBody(key_.credentialId(), assertion);
        body.set("wantUpdateToken", true);
        const test::HttpReply reply = test::PostJson(port_, "/v1/auth/finish", body);
        EXPECT_EQ(reply.status, 200) << reply.body;
        return reply.json.get("updateToken").asString();
    }

    test::TempDir dir_;
    test::StandInSystemd systemd_;
    test::SoftwareAuthenticator key_;
    std::string data_;
    std::string installed_;
    Bytes oldBuild_;
    Bytes newBuild_;
    std::uint16_t port_ = 0;
    int oldPid_ = 0;
};

TEST_F(UpdateChain, APushedBuildReplacesTheRunningServiceWhichAnswersAgain) {
    // systemd gives up stopping the old gate, so the installer has to kill it.
    systemd_.setFlag("velmora.service", "stop-hangs", true);
    // The gate listens in a namespace of its own; the client joins it.
    test::TestNetwork::RunInNetworkOf(oldPid_, [&] {
        test::HttpReply hello;
        for (int i = 0; i < 50 && hello.status != 200; ++i, pause(100))
            hello = test::HttpRequestTo("127.0.0.1", port_, "POST", "/v1/hello", "");
        ASSERT_EQ(hello.status, 200) << log();

        JsonValue push = JsonValue::object();
        push.set("token", updateToken());
        push.set("version", "1.18.2");
        push.set("data", Base64StdEncode(newBuild_));
        push.set("sha256", HexEncode(Sha256(newBuild_), true));
        const test::HttpReply reply = test::PostJson(port_, "/v1/update/push", push);
        ASSERT_EQ(reply.status, 200) << reply.body << log();
        EXPECT_EQ(reply.json.get("updatingTo").asString(), "1.18.2");
    });
    ASSERT_FALSE(HasFatalFailure());

    // The installer reports in the shared log when it is done, either way.
    const std::string done = std::string("update-apply: version ") + kProgramVersion +
                             " is installed and the service is running";
    std::string text;
    for (int i = 0; i < 300; ++i, pause(100)) {
        text = log();
        if (text.find(done) != std::string::npos ||
            text.find("update-apply: rollback ") != std::string::npos)
            break;
    }
    ASSERT_NE(text.find(done), std::string::npos) << text << systemd_.serviceOutput();
    EXPECT_NE(text.find("update to 1.18.2 accepted from 127.0.0.1 (" +
                        std::to_string(newBuild_.size()) + " bytes, sha256 "),
              std::string::npos)
        << text;

    EXPECT_NE(text.find("update-apply: the service did not stop cleanly; killing the process"),
              std::string::npos);
    // Restart on failure was off while the binary was swapped and is on again.
    EXPECT_FALSE(FileExists(systemd_.unitDirectory() + "/velmora.service.d/restart.conf"));

    const std::string staged = JoinPath(data_, "update/Velmora-1.18.2.exe");
    Bytes bytes;
    ASSERT_TRUE(ReadFileBytes(staged, bytes));
    EXPECT_EQ(bytes, newBuild_);
    ASSERT_TRUE(ReadFileBytes(installed_, bytes));
    EXPECT_EQ(bytes, newBuild_);
    ASSERT_TRUE(ReadFileBytes(installed_ + ".bak", bytes));
    EXPECT_EQ(bytes, oldBuild_);

    const int newPid = systemd_.mainPid();
    ASSERT_GT(newPid, 0);
    EXPECT_NE(newPid, oldPid_);
    gate::ServiceRuntime runtime;
    ASSERT_TRUE(gate::ReadServiceRuntime(data_, runtime));
    EXPECT_EQ(runtime.pid, newPid);
    EXPECT_EQ(runtime.executable, installed_);
    test::TestNetwork::RunInNetworkOf(newPid, [&] {
        EXPECT_EQ(test::HttpRequestTo("127.0.0.1", port_, "POST", "/v1/hello", "").status, 200);
    });
}

}  // namespace
}  // namespace vel
