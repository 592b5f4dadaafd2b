// The whole gate as an administrator and a remote user meet it: a network namespace plays the
// machine set up by `velmora setup` (nftables, the stand-in systemd, a listener for the
// remote-desktop port); the user runs velmora-client-softkey from a second, a stranger a third.
#include <glob.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "core/encoding.h"
#include "core/json.h"
#include "firewall/firewall.h"
#include "firewall/firewall_store_file.h"
#include "gate/relying_party.h"
#include "os/files.h"
#include "os/nft_runner.h"
#include "os/paths.h"
#include "stream/stream_keys.h"
#include "support/background_process.h"
#include "support/gate_requests.h"
#include "support/http_client.h"
#include "support/port_probe.h"
#include "support/process.h"
#include "support/software_authenticator.h"
#include "support/stand_in_systemd.h"
#include "support/temp_dir.h"
#include "support/test_network.h"
#include "support/wait_until.h"
#include "support/xvfb.h"

// Last: Xlib's macros (None, Bool, Status) clash with names above.
// clang-format off
#include "integration/test_picture.h"
#include <X11/extensions/XTest.h>
// clang-format on

namespace vel {
namespace {

using namespace std::chrono_literals;

// What setup configures when it is not told otherwise.
constexpr std::uint16_t kGatePort = 7440;
constexpr std::uint16_t kRdpPort = 3389;
constexpr std::uint16_t kStreamPort = 7441;
constexpr std::size_t kUser = 0;
constexpr std::size_t kStranger = 1;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The text after label up to the end of its line.
std::string lineAfter(const std::string& text, const std::string& label) {
    const std::size_t at = text.find(label);
    if (at == std::string::npos) return {};
    const std::size_t start = at + label.size();
    return text.substr(start, text.find('\n', start) - start);
}

// The stream rule through the firewall in this process (the TCP grant and protection are seen
// end to end below): with protection on, a stream rule opens one UDP port to one address only.
TEST(FirewallEnforcement, AStreamRuleOpensItsUdpPortToItsAddressOnly) {
    test::TestNetwork net({"10.231.1", "10.231.2"});
    if (const std::string why = test::PrepareEnforcingNetwork(net); !why.empty()) {
        GTEST_SKIP() << why;
    }
    const UniqueFd stream = test::ListeningSocket(net.machine(), SOCK_DGRAM, kStreamPort + 1);
    const auto streamOpenFor = [&](int client, bool expectOpen) {
        return test::UdpDelivered(net.client(client), net.machineAddress(client), kStreamPort + 1,
                                  stream.get(), expectOpen);
    };
    test::TempDir data;
    firewall::FileFirewallStore store(data.path());
    std::vector<std::string> nftArgs = net.execIn(net.machine());
    nftArgs.push_back("nft");
    NftCommand nft(nftArgs);
    firewall::Firewall firewall(store, nft);
    std::string error;
    ASSERT_TRUE(firewall.setEnforcement({true, kRdpPort, kStreamPort}, error)) << error;
    ASSERT_EQ(firewall.suppressAllowRules(kRdpPort, error), 1) << error;
    EXPECT_FALSE(streamOpenFor(1, false));

    const std::string streamRule =
        std::string(firewall::kStreamRulePrefix) + net.clientAddress(1) + " [2]";
    ASSERT_TRUE(firewall.addAllowRule(streamRule, kStreamPort + 1, net.clientAddress(1) + "/32",
                                      "test stream", error, firewall::kProtocolUdp))
        << error;
    EXPECT_TRUE(streamOpenFor(1, true));
    EXPECT_FALSE(streamOpenFor(0, false));
}

class EndToEndTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (test::VelmoraBinary().empty()) GTEST_SKIP() << "VELMORA_BINARY is not set";
        if (const std::string why = test::PrepareEnforcingNetwork(net_); !why.empty()) {
            GTEST_SKIP() << why;
        }
        systemd_.addUnit("xrdp.service", true, false);
        rdp_ = test::ListeningSocket(net_.machine(), SOCK_STREAM, kRdpPort);
    }

