// The whole gate as an administrator and a remote user meet it. A namespace plays the machine:
// setup installs the real binary there, the stand-in systemd starts its service, and a listener
// stands in for the remote-desktop server. A user with a software security key sits in a second
// namespace and a stranger in a third; both try real TCP connections to the protected port.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/encoding.h"
#include "core/json.h"
#include "gate/relying_party.h"
#include "os/files.h"
#include "os/paths.h"
#include "support/gate_requests.h"
#include "support/http_client.h"
#include "support/port_probe.h"
#include "support/process.h"
#include "support/software_authenticator.h"
#include "support/stand_in_systemd.h"
#include "support/temp_dir.h"
#include "support/test_network.h"

namespace vel {
namespace {

using test::TestNetwork;

// What setup configures when it is not told otherwise.
constexpr std::uint16_t kGatePort = 7440;
constexpr std::uint16_t kRdpPort = 3389;
constexpr std::size_t kUser = 0;
constexpr std::size_t kStranger = 1;

const std::string kOrigin = gate::RelyingPartyOrigin();
const std::string kRpId(gate::kRelyingPartyId);

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Polls until the condition holds or the time is up; the last answer.
bool waitUntil(const std::function<bool()>& condition, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

class EndToEndTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (test::VelmoraBinary().empty()) GTEST_SKIP() << "VELMORA_BINARY is not set";
        const std::string unavailable = test::NetworkTestsUnavailable();
        if (!unavailable.empty()) GTEST_SKIP() << unavailable;
        if (!net_.createNamespaces()) GTEST_SKIP() << "network namespaces cannot be created here";
        ASSERT_TRUE(net_.connect()) << "could not join the namespaces with veth pairs";
        if (!net_.nftWorks())
            GTEST_SKIP() << "nftables does not work inside a network namespace here";
        systemd_.addUnit("xrdp.service", true, false);
        rdp_ = test::ListeningSocket(net_.machine(), SOCK_STREAM, kRdpPort);
    }

    std::string dataDirectory() const { return JoinPath(programData_.path(), "Velmora"); }
    std::string gateLog() const {
        std::string text;
        static_cast<void>(ReadFileText(JoinPath(dataDirectory(), "gate.log"), text));
        return text;
    }

    // A velmora command run on the machine, with systemd and the data directory of this test.
    test::ProcessResult velmora(std::vector<std::string> args) const {
        args.insert(args.begin(), test::VelmoraBinary());
        return net_.run(net_.machine(), args, environment());
    }
    test::ProcessResult systemctl(const std::vector<std::string>& args) const {
        std::vector<std::string> argv{"systemctl"};
        argv.insert(argv.end(), args.begin(), args.end());
        return net_.run(net_.machine(), argv, environment());
    }
    std::vector<std::string> environment() const {
        std::vector<std::string> env = systemd_.environment();
        env.push_back("PROGRAMDATA=" + programData_.path());
        env.push_back("INVOCATION_ID=");
        return env;
    }

    bool rdpOpenFor(std::size_t client, bool expectOpen) const {
        return test::TcpConnects(net_.client(client), net_.machineAddress(client), kRdpPort,
                                 rdp_.get(), expectOpen);
    }

    // One request to the gate, over HTTPS from a client's namespace (the user's unless told).
    test::HttpReply post(const std::string& path, const JsonValue& body,
                         std::size_t client = kUser) const {
        test::HttpReply reply;
        TestNetwork::RunIn(net_.client(client), [&] {
            reply = test::HttpsRequestTo(net_.machineAddress(client), kGatePort, "POST", path,
                                         JsonDump(body));
        });
        return reply;
    }
    bool gateAnswers() const {
        return waitUntil([this] { return post("/v1/hello", JsonValue::object()).status == 200; },
                         std::chrono::seconds(10));
    }

    test::HttpReply enroll(test::SoftwareAuthenticator& key, const std::string& code) const {
        const test::HttpReply begin = post("/v1/enroll/begin", test::JsonObject({{"code", code}}));
        if (begin.status != 200) return begin;
        const test::Registration reg =
            key.makeCredential(kRpId, kOrigin, test::ChallengeOf(begin.json));
        return post("/v1/enroll/finish", test::RegistrationBody(code, key, reg, "e2e key"));
    }

    test::HttpReply authenticate(test::SoftwareAuthenticator& key) const {
        const test::HttpReply begin = post("/v1/auth/begin", JsonValue::object());
        if (begin.status != 200) return begin;
        const test::Assertion assertion =
            key.getAssertion(kRpId, kOrigin, test::ChallengeOf(begin.json));
        return post("/v1/auth/finish", test::AssertionBody(key.credentialId(), assertion));
    }

