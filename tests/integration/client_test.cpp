// velmora-client against the real gate. The machine namespace runs the gate as setup installs it,
// with nftables enforcing its rules; the user's namespace runs the client with a software security
// key (velmora-client-softkey: the client library with a CTAP2 authenticator behind libfido2), and
// a stranger's namespace checks that an opened port is opened for the user only.
#include <glob.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "os/files.h"
#include "core/json.h"
#include "os/paths.h"
#include "support/http_client.h"
#include "support/port_probe.h"
#include "support/process.h"
#include "support/stand_in_systemd.h"
#include "support/temp_dir.h"
#include "support/test_network.h"

namespace vel {
namespace {

using test::TestNetwork;

constexpr std::uint16_t kGatePort = 7440;
constexpr std::uint16_t kRdpPort = 3389;
constexpr std::size_t kUser = 0;
constexpr std::size_t kStranger = 1;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

// The text after label up to the end of its line.
std::string lineAfter(const std::string& text, const std::string& label) {
    const std::size_t at = text.find(label);
    if (at == std::string::npos) return {};
    const std::size_t start = at + label.size();
    return text.substr(start, text.find('\n', start) - start);
}

class ClientTest : public ::testing::Test {
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

    test::ProcessResult velmora(std::vector<std::string> args) const {
        args.insert(args.begin(), test::VelmoraBinary());
        std::vector<std::string> env = systemd_.environment();
        env.push_back("PROGRAMDATA=" + programData_.path());
        env.push_back("INVOCATION_ID=");
        return net_.run(net_.machine(), args, env);
    }

    // Installs the gate; the SHA-256 fingerprint of its certificate.
    std::string setUpGate(std::vector<std::string> options = {}) {
        options.insert(options.begin(), "setup");
        const test::ProcessResult setup = velmora(options);
        EXPECT_EQ(setup.exitCode, 0) << setup.output;
        EXPECT_TRUE(waitUntil(
            [this] {
                test::HttpReply reply;
                TestNetwork::RunIn(net_.client(kUser), [&] {
                    reply = test::HttpsRequestTo(gate(), kGatePort, "POST", "/v1/hello", "{}");
                });
                return reply.status == 200;
            },
            std::chrono::seconds(10)))
            << systemd_.serviceOutput();
        return lineAfter(setup.output, "SHA-256 fingerprint: ");
    }

    std::string issueCode() const {
        const test::ProcessResult issued = velmora({"code"});
        EXPECT_EQ(issued.exitCode, 0) << issued.output;
        return lineAfter(issued.output, "  Enrollment code: ").substr(0, 14);
    }

    std::string gate() const { return net_.machineAddress(kUser); }

    // velmora-client with the software key whose state is in keyFile, run in the user's
    // namespace with this test's configuration folder; pinInput is what the user types.
    test::ProcessResult client(std::vector<std::string> args, const std::string& keyFile,
                               const std::string& pinInput = {}) const {
        std::vector<std::string> argv = net_.execIn(net_.client(kUser));
        argv.push_back(VELMORA_SOFTKEY_CLIENT);
        argv.insert(argv.end(), args.begin(), args.end());
        return test::RunProcess(argv,
                                {"VELMORA_TEST_KEY=" + keyFile,
                                 "XDG_CONFIG_HOME=" + home_.file("config"), "PATH=/usr/bin:/bin"},
                                pinInput);
    }

    // A fresh software key, with a PIN when one is given.
    std::string newKey(const std::string& name, const std::string& pin = {}) const {
        JsonValue state = JsonValue::object();
        state.set("pin", pin);
        const std::string path = home_.file(name + ".json");
        EXPECT_TRUE(WriteFileAtomic(path, JsonDump(state)));
        return path;
    }

    std::string hostsFile() const { return home_.file("config/velmora/hosts.json"); }

    bool rdpOpenFor(std::size_t who, bool expectOpen) const {
        return test::TcpConnects(net_.client(who), net_.machineAddress(who), kRdpPort, rdp_.get(),
                                 expectOpen);
    }