    std::string dataDirectory() const { return JoinPath(programData_.path(), "Velmora"); }
    std::string gateLog() const {
        std::string text;
        static_cast<void>(ReadFileText(JoinPath(dataDirectory(), "gate.log"), text));
        return text;
    }
    // A gate.json with this key enrolled, written before setup runs.
    void writeGateJson(const test::SoftwareAuthenticator& key,
                       const JsonValue& config = JsonValue::object()) const {
        JsonValue credentials = JsonValue::array();
        credentials.push(test::StoredCredentialJson(key, 0, "k"));
        ASSERT_TRUE(EnsureDirectory(dataDirectory()));
        ASSERT_TRUE(WriteFileAtomic(
            JoinPath(dataDirectory(), "gate.json"),
            JsonDump(test::JsonObject(
                {{"version", 1}, {"config", config}, {"credentials", credentials}}))));
    }

    // A command run on the machine, with systemd and the data directory of this test.
    test::ProcessResult onMachine(const std::vector<std::string>& argv,
                                  const std::vector<std::string>& extraEnv = {}) const {
        std::vector<std::string> env = systemd_.environment();
        env.push_back("PROGRAMDATA=" + programData_.path());
        env.push_back("INVOCATION_ID=");
        env.insert(env.end(), extraEnv.begin(), extraEnv.end());
        return net_.run(net_.machine(), argv, env);
    }
    test::ProcessResult velmora(std::vector<std::string> args,
                                const std::vector<std::string>& extraEnv = {}) const {
        args.insert(args.begin(), test::VelmoraBinary());
        return onMachine(args, extraEnv);
    }

    // One request to the gate, over HTTPS from a client's namespace.
    test::HttpReply post(const std::string& path, const JsonValue& body,
                         std::size_t client = 0) const {
        test::HttpReply reply;
        test::TestNetwork::RunIn(net_.client(client), [&] {
            reply = test::HttpsRequestTo(net_.machineAddress(client), kGatePort, "POST", path,
                                         JsonDump(body));
        });
        return reply;
    }
    [[nodiscard]] bool gateAnswers() const {
        return test::WaitUntil(
            [this] { return post("/v1/hello", JsonValue::object()).status == 200; },
            std::chrono::seconds(10));
    }
    // Installs the gate and waits for it; the SHA-256 fingerprint of its certificate.
    std::string setUpGate(std::vector<std::string> options = {},
                          const std::vector<std::string>& extraEnv = {}) {
        options.insert(options.begin(), "setup");
        const test::ProcessResult setup = velmora(options, extraEnv);
        EXPECT_EQ(setup.exitCode, 0) << setup.output;
        EXPECT_TRUE(gateAnswers()) << systemd_.serviceOutput() << gateLog();
        return lineAfter(setup.output, "SHA-256 fingerprint: ");
    }
    std::string issueCode() const {
        const test::ProcessResult issued = velmora({"code"});
        EXPECT_EQ(issued.exitCode, 0) << issued.output;
        return lineAfter(issued.output, "  Enrollment code: ").substr(0, 14);
    }

    std::string gate() const { return net_.machineAddress(0); }
    // velmora-client-softkey in the first client's namespace, with the software key whose state
    // is in keyFile and this test's configuration folder.
    std::vector<std::string> clientArgs(const std::vector<std::string>& args) const {
        std::vector<std::string> argv = net_.execIn(net_.client(0));
        argv.push_back(VELMORA_SOFTKEY_CLIENT);
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }
    std::vector<std::string> clientEnv(const std::string& keyFile) const {
        return {"VELMORA_TEST_KEY=" + keyFile, "XDG_CONFIG_HOME=" + home_.file("config"),
                "PATH=/usr/bin:/bin"};
    }
    test::ProcessResult client(const std::vector<std::string>& args,
                               const std::string& keyFile) const {
        return test::RunProcess(clientArgs(args), clientEnv(keyFile));
    }
    // A fresh software key for velmora-client, without a PIN.
    std::string newKey(const std::string& name) const {
        const std::string path = home_.file(name + ".json");
        EXPECT_TRUE(WriteFileAtomic(path, R"({"pin":""})"));
        return path;
    }

