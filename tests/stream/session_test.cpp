#include "stream/session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "stream/record_bodies.h"

namespace vel::stream {
namespace {

using namespace std::chrono_literals;

// Polls until the condition holds or five seconds pass; the deadline only bounds a hang.
bool eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

SessionTicket devTicket() {
    SessionTicket ticket;
    std::string error;
    EXPECT_TRUE(deriveDevTicket("000102030405060708090a0b0c0d0e0f", ticket, error)) << error;
    return ticket;
}

Endpoint local(std::uint16_t port) {
    Endpoint endpoint;
    EXPECT_TRUE(parseEndpoint("127.0.0.1", port, endpoint));
    return endpoint;
}

// What one end observes through its callbacks.
struct Observer {
    std::mutex mutex;
    std::vector<std::pair<SessionState, std::string>> states;
    std::vector<std::pair<Channel, std::vector<std::uint8_t>>> messages;
    int keyframeRequests = 0;

    SessionCallbacks callbacks() {
        SessionCallbacks c;
        c.state = [this](SessionState state, const std::string& reason) {
            const std::lock_guard lock(mutex);
            states.emplace_back(state, reason);
        };
        c.message = [this](Channel channel, std::vector<std::uint8_t>&& data) {
            const std::lock_guard lock(mutex);
            messages.emplace_back(channel, std::move(data));
        };
        c.keyframeRequest = [this] {
            const std::lock_guard lock(mutex);
            ++keyframeRequests;
        };
        return c;
    }
    std::string lastReason() {
        const std::lock_guard lock(mutex);
        return states.empty() ? "" : states.back().second;
    }
    std::size_t messageCount() {
        const std::lock_guard lock(mutex);
        return messages.size();
    }
};

SessionParams paramsFor(std::uint8_t role, std::vector<Endpoint> candidates = {}) {
    const SessionTicket ticket = devTicket();
    SessionParams params;
    params.role = role;
    params.connId = ticket.connId;
    params.keys = ticket.keys;
    params.candidates = std::move(candidates);
    return params;
}

// Two real sessions over loopback.
struct Pair {
    Observer hostSeen;
    Observer viewerSeen;
    Session host;
    Session viewer;

