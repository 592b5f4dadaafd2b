#include "gate/stream_launcher.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/eventfd.h>

#include <chrono>
#include <map>
#include <thread>

#include "core/encoding.h"
#include "stream/launch_params.h"
#include "stream/stream_keys.h"
#include "support/manual_clock.h"

namespace vel::gate {
namespace {

using namespace std::chrono_literals;

template <typename Predicate>
bool eventually(Predicate predicate) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// The rules the guard would hold, by name.
class RecordingRules final : public StreamRules {
  public:
    bool addStreamRule(const net::IpAddress& address, std::uint16_t port, const std::string& key,
                       std::string& ruleName, std::string& error) override {
        std::lock_guard lock(mutex);
        if (!failure.empty()) {
            error = failure;
            return false;
        }
        ruleName = "rule " + std::to_string(++count);
        rules[ruleName] = net::formatIpAddress(address) + " " + std::to_string(port) + " " + key;
        return true;
    }
    void removeStreamRule(const std::string& ruleName) override {
        std::lock_guard lock(mutex);
        rules.erase(ruleName);
    }
    std::size_t size() {
        std::lock_guard lock(mutex);
        return rules.size();
    }

    std::mutex mutex;
    std::map<std::string, std::string> rules;  // guarded by mutex
    std::string failure;                       // guarded by mutex
    int count = 0;                             // guarded by mutex
};

// An agent that ends when the test says so.
class FakeAgent final : public RunningChild {
  public:
    FakeAgent(pid_t pid, std::atomic<int>* terminated)
        : pid_(pid), ended_(::eventfd(0, EFD_CLOEXEC)), terminated_(terminated) {}
    pid_t pid() const override { return pid_; }
    int endedFd() const override { return ended_.get(); }
    bool reap(int& exitStatus) override {
        if (!endedFlag_ || reaped_) return false;
        reaped_ = true;
        exitStatus = 3;
        return true;
    }
    void terminate(int) override {
        ++*terminated_;
        end();
        reaped_ = true;
    }
    void end() {
        endedFlag_ = true;
        const std::uint64_t one = 1;
        static_cast<void>(::write(ended_.get(), &one, sizeof one));
    }

  private:
    pid_t pid_;
    UniqueFd ended_;
    std::atomic<int>* terminated_;
    std::atomic<bool> endedFlag_{false};
    bool reaped_ = false;
};

class FakeSpawner final : public ChildSpawner {
  public:
    std::unique_ptr<RunningChild> spawn(ChildSpec spec, std::string& error) override {
        std::lock_guard lock(mutex);
        if (!failure.empty()) {
            error = failure;
            return nullptr;
        }
        specs.push_back(spec);
        auto agent = std::make_unique<FakeAgent>(1000 + static_cast<pid_t>(specs.size()), &terminated);
        agents.push_back(agent.get());
        return agent;
    }
    std::mutex mutex;
    std::vector<ChildSpec> specs;    // guarded by mutex
    std::vector<FakeAgent*> agents;  // guarded by mutex; owned by the launcher
    std::string failure;             // guarded by mutex
    std::atomic<int> terminated{0};
};

class NoSession final : public SessionLocator {
  public:
    bool activeGraphicalSession(GraphicalSession&) override { return false; }
};

class OneInterface final : public stream::InterfaceAddresses {
  public:
    bool list(std::vector<stream::InterfaceAddress>& out) override {
        stream::InterfaceAddress entry;
        entry.interfaceName = "eth0";
        entry.flags = IFF_UP | IFF_RUNNING;
        auto& v4 = reinterpret_cast<sockaddr_in&>(entry.address);
        v4.sin_family = AF_INET;
        v4.sin_addr.s_addr = htonl(0xC000020A);  // 192.0.2.10
        out = {entry};
        return true;
    }
};

class StreamLauncherTest : public ::testing::Test {
  protected:
    StreamLauncherTest() {
        EXPECT_TRUE(stream::generateKeyPair(viewer_, error_)) << error_;
        seams_.spawner = &spawner_;
        seams_.sessions = &sessions_;
        seams_.interfaces = &interfaces_;
        seams_.environment = [] {
            GateEnvironment own;
            own.display = ":5";
            return own;
        };
        seams_.clock = &clock_;
    }

    StreamLauncher& launcher() {
        if (!launcher_) {
            launcher_ = std::make_unique<StreamLauncher>([this] { return settings_; }, rules_,
                                                         "/proc/self/exe", seams_);
            launcher_->start();
        }
        return *launcher_;
    }

    StreamOpenRequest request(int direction = 0) {
        StreamOpenRequest r;
        EXPECT_TRUE(net::parseIpAddress("203.0.113.5", r.source));
        r.sourceAddress = "203.0.113.5";
        r.viewerKey = viewer_.publicKey();
        r.candidates = {"203.0.113.5:50000"};
        r.direction = direction;
        r.credentialLabel = "laptop";
        return r;
    }

    bool open(const StreamOpenRequest& r, StreamOpenResult& result) {
        code_.clear();
        message_.clear();
        return launcher().startStream(r, result, code_, message_);
    }

    stream::LaunchParams paramsOf(std::size_t agent) {
        std::lock_guard lock(spawner_.mutex);
        stream::LaunchParams params;
        EXPECT_TRUE(stream::parseLaunchParams(spawner_.specs.at(agent).input, params, error_)) << error_;
        return params;
    }