    bool rdpOpenFor(std::size_t client, bool expectOpen) const {
        return test::TcpConnects(net_.client(client), net_.machineAddress(client), kRdpPort,
                                 rdp_.get(), expectOpen);
    }
    // A key that speaks the gate's API directly and asks for a stream token; the token.
    std::string streamToken(test::SoftwareAuthenticator& key) const {
        const test::HttpReply begin = post("/v1/auth/begin", JsonValue::object());
        const test::Assertion assertion = key.getAssertion(
            gate::kRelyingPartyId, gate::RelyingPartyOrigin(), test::ChallengeOf(begin.json));
        JsonValue body = test::AssertionBody(key.credentialId(), assertion);
        body.set("wantStreamToken", true);
        const test::HttpReply finish = post("/v1/auth/finish", body);
        EXPECT_EQ(finish.status, 200) << finish.body;
        return finish.json.get("streamToken").asString();
    }
    test::HttpReply openStream(const std::string& token, std::size_t client = kUser) const {
        stream::StreamKeyPair viewerKey;
        std::string error;
        EXPECT_TRUE(stream::generateKeyPair(viewerKey, error)) << error;
        return post("/v1/stream/open",
                    test::JsonObject({{"token", token},
                                      {"viewerKey", Base64UrlEncode(viewerKey.publicKey())},
                                      {"viewerPort", 50000}}),
                    client);
    }
    std::string hostsFile() const { return home_.file("config/velmora/hosts.json"); }

    // Destroyed in reverse: the listener, then the gate the stand-in started, then the data
    // directories, then the namespaces.
    test::TestNetwork net_{{"10.231.1", "10.231.2"}};
    test::TempDir programData_;
    test::TempDir home_;
    test::StandInSystemd systemd_;
    UniqueFd rdp_;
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
    EXPECT_TRUE(contains(enrolled.output, "enrolled key 'laptop'")) << enrolled.output;
    EXPECT_TRUE(contains(enrolled.output, "protection is armed")) << enrolled.output;
    // Trust on first use: the certificate the gate's setup printed is the one saved.
    std::string saved;
    ASSERT_TRUE(ReadFileText(hostsFile(), saved));
    EXPECT_TRUE(contains(saved, "\"fingerprint\": \"" + fingerprint + "\"")) << saved;
    // The first key closes the port for everyone; the gate itself stays reachable.
    EXPECT_TRUE(
        test::WaitUntil([this] { return !rdpOpenFor(kUser, false); }, std::chrono::seconds(5)));
    EXPECT_FALSE(rdpOpenFor(kStranger, false));
    EXPECT_TRUE(
        post("/v1/hello", JsonValue::object(), kStranger).json.get("protectionArmed").asBool());

    const test::ProcessResult connected = client({"connect", gate(), "--no-rdp"}, key);
    ASSERT_EQ(connected.exitCode, 0) << connected.output;
    EXPECT_TRUE(
        contains(connected.output, "port 3389 open for " + net_.clientAddress(kUser) + " until "))
        << connected.output;
    EXPECT_TRUE(rdpOpenFor(kUser, true));
    EXPECT_FALSE(rdpOpenFor(kStranger, false));
    const test::ProcessResult status = velmora({"status"});
    EXPECT_TRUE(contains(status.output, "  Active grants:               1")) << status.output;