    explicit Pair(const NetworkEmulation& emulation = {}) {
        std::string error;
        SessionParams hostParams = paramsFor(kRoleHost);
        hostParams.emulation = emulation;
        EXPECT_TRUE(host.start(hostParams, hostSeen.callbacks(), error)) << error;
        SessionParams viewerParams = paramsFor(kRoleViewer, {local(host.localPort())});
        viewerParams.emulation = emulation;
        EXPECT_TRUE(viewer.start(viewerParams, viewerSeen.callbacks(), error)) << error;
    }
    bool connected() {
        return eventually([&] {
            return host.state() == SessionState::connected &&
                   viewer.state() == SessionState::connected;
        });
    }
};

TEST(Session, HandshakeThenReliableMessagesBothWaysAndCloseBurst) {
    Pair pair;
    ASSERT_TRUE(pair.connected());
    EXPECT_EQ(pair.viewerSeen.lastReason(),
              "handshake with 127.0.0.1:" + std::to_string(pair.host.localPort()));
    EXPECT_EQ(pair.hostSeen.lastReason().rfind("handshake with 127.0.0.1:", 0), 0u);

    std::vector<std::uint8_t> big(2500);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
    ASSERT_TRUE(pair.host.sendMessage(big));
    ASSERT_TRUE(pair.viewer.sendOnChannel(Channel::Input, std::vector<std::uint8_t>{1, 2, 3}));
    ASSERT_TRUE(pair.viewer.sendMessage(std::vector<std::uint8_t>{20}));
    ASSERT_TRUE(eventually([&] { return pair.viewerSeen.messageCount() == 1; }));
    ASSERT_TRUE(eventually([&] { return pair.hostSeen.messageCount() == 2; }));
    {
        const std::lock_guard lock(pair.viewerSeen.mutex);
        EXPECT_EQ(pair.viewerSeen.messages[0].first, Channel::Control);
        EXPECT_EQ(pair.viewerSeen.messages[0].second, big);
    }
    {
        const std::lock_guard lock(pair.hostSeen.mutex);
        EXPECT_EQ(pair.hostSeen.messages[0].first, Channel::Input);
        EXPECT_EQ(pair.hostSeen.messages[1].second, std::vector<std::uint8_t>{20});
        EXPECT_EQ(pair.hostSeen.keyframeRequests, 1);
    }
    EXPECT_FALSE(pair.host.sendMessage({}));
    EXPECT_FALSE(pair.host.sendMessage(std::vector<std::uint8_t>(kMaxReliableMessage + 1)));

    pair.viewer.close(3);
    EXPECT_EQ(pair.viewer.state(), SessionState::closed);
    EXPECT_EQ(pair.viewerSeen.lastReason(), "closed locally");
    ASSERT_TRUE(eventually([&] { return pair.host.state() == SessionState::closed; }));
    EXPECT_EQ(pair.hostSeen.lastReason(), "closed by peer");
    EXPECT_FALSE(pair.viewer.sendMessage(std::vector<std::uint8_t>{1}));

    std::string error;
    EXPECT_FALSE(pair.viewer.start(paramsFor(kRoleViewer), {}, error));
    EXPECT_EQ(error, "session already started");
    const SessionStats stats = pair.host.stats();
    EXPECT_GT(stats.packetsReceived, 0u);
    EXPECT_EQ(stats.authFailures, 0u);
    EXPECT_EQ(stats.lastSource, "127.0.0.1:" + std::to_string(pair.viewer.localPort()));
}

TEST(Session, ReliableMessagesSurviveLossInOrder) {
    NetworkEmulation lossy;
    lossy.loss = 0.2;
    lossy.jitterMs = 5;
    lossy.delayMs = 5;
    Pair pair(lossy);
    ASSERT_TRUE(pair.connected());
    constexpr int kMessages = 30;
    for (int i = 0; i < kMessages; ++i) {
        // Mixes small coalesced fragments with bulk ones of several fragments.
        std::vector<std::uint8_t> message(i % 3 == 0 ? 3000 : 40, static_cast<std::uint8_t>(i));
        ASSERT_TRUE(pair.host.sendMessage(message));
    }
    ASSERT_TRUE(eventually([&] { return pair.viewerSeen.messageCount() == kMessages; }));
    const std::lock_guard lock(pair.viewerSeen.mutex);
    for (int i = 0; i < kMessages; ++i) {
        const auto& message = pair.viewerSeen.messages[static_cast<std::size_t>(i)].second;
        ASSERT_EQ(message.size(), i % 3 == 0 ? 3000u : 40u) << i;
        EXPECT_EQ(message.front(), static_cast<std::uint8_t>(i)) << i;
    }
    EXPECT_GT(pair.host.stats().reliableRetransmits, 0u);
}

TEST(Session, HandshakeTimesOutAfterHellosToEveryCandidate) {
    UdpSocket silent;
    std::string error;
    ASSERT_TRUE(silent.open(0, error)) << error;
    Observer seen;
    Session viewer;
    SessionParams params = paramsFor(kRoleViewer, {local(silent.port())});
    params.handshakeTimeoutMs = 300;
    ASSERT_TRUE(viewer.start(params, seen.callbacks(), error)) << error;
    ASSERT_TRUE(eventually([&] { return viewer.state() == SessionState::closed; }));
    EXPECT_EQ(seen.lastReason(), "handshake timed out");

    int hellos = 0;
    std::vector<std::uint8_t> buffer(1500);
    Endpoint from;
    for (int n; (n = silent.receive(buffer, from, 0)) > 0;) {
        const PacketHeader header = readHeader(buffer.data());
        EXPECT_EQ(header.type, static_cast<std::uint8_t>(PacketType::Handshake));
        EXPECT_EQ(header.connId, params.connId);
        ++hellos;
    }
    // One at once, then one every 100 ms until the timeout.
    EXPECT_GE(hellos, 2);
}

}  // namespace
}  // namespace vel::stream