    TestNetwork net_{{"10.232.1", "10.232.2"}};
    test::TempDir programData_;
    test::TempDir home_;
    test::StandInSystemd systemd_;
    UniqueFd rdp_;
};

TEST_F(ClientTest, EnrollConnectAndRevokeOpenThePortForTheUserOnly) {
    const std::string fingerprint = setUpGate({"--grant", "60"});
    ASSERT_EQ(fingerprint.size(), 64u);
    const std::string key = newKey("key");

    const test::ProcessResult enrolled =
        client({"enroll", gate(), issueCode(), "--label", "laptop"}, key);
    ASSERT_EQ(enrolled.exitCode, 0) << enrolled.output;
    EXPECT_TRUE(contains(enrolled.output, "enrolled key 'laptop'")) << enrolled.output;
    EXPECT_TRUE(contains(enrolled.output, "protection is armed")) << enrolled.output;
    EXPECT_TRUE(contains(enrolled.output, "touch your security key")) << enrolled.output;
    // Trust on first use: the certificate the gate's setup printed is the one saved, privately.
    std::string saved;
    ASSERT_TRUE(ReadFileText(hostsFile(), saved));
    EXPECT_TRUE(contains(saved, "\"fingerprint\": \"" + fingerprint + "\"")) << saved;
    struct stat info {};
    ASSERT_EQ(::stat(hostsFile().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_TRUE(waitUntil([this] { return !rdpOpenFor(kUser, false); }, std::chrono::seconds(5)));

    const test::ProcessResult connected = client({"connect", gate(), "--no-rdp"}, key);
    ASSERT_EQ(connected.exitCode, 0) << connected.output;
    EXPECT_TRUE(
        contains(connected.output, "port 3389 open for " + net_.clientAddress(kUser) + " until "))
        << connected.output;
    EXPECT_TRUE(rdpOpenFor(kUser, true));
    EXPECT_FALSE(rdpOpenFor(kStranger, false));

    const test::ProcessResult revoked = client({"revoke", gate()}, key);
    EXPECT_EQ(revoked.exitCode, 0) << revoked.output;
    EXPECT_TRUE(contains(revoked.output, "closed:")) << revoked.output;
    // The gate answers first and removes the rule on its firewall thread.
    EXPECT_TRUE(waitUntil([this] { return !rdpOpenFor(kUser, false); }, std::chrono::seconds(5)));

    // Another key, never enrolled here, is named as such and opens nothing.
    const test::ProcessResult stranger = client({"connect", gate(), "--no-rdp"}, newKey("other"));
    EXPECT_EQ(stranger.exitCode, 1);
    EXPECT_TRUE(
        contains(stranger.output, "this security key is not enrolled on " + gate() + ":7440"))
        << stranger.output;
    EXPECT_FALSE(rdpOpenFor(kUser, false));

    // The remote-desktop client runs once the port is open, told where to go.
    const test::ProcessResult session = client(
        {"connect", gate(), "--rdp-command", "echo session to $VELMORA_HOST:$VELMORA_RDP_PORT"},
        key);
    EXPECT_EQ(session.exitCode, 0) << session.output;
    EXPECT_TRUE(contains(session.output, "session to " + gate() + ":3389")) << session.output;

    // The production binary reads the same saved hosts, and finds no key on this machine.
    const std::vector<std::string> env = {"XDG_CONFIG_HOME=" + home_.file("config")};
    const test::ProcessResult hosts = test::RunProcess({VELMORA_CLIENT_BINARY, "hosts"}, env);
    EXPECT_TRUE(contains(hosts.output, gate() + ":7440")) << hosts.output;
    EXPECT_TRUE(contains(hosts.output, "certificate SHA-256 " + fingerprint)) << hosts.output;
    EXPECT_TRUE(contains(hosts.output, "key 'laptop'")) << hosts.output;
    glob_t found{};
    const bool hidraw = ::glob("/dev/hidraw*", 0, nullptr, &found) == 0;
    ::globfree(&found);
    if (!hidraw) {
        const test::ProcessResult noKey =
            test::RunProcess({VELMORA_CLIENT_BINARY, "connect", gate(), "--no-rdp"}, env);
        EXPECT_EQ(noKey.exitCode, 1);
        EXPECT_TRUE(contains(noKey.output, "no security key found")) << noKey.output;
    }
}

TEST_F(ClientTest, ReplacedGateCertificateIsRefusedUntilAccepted) {
    const std::string original = setUpGate();
    const std::string key = newKey("key");
    const test::ProcessResult enrolled = client({"enroll", gate(), issueCode()}, key);
    ASSERT_EQ(enrolled.exitCode, 0) << enrolled.output;

    // The machine gets a new certificate: the gate is set up again without the old one.
    const std::vector<std::string> env = [this] {
        std::vector<std::string> e = systemd_.environment();
        e.push_back("PROGRAMDATA=" + programData_.path());
        return e;
    }();
    ASSERT_EQ(net_.run(net_.machine(), {"systemctl", "stop", "velmora.service"}, env).exitCode, 0);
    ASSERT_EQ(::unlink(JoinPath(dataDirectory(), "tls-cert.pem").c_str()), 0);
    ASSERT_EQ(::unlink(JoinPath(dataDirectory(), "tls-key.pem").c_str()), 0);
    const std::string replaced = setUpGate();
    ASSERT_EQ(replaced.size(), 64u);
    ASSERT_NE(replaced, original);

    const test::ProcessResult refused = client({"connect", gate(), "--no-rdp"}, key);
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(contains(refused.output, "has CHANGED")) << refused.output;
    EXPECT_TRUE(contains(refused.output, "presented: " + replaced)) << refused.output;
    EXPECT_TRUE(contains(refused.output, "--accept-new-certificate")) << refused.output;
    EXPECT_FALSE(rdpOpenFor(kUser, false));

    const test::ProcessResult accepted =
        client({"connect", gate(), "--no-rdp", "--accept-new-certificate"}, key);
    EXPECT_EQ(accepted.exitCode, 0) << accepted.output;
    std::string saved;
    ASSERT_TRUE(ReadFileText(hostsFile(), saved));
    EXPECT_TRUE(contains(saved, replaced)) << saved;
    EXPECT_FALSE(contains(saved, original)) << saved;
    EXPECT_EQ(client({"revoke", gate()}, key).exitCode, 0);
}

TEST_F(ClientTest, GateRequiringVerificationAsksForThePin) {
    setUpGate({"--uv"});
    const std::string key = newKey("key", "2468");
    const test::ProcessResult enrolled = client({"enroll", gate(), issueCode()}, key, "2468\n");
    ASSERT_EQ(enrolled.exitCode, 0) << enrolled.output;
    EXPECT_TRUE(contains(enrolled.output, "PIN for the security key:")) << enrolled.output;
    EXPECT_FALSE(rdpOpenFor(kUser, false));
    const test::ProcessResult right = client({"connect", gate(), "--no-rdp"}, key, "2468\n");
    EXPECT_EQ(right.exitCode, 0) << right.output;
    EXPECT_TRUE(rdpOpenFor(kUser, true));
}

}  // namespace
}  // namespace vel