    const test::ProcessResult revoked = client({"revoke", gate()}, key);
    EXPECT_EQ(revoked.exitCode, 0) << revoked.output;
    // The gate answers first and removes the rule on its firewall thread.
    EXPECT_TRUE(
        test::WaitUntil([this] { return !rdpOpenFor(kUser, false); }, std::chrono::seconds(5)));

    // Another key, never enrolled here, is named as such and opens nothing.
    const test::ProcessResult stranger = client({"connect", gate(), "--no-rdp"}, newKey("other"));
    EXPECT_EQ(stranger.exitCode, 1);
    EXPECT_TRUE(
        contains(stranger.output, "this security key is not enrolled on " + gate() + ":7440"))
        << stranger.output;

    // A certificate other than the saved one is refused before anything is sent, until the user
    // accepts it.
    std::string other = fingerprint;
    std::reverse(other.begin(), other.end());
    saved.replace(saved.find(fingerprint), fingerprint.size(), other);
    ASSERT_TRUE(WriteFileAtomic(hostsFile(), saved));
    const test::ProcessResult refused = client({"connect", gate(), "--no-rdp"}, key);
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(contains(refused.output, "has CHANGED")) << refused.output;
    EXPECT_FALSE(rdpOpenFor(kUser, false));

    // The remote-desktop client runs once the port is open, told where to go.
    const test::ProcessResult session =
        client({"connect", gate(), "--accept-new-certificate", "--rdp-command",
                "echo session to $VELMORA_HOST:$VELMORA_RDP_PORT"},
               key);
    EXPECT_EQ(session.exitCode, 0) << session.output;
    EXPECT_TRUE(contains(session.output, "session to " + gate() + ":3389")) << session.output;
    ASSERT_TRUE(ReadFileText(hostsFile(), saved));
    EXPECT_TRUE(contains(saved, fingerprint)) << saved;

    // The production binary, on a machine without a key, says so.
    glob_t found{};
    const bool hidraw = ::glob("/dev/hidraw*", 0, nullptr, &found) == 0;
    ::globfree(&found);
    if (!hidraw) {
        const test::ProcessResult noKey =
            test::RunProcess({VELMORA_CLIENT_BINARY, "connect", gate(), "--no-rdp"},
                             {"XDG_CONFIG_HOME=" + home_.file("config")});
        EXPECT_EQ(noKey.exitCode, 1);
        EXPECT_TRUE(contains(noKey.output, "no security key found")) << noKey.output;
    }

    // With no session open from the address, the grant of the last connect expires and the port
    // closes again.
    EXPECT_TRUE(
        test::WaitUntil([this] { return !rdpOpenFor(kUser, false); }, std::chrono::seconds(25)));
    EXPECT_FALSE(rdpOpenFor(kStranger, false));
}