    // Destroyed in reverse: the listener, then the gate the stand-in started, then its data
    // directory, then the namespaces.
    TestNetwork net_{{"10.231.1", "10.231.2"}};
    test::TempDir programData_;
    test::StandInSystemd systemd_;
    UniqueFd rdp_;
};

TEST_F(EndToEndTest, SetupEnrollAuthenticateAndExpire) {
    const test::ProcessResult setup = velmora({"setup", "--grant", "1"});
    ASSERT_EQ(setup.exitCode, 0) << setup.output;
    ASSERT_TRUE(gateAnswers()) << systemd_.serviceOutput() << gateLog();

    // Before the first key the port works as it did: for everyone.
    EXPECT_TRUE(rdpOpenFor(kUser, true));
    EXPECT_TRUE(rdpOpenFor(kStranger, true));

    const test::ProcessResult issued = velmora({"code"});
    ASSERT_EQ(issued.exitCode, 0) << issued.output;
    const std::string label = "  Enrollment code: ";
    const std::size_t at = issued.output.find(label);
    ASSERT_NE(at, std::string::npos) << issued.output;
    test::SoftwareAuthenticator key;
    const test::HttpReply enrolled = enroll(key, issued.output.substr(at + label.size(), 14));
    ASSERT_EQ(enrolled.status, 200) << enrolled.body;
    EXPECT_TRUE(enrolled.json.get("justArmed").asBool());

    // The first key closes the port for everyone; the gate itself stays reachable.
    EXPECT_TRUE(waitUntil([this] { return !rdpOpenFor(kUser, false); }, std::chrono::seconds(5)));
    EXPECT_FALSE(rdpOpenFor(kStranger, false));
    const test::HttpReply hello = post("/v1/hello", JsonValue::object(), kStranger);
    EXPECT_EQ(hello.status, 200);
    EXPECT_TRUE(hello.json.get("protectionArmed").asBool());

    // The key opens it for its holder's address only, while the grant lives.
    const test::HttpReply granted = authenticate(key);
    ASSERT_EQ(granted.status, 200) << granted.body;
    EXPECT_EQ(granted.json.get("clientIp").asString(), net_.clientAddress(kUser));
    EXPECT_TRUE(rdpOpenFor(kUser, true));
    EXPECT_FALSE(rdpOpenFor(kStranger, false));
    const test::ProcessResult status = velmora({"status"});
    EXPECT_TRUE(contains(status.output, "  Active grants:               1")) << status.output;
    EXPECT_TRUE(contains(status.output, "      " + net_.clientAddress(kUser))) << status.output;

    // With no session open from the address, the expired grant closes the port again.
    EXPECT_TRUE(waitUntil([this] { return !rdpOpenFor(kUser, false); }, std::chrono::seconds(25)));
    EXPECT_FALSE(rdpOpenFor(kStranger, false));
    EXPECT_TRUE(contains(
        gateLog(), "grant for " + net_.clientAddress(kUser) + " expired; RDP port closed again"));
    EXPECT_TRUE(contains(velmora({"status"}).output, "  Active grants:               0"));
}

TEST_F(EndToEndTest, UnlockOpensThePortAndArmClosesItAgain) {
    // A machine with one key enrolled before setup runs.
    test::SoftwareAuthenticator key;
    JsonValue credentials = JsonValue::array();
    credentials.push(test::StoredCredentialJson(key, 0, "k"));
    ASSERT_TRUE(EnsureDirectory(dataDirectory()));
    ASSERT_TRUE(WriteFileAtomic(JoinPath(dataDirectory(), "gate.json"),
                                JsonDump(test::JsonObject({{"version", 1}, {"credentials", credentials}}))));
    const test::ProcessResult setup = velmora({"setup"});
    ASSERT_EQ(setup.exitCode, 0) << setup.output;
    ASSERT_TRUE(gateAnswers()) << systemd_.serviceOutput() << gateLog();
    EXPECT_FALSE(rdpOpenFor(kUser, false));

    const test::ProcessResult unlock = velmora({"unlock"});
    EXPECT_EQ(unlock.exitCode, 0);
    EXPECT_TRUE(contains(unlock.output, "Done. Normal RDP access restored")) << unlock.output;
    EXPECT_TRUE(rdpOpenFor(kUser, true));
    EXPECT_TRUE(rdpOpenFor(kStranger, true));
    EXPECT_EQ(systemd_.mainPid(), 0);

    // A gate started while disarmed leaves the port alone, at its start and in its maintenance.
    ASSERT_EQ(systemctl({"start", "velmora.service"}).exitCode, 0);
    EXPECT_TRUE(
        waitUntil([this] { return contains(gateLog(), "gate disarmed by the 'disarmed' file"); },
                  std::chrono::seconds(10)))
        << gateLog();
    EXPECT_TRUE(rdpOpenFor(kUser, true));
    EXPECT_TRUE(rdpOpenFor(kStranger, true));
    ASSERT_EQ(systemctl({"stop", "velmora.service"}).exitCode, 0);

    // arm starts the service, and the gate's start closes the port again.
    const test::ProcessResult arm = velmora({"arm"});
    EXPECT_EQ(arm.exitCode, 0) << arm.output;
    EXPECT_TRUE(contains(arm.output, "Service started, autostart enabled.")) << arm.output;
    EXPECT_GT(systemd_.mainPid(), 0);
    EXPECT_TRUE(waitUntil([this] { return !rdpOpenFor(kUser, false); }, std::chrono::seconds(10)));
    EXPECT_FALSE(rdpOpenFor(kStranger, false));
    // And a key still opens it.
    ASSERT_TRUE(gateAnswers()) << systemd_.serviceOutput() << gateLog();
    const test::HttpReply granted = authenticate(key);
    EXPECT_EQ(granted.status, 200) << granted.body;
    EXPECT_TRUE(rdpOpenFor(kUser, true));
}

TEST_F(EndToEndTest, TheKernelFollowsTheStoreThroughStartsDriftPortChangesAndNftFailures) {
    test::SoftwareAuthenticator key;
    JsonValue credentials = JsonValue::array();
    credentials.push(test::StoredCredentialJson(key, 0, "k"));
    const auto writeGateJson = [&](const JsonValue& config) {
        return WriteFileAtomic(
            JoinPath(dataDirectory(), "gate.json"),
            JsonDump(test::JsonObject(
                {{"version", 1}, {"config", config}, {"credentials", credentials}})));
    };
    ASSERT_TRUE(EnsureDirectory(dataDirectory()));
    ASSERT_TRUE(writeGateJson(JsonValue::object()));
    ASSERT_EQ(velmora({"setup"}).exitCode, 0);
    ASSERT_EQ(systemctl({"stop", "velmora.service"}).exitCode, 0);
    const auto nft = [this](const std::vector<std::string>& args) {
        std::vector<std::string> argv{"nft"};
        argv.insert(argv.end(), args.begin(), args.end());
        return net_.run(net_.machine(), argv).exitCode;
    };

    // A failed start (its port is taken) leaves the port closed, even after a reboot emptied
    // the kernel.
    ASSERT_EQ(nft({"flush", "ruleset"}), 0);
    EXPECT_TRUE(rdpOpenFor(kStranger, true));
    {
        const UniqueFd squatter = test::ListeningSocket(net_.machine(), SOCK_STREAM, kGatePort);
        static_cast<void>(systemctl({"start", "velmora.service"}));
        EXPECT_TRUE(waitUntil([this] { return systemd_.mainPid() == 0; }, std::chrono::seconds(10)))
            << gateLog();
        EXPECT_FALSE(rdpOpenFor(kStranger, false));
        ASSERT_EQ(systemctl({"stop", "velmora.service"}).exitCode, 0);
    }

    // Ready means enforced: the port is closed the moment the gate first answers.
    ASSERT_EQ(nft({"delete", "table", "inet", "velmora"}), 0);
    ASSERT_EQ(systemctl({"start", "velmora.service"}).exitCode, 0);
    ASSERT_TRUE(gateAnswers()) << systemd_.serviceOutput() << gateLog();
    EXPECT_FALSE(rdpOpenFor(kStranger, false));
    EXPECT_FALSE(post("/v1/hello", JsonValue::object(), kStranger).json.get("exposed").asBool(true));

    // A deleted table comes back on nftables' own notification, long before the 30-second pass,
    // and the restore is logged.
    ASSERT_EQ(nft({"delete", "table", "inet", "velmora"}), 0);
    EXPECT_TRUE(waitUntil([this] { return !rdpOpenFor(kStranger, false); },
                          std::chrono::seconds(5)));
    EXPECT_TRUE(contains(gateLog(), "the firewall table inet velmora was missing in the kernel; "
                                    "it was restored"));

    // A changed rdpPort reaches the kernel when the gate starts: strangers stay out of it.
    ASSERT_EQ(velmora({"arm"}).exitCode, 0);
    ASSERT_EQ(systemctl({"stop", "velmora.service"}).exitCode, 0);
    ASSERT_EQ(velmora({"harden"}).exitCode, 0);
    const UniqueFd moved = test::ListeningSocket(net_.machine(), SOCK_STREAM, 3390);
    std::string text;
    JsonValue stored;
    ASSERT_TRUE(ReadFileText(JoinPath(dataDirectory(), "gate.json"), text));
    ASSERT_TRUE(JsonParse(text, stored));
    JsonValue config = stored.get("config");
    config.set("rdpPort", 3390);
    ASSERT_TRUE(writeGateJson(config));
    ASSERT_EQ(systemctl({"start", "velmora.service"}).exitCode, 0);
    ASSERT_TRUE(gateAnswers()) << systemd_.serviceOutput() << gateLog();
    EXPECT_FALSE(test::TcpConnects(net_.client(kStranger), net_.machineAddress(kStranger), 3390,
                                   moved.get(), false));
}

}  // namespace
}  // namespace vel