    test::ManualClock clock_;
    StreamSettings settings_{true, 7441, "voice-sink"};
    RecordingRules rules_;
    FakeSpawner spawner_;
    NoSession sessions_;
    OneInterface interfaces_;
    StreamLauncherSeams seams_;
    stream::StreamKeyPair viewer_;
    std::unique_ptr<StreamLauncher> launcher_;
    std::string code_, message_, error_;
};

TEST_F(StreamLauncherTest, AStreamGivesTheViewerWhatItNeedsAndTheAgentTheMatchingKeys) {
    StreamOpenResult result;
    ASSERT_TRUE(open(request(), result)) << message_;
    EXPECT_EQ(result.port, 7441);
    EXPECT_EQ(result.ticket.size(), 32u);
    EXPECT_EQ(result.hostCandidates, std::vector<std::string>{"192.0.2.10:7441"});
    EXPECT_EQ(rules_.rules.begin()->second, "203.0.113.5 7441 laptop");

    // The viewer derives, from the answer alone, the keys the agent was given.
    Bytes secret;
    ASSERT_TRUE(stream::agree(viewer_, result.hostKey, secret, error_)) << error_;
    const stream::SessionKeys viewerKeys =
        stream::deriveSessionKeys(secret, result.ticket, result.hostKey, viewer_.publicKey());
    const stream::LaunchParams params = paramsOf(0);
    EXPECT_EQ(params.role, 1);
    EXPECT_EQ(params.connId, result.connId);
    EXPECT_EQ(params.keys.hostToViewer, viewerKeys.hostToViewer);
    EXPECT_EQ(params.keys.viewerToHost, viewerKeys.viewerToHost);
    EXPECT_EQ(params.localPort, 7441);
    EXPECT_EQ(params.handshakeTimeoutMs, 30000u);
    EXPECT_EQ(params.candidates, std::vector<std::string>{"203.0.113.5:50000"});
    EXPECT_EQ(params.microphoneOutDevice, "voice-sink");

    std::lock_guard lock(spawner_.mutex);
    const ChildSpec& spec = spawner_.specs[0];
    EXPECT_EQ(spec.argv, (std::vector<std::string>{"/proc/self/exe", "stream", "serve"}));
    EXPECT_NE(std::find(spec.environment.begin(), spec.environment.end(), "DISPLAY=:5"),
              spec.environment.end());
}

TEST_F(StreamLauncherTest, DirectionDecidesWhoDials) {
    StreamOpenResult result;
    ASSERT_TRUE(open(request(1), result)) << message_;
    EXPECT_FALSE(result.hostCandidates.empty());
    EXPECT_TRUE(paramsOf(0).candidates.empty());
    ASSERT_TRUE(open(request(2), result)) << message_;
    EXPECT_TRUE(result.hostCandidates.empty());
    EXPECT_FALSE(paramsOf(1).candidates.empty());
}

TEST_F(StreamLauncherTest, FourStreamsAtMostEachOnItsOwnPortAndAnEndedOneFreesItsPortAndRule) {
    StreamOpenResult result;
    std::vector<std::uint16_t> ports;
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(open(request(), result)) << message_;
        ports.push_back(result.port);
    }
    EXPECT_EQ(ports, (std::vector<std::uint16_t>{7441, 7442, 7443, 7444}));
    EXPECT_FALSE(open(request(), result));
    EXPECT_EQ(code_, "stream_busy");
    EXPECT_EQ(message_, "too many streams are running on this machine");
    EXPECT_EQ(rules_.size(), 4u);

    // The second agent exits: the watcher reaps it and its port goes to the next stream.
    clock_.wall += 42;
    {
        std::lock_guard lock(spawner_.mutex);
        spawner_.agents[1]->end();
    }
    ASSERT_TRUE(eventually([&] { return launcher().runningStreams() == 3; }));
    EXPECT_EQ(rules_.size(), 3u);
    ASSERT_TRUE(open(request(), result)) << message_;
    EXPECT_EQ(result.port, 7442);

    launcher().stopAllStreams();
    EXPECT_EQ(spawner_.terminated, 4);
    EXPECT_EQ(rules_.size(), 0u);
    EXPECT_FALSE(launcher().available());
}

TEST_F(StreamLauncherTest, FailuresUndoWhatWasDoneAndSayWhy) {
    StreamOpenResult result;
    spawner_.failure = "posix_spawn failed: No such file or directory (errno 2)";
    EXPECT_FALSE(open(request(), result));
    EXPECT_EQ(code_, "stream_start_failed");
    EXPECT_EQ(message_, "the host agent could not be started: posix_spawn failed: No such file or "
                        "directory (errno 2)");
    EXPECT_EQ(rules_.size(), 0u);  // the rule made for it is gone again
    spawner_.failure.clear();

    rules_.failure = "nft refused";
    EXPECT_FALSE(open(request(), result));
    EXPECT_EQ(message_, "the firewall rule could not be created: nft refused");
    rules_.failure.clear();

    StreamOpenRequest compressed = request();
    compressed.viewerKey[0] = 0x02;
    EXPECT_FALSE(open(compressed, result));
    EXPECT_EQ(message_, "key agreement failed: peer public key is not an uncompressed P-256 point");

    // None of these held a port.
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(open(request(), result)) << message_;

    settings_.enabled = false;
    EXPECT_FALSE(launcher().available());
    EXPECT_FALSE(open(request(), result));
    EXPECT_EQ(code_, "stream_disabled");
    EXPECT_EQ(message_, "streaming is switched off on this gate");
}

}  // namespace
}  // namespace vel::gate