TEST_F(EndToEndTest, TheKernelFollowsUnlockArmStartsDriftPortChangesAndNftFailures) {
    test::SoftwareAuthenticator key;
    writeGateJson(key);
    setUpGate();
    EXPECT_FALSE(rdpOpenFor(kUser, false));
    const test::ProcessResult unlock = velmora({"unlock"});
    EXPECT_EQ(unlock.exitCode, 0) << unlock.output;
    EXPECT_TRUE(rdpOpenFor(kStranger, true));
    EXPECT_EQ(systemd_.mainPid(), 0);
    // arm starts the service, and the gate's start closes the port again.
    const test::ProcessResult arm = velmora({"arm"});
    EXPECT_EQ(arm.exitCode, 0) << arm.output;
    EXPECT_TRUE(test::WaitUntil([this] { return !rdpOpenFor(kStranger, false); },
                                std::chrono::seconds(10)));
    ASSERT_EQ(onMachine({"systemctl", "stop", "velmora.service"}).exitCode, 0);

    const auto nft = [this](std::vector<std::string> args) {
        args.insert(args.begin(), "nft");
        return net_.run(net_.machine(), args).exitCode;
    };

    // A failed start (its port is taken) leaves the port closed, even after a reboot emptied
    // the kernel.
    ASSERT_EQ(nft({"flush", "ruleset"}), 0);
    EXPECT_TRUE(rdpOpenFor(kStranger, true));
    {
        const UniqueFd squatter = test::ListeningSocket(net_.machine(), SOCK_STREAM, kGatePort);
        static_cast<void>(onMachine({"systemctl", "start", "velmora.service"}));
        EXPECT_TRUE(
            test::WaitUntil([this] { return systemd_.mainPid() == 0; }, std::chrono::seconds(10)))
            << gateLog();
        EXPECT_FALSE(rdpOpenFor(kStranger, false));
        ASSERT_EQ(onMachine({"systemctl", "stop", "velmora.service"}).exitCode, 0);
    }

    // Ready means enforced: the port is closed the moment the gate first answers.
    ASSERT_EQ(nft({"delete", "table", "inet", "velmora"}), 0);
    ASSERT_EQ(onMachine({"systemctl", "start", "velmora.service"}).exitCode, 0);
    ASSERT_TRUE(gateAnswers()) << systemd_.serviceOutput() << gateLog();
    EXPECT_FALSE(rdpOpenFor(kStranger, false));
    EXPECT_FALSE(
        post("/v1/hello", JsonValue::object(), kStranger).json.get("exposed").asBool(true));

    // A deleted table comes back on nftables' own notification, long before the 30-second pass,
    // and the restore is logged.
    ASSERT_EQ(nft({"delete", "table", "inet", "velmora"}), 0);
    EXPECT_TRUE(
        test::WaitUntil([this] { return !rdpOpenFor(kStranger, false); }, std::chrono::seconds(5)));
    EXPECT_TRUE(contains(gateLog(),
                         "the firewall table inet velmora was missing in the kernel; "
                         "it was restored"));

    // A changed rdpPort reaches the kernel when the gate starts: strangers stay out of it.
    ASSERT_EQ(velmora({"arm"}).exitCode, 0);
    ASSERT_EQ(onMachine({"systemctl", "stop", "velmora.service"}).exitCode, 0);
    ASSERT_EQ(velmora({"harden"}).exitCode, 0);
    const UniqueFd moved = test::ListeningSocket(net_.machine(), SOCK_STREAM, 3390);
    std::string text;
    JsonValue stored;
    ASSERT_TRUE(ReadFileText(JoinPath(dataDirectory(), "gate.json"), text));
    ASSERT_TRUE(JsonParse(text, stored));
    JsonValue config = stored.get("config");
    config.set("rdpPort", 3390);
    writeGateJson(key, config);
    ASSERT_EQ(onMachine({"systemctl", "start", "velmora.service"}).exitCode, 0);
    ASSERT_TRUE(gateAnswers()) << systemd_.serviceOutput() << gateLog();
    EXPECT_FALSE(test::TcpConnects(net_.client(kStranger), net_.machineAddress(kStranger), 3390,
                                   moved.get(), false));
}

