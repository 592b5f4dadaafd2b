// The whole gate as an administrator and a remote user meet it, on a machine where setup
// installed it: a listener stands in for the remote-desktop server, the user runs the client or a
// software key speaking the gate's API, and a stranger in a third namespace tries the same port.
#include <glob.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "core/json.h"
#include "gate/relying_party.h"
#include "integration/installed_gate.h"
#include "os/files.h"
#include "os/paths.h"
#include "support/gate_requests.h"
#include "support/http_client.h"
#include "support/port_probe.h"
#include "support/process.h"
#include "support/software_authenticator.h"
#include "support/wait_until.h"

namespace vel {
namespace {

using test::Contains;

// What setup configures when it is not told otherwise.
constexpr std::uint16_t kGatePort = test::kInstalledGatePort;
constexpr std::uint16_t kRdpPort = 3389;
constexpr std::size_t kUser = 0;
constexpr std::size_t kStranger = 1;

class EndToEndTest : public test::InstalledGateTest {
  protected:
    EndToEndTest() : InstalledGateTest({"10.231.1", "10.231.2"}) {}
    void SetUp() override {
        InstalledGateTest::SetUp();
        if (IsSkipped()) return;
        rdp_ = test::ListeningSocket(net_.machine(), SOCK_STREAM, kRdpPort);
    }

    test::ProcessResult systemctl(const std::vector<std::string>& args) const {
        std::vector<std::string> argv{"systemctl"};
        argv.insert(argv.end(), args.begin(), args.end());
        return onMachine(argv);
    }
    bool rdpOpenFor(std::size_t client, bool expectOpen) const {
        return test::TcpConnects(net_.client(client), net_.machineAddress(client), kRdpPort,
                                 rdp_.get(), expectOpen);
    }
    // A key that speaks the gate's API directly, as a browser would.
    test::HttpReply authenticate(test::SoftwareAuthenticator& key) const {
        const test::HttpReply begin = post("/v1/auth/begin", JsonValue::object());
        if (begin.status != 200) return begin;
        const test::Assertion assertion = key.getAssertion(
            gate::kRelyingPartyId, gate::RelyingPartyOrigin(), test::ChallengeOf(begin.json));
        return post("/v1/auth/finish", test::AssertionBody(key.credentialId(), assertion));
    }
    std::string hostsFile() const { return home_.file("config/velmora/hosts.json"); }

