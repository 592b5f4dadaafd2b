#include "gate/stream_launcher.h"

#include <gtest/gtest.h>

#include <map>

#include "stream/launch_params.h"
#include "stream/stream_keys.h"

namespace vel::gate {
namespace {

// The rules the guard would hold, by name.
class RecordingRules final : public StreamRules {
  public:
    bool addStreamRule(const net::IpAddress& address, std::uint16_t port, const std::string& key,
                       std::string& ruleName, std::string& error) override {
        error = failure;
        ruleName = "rule " + std::to_string(++count);
        if (failure.empty())
            rules[ruleName] =
                net::formatIpAddress(address) + " " + std::to_string(port) + " " + key;
        return failure.empty();
    }
    void removeStreamRule(const std::string& ruleName) override { rules.erase(ruleName); }

    std::map<std::string, std::string> rules;
    std::string failure;
    int count = 0;
};

// Agents that run until the launcher ends them (poll skips their descriptor of -1).
class FakeSpawner final : public ChildSpawner {
  public:
    struct Agent final : RunningChild {
        explicit Agent(pid_t id) : id(id) {}
        pid_t pid() const override { return id; }
        int endedFd() const override { return -1; }
        bool reap(int&) override { return false; }
        void terminate(int) override {}
        pid_t id;
    };
    std::unique_ptr<RunningChild> spawn(ChildLaunch launch, std::string& error) override {
        error = failure;
        if (!failure.empty()) return nullptr;
        launches.push_back(launch);
        return std::make_unique<Agent>(1000 + static_cast<pid_t>(launches.size()));
    }
    std::vector<ChildLaunch> launches;
    std::string failure;
};

class NoSession final : public SessionLocator {
  public:
    bool activeGraphicalSession(GraphicalSession&) override { return false; }
};

class StreamLauncherTest : public ::testing::Test {
  protected:
    StreamLauncherTest() {
        EXPECT_TRUE(stream::generateKeyPair(viewer_, error_)) << error_;
        EXPECT_TRUE(launcher_.start(error_)) << error_;
    }

    StreamOpenRequest request() {
        StreamOpenRequest r;
        EXPECT_TRUE(net::parseIpAddress("203.0.113.5", r.source));
        r.sourceAddress = "203.0.113.5";
        r.viewerKey = viewer_.publicKey();
        r.candidates = {"203.0.113.5:50000"};
        r.credentialLabel = "laptop";
        return r;
    }

    bool open(const StreamOpenRequest& r, StreamOpenResult& result) {
        code_.clear();
        message_.clear();
        return launcher_.startStream(r, result, code_, message_);
    }

    stream::LaunchParams paramsOf(std::size_t agent) {
        stream::LaunchParams params;
        EXPECT_TRUE(stream::parseLaunchParams(spawner_.launches.at(agent).input, params, error_))
            << error_;
        return params;
    }

    StreamSettings settings_{true, 7441, "voice-sink"};
    RecordingRules rules_;
    FakeSpawner spawner_;
    NoSession sessions_;
    StreamLauncher launcher_{[this] { return settings_; }, rules_, "/proc/self/exe",
                             StreamLauncherSeams{&spawner_, &sessions_}};
    stream::StreamKeyPair viewer_;
    std::string code_, message_, error_;
};

// That the agent's keys match the viewer's is seen when a real viewer watches a stream.
TEST_F(StreamLauncherTest, AStreamOpensARuleForItsViewerAndTellsTheAgentWhomToDial) {
    StreamOpenResult result;
    ASSERT_TRUE(open(request(), result)) << message_;
    EXPECT_EQ(rules_.rules.begin()->second, "203.0.113.5 7441 laptop");
    const stream::LaunchParams params = paramsOf(0);
    EXPECT_EQ(params.connId, result.connId);
    EXPECT_EQ(params.candidates, std::vector<std::string>{"203.0.113.5:50000"});
    EXPECT_EQ(params.microphoneOutDevice, "voice-sink");

    // Direction 1: only the viewer dials; 2: only the host does.
    StreamOpenRequest viewerDials = request();
    viewerDials.direction = 1;
    ASSERT_TRUE(open(viewerDials, result)) << message_;
    EXPECT_TRUE(paramsOf(1).candidates.empty());
    viewerDials.direction = 2;
    ASSERT_TRUE(open(viewerDials, result)) << message_;
    EXPECT_TRUE(result.hostCandidates.empty());
}

TEST_F(StreamLauncherTest, FailuresUndoWhatWasDoneAndSayWhy) {
    StreamOpenResult result;
    spawner_.failure = "posix_spawn failed: No such file or directory (errno 2)";
    EXPECT_FALSE(open(request(), result));
    EXPECT_EQ(code_, "stream_start_failed");
    EXPECT_EQ(message_,
              "the host agent could not be started: posix_spawn failed: No such file or "
              "directory (errno 2)");
    EXPECT_EQ(rules_.rules.size(), 0u);  // the rule made for it is gone again
    spawner_.failure.clear();

    rules_.failure = "nft refused";
    EXPECT_FALSE(open(request(), result));
    EXPECT_EQ(message_, "the firewall rule could not be created: nft refused");
    rules_.failure.clear();

    StreamOpenRequest compressed = request();
    compressed.viewerKey[0] = 0x02;
    EXPECT_FALSE(open(compressed, result));
    EXPECT_EQ(message_, "key agreement failed: peer public key is not an uncompressed P-256 point");

    // None of these held a port; four streams run at most.
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(open(request(), result)) << message_;
    EXPECT_FALSE(open(request(), result));
    EXPECT_EQ(code_, "stream_busy");
    EXPECT_EQ(message_, "too many streams are running on this machine");

    settings_.enabled = false;
    EXPECT_FALSE(launcher_.available());
    EXPECT_FALSE(open(request(), result));
    EXPECT_EQ(code_, "stream_disabled");
    EXPECT_EQ(message_, "streaming is switched off on this gate");
}

}  // namespace
}  // namespace vel::gate