TEST_F(EndToEndTest, TokensOpenStreamsForTheirAddressFourAtMostAndStoppingEndsTheAgents) {
    test::SoftwareAuthenticator key;
    writeGateJson(key);
    setUpGate();
    EXPECT_TRUE(post("/v1/hello", JsonValue::object()).json.get("stream").asBool());

    const std::string token = streamToken(key);

    // Another address cannot spend it, and trying does not use it up.
    const test::HttpReply foreign = openStream(token, kStranger);
    EXPECT_EQ(foreign.status, 403);
    EXPECT_EQ(foreign.json.get("error").asString(), "bad_stream_token");
    EXPECT_EQ(foreign.json.get("message").asString(),
              "the stream token is missing, expired, used or belongs to another address");

    const test::HttpReply opened = openStream(token);
    ASSERT_EQ(opened.status, 200) << opened.body;
    EXPECT_EQ(opened.json.get("port").asInt(), kStreamPort);
    EXPECT_TRUE(contains(opened.body, "\"" + net_.machineAddress(kUser) + ":7441\""))
        << opened.body;
    EXPECT_EQ(openStream(token).json.get("error").asString(), "bad_stream_token");

    // The agents wait for their viewers' handshakes; four of them at most.
    for (int i = 1; i < 4; ++i) ASSERT_EQ(openStream(streamToken(key)).status, 200);
    const test::HttpReply busy = openStream(streamToken(key));
    EXPECT_EQ(busy.status, 503);
    EXPECT_EQ(busy.json.get("error").asString(), "stream_busy");

    const std::string viewer = net_.clientAddress(kUser);
    std::vector<pid_t> agents;
    const std::string log = gateLog();
    const std::regex started("for " + viewer + ": agent pid ([0-9]+) on UDP 744[1-4],");
    for (auto it = std::sregex_iterator(log.begin(), log.end(), started);
         it != std::sregex_iterator(); ++it)
        agents.push_back(std::stoi((*it)[1]));
    ASSERT_EQ(agents.size(), 4u) << log;

    // An agent that ends takes its firewall rule and its slot with it.
    const auto streamRules = [this] {
        std::string rules;
        static_cast<void>(ReadFileText(JoinPath(dataDirectory(), "firewall.json"), rules));
        std::size_t count = 0;
        for (std::size_t at = 0;
             (at = rules.find(firewall::kStreamRulePrefix, at)) != std::string::npos; ++at)
            ++count;
        return count;
    };
    EXPECT_EQ(streamRules(), 4u);
    ASSERT_EQ(::kill(agents.back(), SIGKILL), 0);
    EXPECT_TRUE(test::WaitUntil([&] { return streamRules() == 3; }, std::chrono::seconds(5)));
    agents.pop_back();
    EXPECT_EQ(openStream(streamToken(key)).status, 200);

    // Stopping the service ends them all.
    for (const pid_t agent : agents) EXPECT_EQ(::kill(agent, 0), 0) << agent;
    ASSERT_EQ(onMachine({"systemctl", "stop", "velmora.service"}).exitCode, 0);
    for (const pid_t agent : agents) EXPECT_NE(::kill(agent, 0), 0) << agent;
}

// The viewer's window and the host's picture.
constexpr int kWidth = 640;
constexpr int kHeight = 480;

double luma(std::uint32_t bgrx) {
    return 0.2126 * ((bgrx >> 16) & 0xFF) + 0.7152 * ((bgrx >> 8) & 0xFF) + 0.0722 * (bgrx & 0xFF);
}

// The viewer's display, seen from outside: finds the viewer's window, reads its pixels, types.
class ViewerDisplay {
  public:
    explicit ViewerDisplay(const std::string& display) : display_(XOpenDisplay(display.c_str())) {
        // A window that changes while it is read gives an error reply, not the end of the test.
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    }
    ~ViewerDisplay() {
        if (display_ != nullptr) XCloseDisplay(display_);
    }
    bool ok() const { return display_ != nullptr; }