    UniqueFd rdp_;  // the remote-desktop server, closed before the gate stops
};

TEST_F(EndToEndTest, EnrollConnectRevokeAndExpireOpenThePortForTheUserOnly) {
    // The shortest grant (15 s) lets the last one expire within the test.
    const std::string fingerprint = setUpGate({"--grant", "1"});
    ASSERT_EQ(fingerprint.size(), 64u);
    // Before the first key the port works as it did: for everyone.
    EXPECT_TRUE(rdpOpenFor(kUser, true));
    EXPECT_TRUE(rdpOpenFor(kStranger, true));

    const std::string key = newKey("key");
    const test::ProcessResult enrolled =
        client({"enroll", gate(), issueCode(), "--label", "laptop"}, key);
    ASSERT_EQ(enrolled.exitCode, 0) << enrolled.output;
    EXPECT_TRUE(Contains(enrolled.output, "enrolled key 'laptop'")) << enrolled.output;
    EXPECT_TRUE(Contains(enrolled.output, "protection is armed")) << enrolled.output;
    // Trust on first use: the certificate the gate's setup printed is the one saved.
    std::string saved;
    ASSERT_TRUE(ReadFileText(hostsFile(), saved));
    EXPECT_TRUE(Contains(saved, "\"fingerprint\": \"" + fingerprint + "\"")) << saved;
    // The first key closes the port for everyone; the gate itself stays reachable.
    EXPECT_TRUE(
        test::WaitUntil([this] { return !rdpOpenFor(kUser, false); }, std::chrono::seconds(5)));
    EXPECT_FALSE(rdpOpenFor(kStranger, false));
    EXPECT_TRUE(
        post("/v1/hello", JsonValue::object(), kStranger).json.get("protectionArmed").asBool());

    const test::ProcessResult connected = client({"connect", gate(), "--no-rdp"}, key);
    ASSERT_EQ(connected.exitCode, 0) << connected.output;
    EXPECT_TRUE(
        Contains(connected.output, "port 3389 open for " + net_.clientAddress(kUser) + " until "))
        << connected.output;
    EXPECT_TRUE(rdpOpenFor(kUser, true));
    EXPECT_FALSE(rdpOpenFor(kStranger, false));
    const test::ProcessResult status = velmora({"status"});
    EXPECT_TRUE(Contains(status.output, "  Active grants:               1")) << status.output;

    const test::ProcessResult revoked = client({"revoke", gate()}, key);
    EXPECT_EQ(revoked.exitCode, 0) << revoked.output;
    // The gate answers first and removes the rule on its firewall thread.
    EXPECT_TRUE(
        test::WaitUntil([this] { return !rdpOpenFor(kUser, false); }, std::chrono::seconds(5)));

    // Another key, never enrolled here, is named as such and opens nothing.
    const test::ProcessResult stranger = client({"connect", gate(), "--no-rdp"}, newKey("other"));
    EXPECT_EQ(stranger.exitCode, 1);
    EXPECT_TRUE(
        Contains(stranger.output, "this security key is not enrolled on " + gate() + ":7440"))
        << stranger.output;

    // A certificate other than the saved one is refused before anything is sent, until the user
    // accepts it.
    std::string other = fingerprint;
    std::reverse(other.begin(), other.end());
    saved.replace(saved.find(fingerprint), fingerprint.size(), other);
    ASSERT_TRUE(WriteFileAtomic(hostsFile(), saved));
    const test::ProcessResult refused = client({"connect", gate(), "--no-rdp"}, key);
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(Contains(refused.output, "has CHANGED")) << refused.output;
    EXPECT_FALSE(rdpOpenFor(kUser, false));

    // The remote-desktop client runs once the port is open, told where to go.
    const test::ProcessResult session =
        client({"connect", gate(), "--accept-new-certificate", "--rdp-command",
                "echo session to $VELMORA_HOST:$VELMORA_RDP_PORT"},
               key);
    EXPECT_EQ(session.exitCode, 0) << session.output;
    EXPECT_TRUE(Contains(session.output, "session to " + gate() + ":3389")) << session.output;
    ASSERT_TRUE(ReadFileText(hostsFile(), saved));
    EXPECT_TRUE(Contains(saved, fingerprint)) << saved;

    // The production binary, on a machine without a key, says so.
    glob_t found{};
    const bool hidraw = ::glob("/dev/hidraw*", 0, nullptr, &found) == 0;
    ::globfree(&found);
    if (!hidraw) {
        const test::ProcessResult noKey =
            test::RunProcess({VELMORA_CLIENT_BINARY, "connect", gate(), "--no-rdp"},
                             {"XDG_CONFIG_HOME=" + home_.file("config")});
        EXPECT_EQ(noKey.exitCode, 1);
        EXPECT_TRUE(Contains(noKey.output, "no security key found")) << noKey.output;
    }

    // With no session open from the address, the grant of the last connect expires and the port
    // closes again.
    EXPECT_TRUE(
        test::WaitUntil([this] { return !rdpOpenFor(kUser, false); }, std::chrono::seconds(25)));
    EXPECT_FALSE(rdpOpenFor(kStranger, false));
}

TEST_F(EndToEndTest, UnlockOpensThePortAndArmClosesItAgain) {
    // A machine with one key enrolled before setup runs.
    test::SoftwareAuthenticator key;
    JsonValue credentials = JsonValue::array();
    credentials.push(test::StoredCredentialJson(key, 0, "k"));
    writeGateJson(credentials);
    setUpGate();
    EXPECT_FALSE(rdpOpenFor(kUser, false));

    const test::ProcessResult unlock = velmora({"unlock"});
    EXPECT_EQ(unlock.exitCode, 0) << unlock.output;
    EXPECT_TRUE(rdpOpenFor(kUser, true));
    EXPECT_TRUE(rdpOpenFor(kStranger, true));
    EXPECT_EQ(systemd_.mainPid(), 0);

    // arm starts the service, and the gate's start closes the port again.
    const test::ProcessResult arm = velmora({"arm"});
    EXPECT_EQ(arm.exitCode, 0) << arm.output;
    EXPECT_TRUE(
        test::WaitUntil([this] { return !rdpOpenFor(kUser, false); }, std::chrono::seconds(10)));
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
    writeGateJson(credentials);
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
        EXPECT_TRUE(
            test::WaitUntil([this] { return systemd_.mainPid() == 0; }, std::chrono::seconds(10)))
            << gateLog();
        EXPECT_FALSE(rdpOpenFor(kStranger, false));
        ASSERT_EQ(systemctl({"stop", "velmora.service"}).exitCode, 0);
    }

    // Ready means enforced: the port is closed the moment the gate first answers.
    ASSERT_EQ(nft({"delete", "table", "inet", "velmora"}), 0);
    ASSERT_EQ(systemctl({"start", "velmora.service"}).exitCode, 0);
    ASSERT_TRUE(gateAnswers()) << systemd_.serviceOutput() << gateLog();
    EXPECT_FALSE(rdpOpenFor(kStranger, false));
    EXPECT_FALSE(
        post("/v1/hello", JsonValue::object(), kStranger).json.get("exposed").asBool(true));

    // A deleted table comes back on nftables' own notification, long before the 30-second pass,
    // and the restore is logged.
    ASSERT_EQ(nft({"delete", "table", "inet", "velmora"}), 0);
    EXPECT_TRUE(
        test::WaitUntil([this] { return !rdpOpenFor(kStranger, false); }, std::chrono::seconds(5)));
    EXPECT_TRUE(Contains(gateLog(),
                         "the firewall table inet velmora was missing in the kernel; "
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
    writeGateJson(credentials, config);
    ASSERT_EQ(systemctl({"start", "velmora.service"}).exitCode, 0);
    ASSERT_TRUE(gateAnswers()) << systemd_.serviceOutput() << gateLog();
    EXPECT_FALSE(test::TcpConnects(net_.client(kStranger), net_.machineAddress(kStranger), 3390,
                                   moved.get(), false));
}

}  // namespace
}  // namespace vel