    // A mapped top-level window of the picture's size, 0 when there is none yet.
    Window find() const {
        Window root = 0;
        Window parent = 0;
        Window* children = nullptr;
        unsigned count = 0;
        Window found = 0;
        if (XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count) ==
            0)
            return 0;
        for (unsigned i = 0; i < count; ++i) {
            XWindowAttributes a;
            if (XGetWindowAttributes(display_, children[i], &a) != 0 && a.map_state == IsViewable &&
                a.width == kWidth && a.height == kHeight)
                found = children[i];
        }
        if (children != nullptr) XFree(children);
        return found;
    }

    // PSNR of the window's luma, as the unobscured window shows it, against the picture's;
    // 0 when it cannot be read.
    double psnr(Window window, const std::vector<std::uint8_t>& picture) const {
        XImage* image = XGetImage(display_, window, 0, 0, kWidth, kHeight, AllPlanes, ZPixmap);
        if (image == nullptr) return 0;
        std::vector<std::uint8_t> seen(kWidth * kHeight);
        std::vector<std::uint8_t> expected(seen.size());
        for (std::size_t i = 0; i < seen.size(); ++i) {
            std::uint32_t pixel = 0;
            std::memcpy(&pixel, &picture[i * 4], 4);
            expected[i] = static_cast<std::uint8_t>(std::lround(luma(pixel)));
            const auto shown =
                XGetPixel(image, static_cast<int>(i % kWidth), static_cast<int>(i / kWidth));
            seen[i] =
                static_cast<std::uint8_t>(std::lround(luma(static_cast<std::uint32_t>(shown))));
        }
        XDestroyImage(image);
        return test::lumaPsnr(seen.data(), expected.data(), seen.size());
    }

    // Points at the window's centre and types text (lower-case letters) there.
    void type(Window window, const std::string& text) {
        XWarpPointer(display_, None, window, 0, 0, 0, 0, kWidth / 2, kHeight / 2);
        XSetInputFocus(display_, window, RevertToParent, CurrentTime);
        XSync(display_, False);
        std::this_thread::sleep_for(200ms);
        for (char c : text) {
            const KeyCode code = XKeysymToKeycode(display_, static_cast<KeySym>(c));
            XTestFakeKeyEvent(display_, code, True, CurrentTime);
            XTestFakeKeyEvent(display_, code, False, CurrentTime);
            XSync(display_, False);
            std::this_thread::sleep_for(30ms);
        }
    }

  private:
    Display* display_;
};

TEST_F(EndToEndTest, TheViewerShowsTheHostsDesktopAndTypesIntoIt) {
    test::Xvfb hostScreen;
    test::Xvfb viewerScreen;
    std::string why;
    if (!hostScreen.start(kWidth, kHeight, why)) GTEST_SKIP() << why;
    if (!viewerScreen.start(1024, 768, why)) GTEST_SKIP() << why;
    test::PatternWindow host(hostScreen.display(), kWidth, kHeight, false);
    ASSERT_TRUE(host.ok());
    // The machine's desktop is the host's Xvfb.
    setUpGate({}, {"DISPLAY=" + hostScreen.display()});
    const std::string key = newKey("key");
    std::vector<std::string> env = clientEnv(key);
    env.push_back("DISPLAY=" + viewerScreen.display());
    const test::ProcessResult enrolled =
        test::RunProcess(clientArgs({"enroll", gate(), issueCode()}), env);
    ASSERT_EQ(enrolled.exitCode, 0) << enrolled.output;

    test::BackgroundProcess viewer;
    ASSERT_TRUE(viewer.start(clientArgs({"view", gate(), "--audio-out", "none"}), env));
    ViewerDisplay screen(viewerScreen.display());
    ASSERT_TRUE(screen.ok());

    // The window takes the picture's size and shows the host's desktop.
    const std::vector<std::uint8_t> picture = test::patternPixels(kWidth, kHeight, 0);
    Window window = 0;
    double psnr = 0;
    EXPECT_TRUE(test::WaitUntil(
        [&] {
            window = screen.find();
            psnr = window != 0 ? screen.psnr(window, picture) : 0;
            return psnr > 30;
        },
        30s))
        << "PSNR " << psnr << "\n"
        << viewer.output() << gateLog();
    ASSERT_NE(window, 0u) << viewer.output() << gateLog();

    screen.type(window, "velmora");
    std::string typed;
    std::vector<std::pair<int, int>> clicks;
    EXPECT_TRUE(test::WaitUntil(
        [&] {
            host.events(typed, clicks);
            return typed == "velmora";
        },
        10s))
        << "typed '" << typed << "'\n"
        << viewer.output() << gateLog();
    EXPECT_EQ(viewer.interrupt(), 0) << viewer.output() << gateLog();
}

}  // namespace
}  // namespace vel
