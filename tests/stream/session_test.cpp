#include "stream/session.h"

#include <gtest/gtest.h>

#include <atomic>
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
    std::string reason;  // of the last state change
    std::vector<std::pair<Channel, std::vector<std::uint8_t>>> messages;
    std::atomic<int> keyframeRequests{0};

    SessionCallbacks callbacks() {
        SessionCallbacks c;
        c.state = [this](SessionState, const std::string& why) {
            const std::lock_guard lock(mutex);
            reason = why;
        };
        c.message = [this](Channel channel, std::vector<std::uint8_t>&& data) {
            const std::lock_guard lock(mutex);
            messages.emplace_back(channel, std::move(data));
        };
        c.keyframeRequest = [this] { ++keyframeRequests; };
        return c;
    }
    std::string lastReason() {
        const std::lock_guard lock(mutex);
        return reason;
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

TEST(Session, HandshakeTimesOutAfterRepeatedHellos) {
    UdpSocket silent;
    std::string error;
    ASSERT_TRUE(silent.open(0, error)) << error;
    Observer seen;
    Session viewer;
    SessionParams params = paramsFor(kRoleViewer, {local(silent.port())});
    params.handshakeTimeoutMs = 300;
    ASSERT_TRUE(viewer.start(params, seen.callbacks(), error)) << error;
    EXPECT_TRUE(eventually([&] { return seen.lastReason() == "handshake timed out"; }));
    EXPECT_EQ(viewer.state(), SessionState::closed);

    // One hello at once, then one every 100 ms until the timeout.
    int hellos = 0;
    std::vector<std::uint8_t> buffer(1500);
    for (Endpoint from; silent.receive(buffer, from, 0) > 0;) ++hellos;
    EXPECT_GE(hellos, 2);
}

// A viewer driven by hand: its own socket and keys, every packet built record by record.
class RawViewer {
  public:
    explicit RawViewer(std::uint16_t hostPort) : host_(local(hostPort)) {
        const SessionTicket ticket = devTicket();
        connId_ = ticket.connId;
        std::string error;
        EXPECT_TRUE(socket_.open(0, error)) << error;
        EXPECT_TRUE(openAeadKey(sendKey_, ticket.keys.viewerToHost, error)) << error;
        EXPECT_TRUE(openAeadKey(receiveKey_, ticket.keys.hostToViewer, error)) << error;
    }

    std::vector<std::uint8_t> packet(PacketType type, std::uint64_t number, RecordType record,
                                     const std::vector<std::uint8_t>& body) {
        std::vector<std::uint8_t> bytes(kMaxPacketSize);
        writeHeader({static_cast<std::uint8_t>(type), connId_, number}, bytes.data());
        RecordWriter writer{std::span(bytes).subspan(kHeaderSize, kMaxPayloadSize)};
        EXPECT_TRUE(writer.append(record, body));
        bytes.resize(seal(sendKey_, bytes, writer.size()));
        return bytes;
    }
    void send(const std::vector<std::uint8_t>& datagram) {
        ASSERT_TRUE(socket_.sendTo(host_, datagram));
    }
    void hello(std::uint64_t number, HelloBody body, std::size_t size = kHelloSize) {
        std::vector<std::uint8_t> bytes(kHelloSize);
        encodeHello(body, bytes.data());
        bytes.resize(size);
        send(packet(PacketType::Handshake, number, RecordType::Hello, bytes));
    }
    void record(std::uint64_t number, RecordType type, const std::vector<std::uint8_t>& body) {
        send(packet(PacketType::Data, number, type, body));
    }
    void ping(std::uint64_t number, std::uint32_t counter) {
        std::vector<std::uint8_t> body(kPingSize);
        encodePing({counter, 1}, body.data());
        send(packet(PacketType::Data, number, RecordType::Ping, body));
    }
    // The records of the next datagram of type `type` from the session; false after 5 s.
    bool next(RecordType type, std::vector<std::uint8_t>& body, int waitMs = 5000) {
        std::vector<std::uint8_t> buffer(UdpSocket::kReceiveLimit);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        do {
            Endpoint from;
            const int n = socket_.receive(buffer, from, 10);
            std::size_t size = 0;
            if (n <= 0 ||
                !open(receiveKey_, std::span(buffer.data(), static_cast<std::size_t>(n)), size))
                continue;
            RecordReader reader(std::span(buffer.data() + kHeaderSize, size));
            for (Record record; reader.next(record);) {
                if (record.type != static_cast<std::uint8_t>(type)) continue;
                body.assign(record.body.begin(), record.body.end());
                return true;
            }
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    }
    // Pong counters up to and including `last`.
    std::vector<std::uint32_t> pongsUntil(std::uint32_t last) {
        std::vector<std::uint32_t> counters;
        std::vector<std::uint8_t> body;
        while (next(RecordType::Pong, body)) {
            PingBody pong;
            EXPECT_TRUE(decodePing(body, pong));
            counters.push_back(pong.counter);
            if (pong.counter == last) break;
        }
        return counters;
    }
    HelloBody validHello() const {
        HelloBody body;
        body.role = kRoleViewer;
        body.connId = connId_;
        body.clock = 12345;
        return body;
    }

  private:
    Endpoint host_;
    std::uint32_t connId_ = 0;
    UdpSocket socket_;
    AeadKey sendKey_;
    AeadKey receiveKey_;
};

// A host session; what it sends crosses the emulated path.
struct Host {
    Observer seen;
    Session session;
    explicit Host(std::uint32_t silenceTimeoutMs = 8000, const NetworkEmulation& path = {}) {
        SessionParams params = paramsFor(kRoleHost);
        params.silenceTimeoutMs = silenceTimeoutMs;
        params.emulation = path;
        std::string error;
        EXPECT_TRUE(session.start(params, seen.callbacks(), error)) << error;
    }
};

// Messages of one and of several fragments arrive whole and in order through loss and jitter
// (the stream integration test carries input through loss); a keyframe request on the control
// channel reaches the host's callback.
TEST(Session, CarriesReliableMessagesThroughLoss) {
    NetworkEmulation path;
    path.loss = 0.2;
    path.jitterMs = 30;
    Host host(8000, path);
    Observer viewerSeen;
    Session viewer;
    std::string error;
    const std::uint16_t port = host.session.localPort();
    ASSERT_TRUE(viewer.start(paramsFor(kRoleViewer, {local(port)}), viewerSeen.callbacks(), error))
        << error;
    const std::string reason = "handshake with 127.0.0.1:" + std::to_string(port);
    ASSERT_TRUE(eventually([&] { return viewerSeen.lastReason() == reason; }));
    std::vector<std::vector<std::uint8_t>> sent;
    for (std::size_t i = 0; i < 40; ++i) {
        std::vector<std::uint8_t> message(i % 3 == 0 ? 3000 : 1 + i);
        for (std::size_t j = 0; j < message.size(); ++j)
            message[j] = static_cast<std::uint8_t>(j ^ i);
        ASSERT_TRUE(host.session.sendMessage(message));
        sent.push_back(std::move(message));
    }
    ASSERT_TRUE(viewer.sendMessage(std::vector<std::uint8_t>{20}));
    ASSERT_TRUE(eventually([&] { return viewerSeen.messageCount() == sent.size(); }));
    ASSERT_TRUE(eventually([&] { return host.seen.keyframeRequests == 1; }));
    EXPECT_GT(host.session.stats().reliableRetransmits, 0u);
    const std::lock_guard viewerLock(viewerSeen.mutex);
    for (std::size_t i = 0; i < sent.size(); ++i)
        EXPECT_EQ(viewerSeen.messages[i].second, sent[i]) << i;
}

TEST(Session, HostIgnoresInvalidHellosAndAnswersAValidOne) {
    Host host;
    RawViewer viewer(host.session.localPort());
    HelloBody sameRole = viewer.validHello();
    sameRole.role = kRoleHost;
    HelloBody otherVersion = viewer.validHello();
    otherVersion.version = 2;
    HelloBody otherConnection = viewer.validHello();
    otherConnection.connId ^= 1;
    viewer.hello(1, sameRole);
    viewer.hello(2, otherVersion);
    viewer.hello(3, otherConnection);
    viewer.hello(4, viewer.validHello(), kHelloSize - 1);
    // A forged packet is counted and changes nothing.
    std::vector<std::uint8_t> forged = viewer.packet(PacketType::Handshake, 5, RecordType::Hello,
                                                     std::vector<std::uint8_t>(kHelloSize));
    forged.back() ^= 1;
    viewer.send(forged);
    ASSERT_TRUE(eventually([&] { return host.session.stats().packetsReceived == 4; }));
    ASSERT_TRUE(eventually([&] { return host.session.stats().authFailures == 1; }));
    EXPECT_EQ(host.session.state(), SessionState::connecting);

    viewer.hello(6, viewer.validHello());
    std::vector<std::uint8_t> body;
    ASSERT_TRUE(viewer.next(RecordType::HelloReply, body));
    HelloBody reply;
    ASSERT_TRUE(decodeHello(body, reply));
    EXPECT_EQ(reply.role, kRoleHost);
    EXPECT_EQ(reply.clock, 12345u);
    EXPECT_TRUE(eventually([&] { return host.session.state() == SessionState::connected; }));
}

TEST(Session, ReplaysAndPacketsMoreThan1023BehindAreIgnored) {
    Host host;
    RawViewer viewer(host.session.localPort());
    viewer.hello(1, viewer.validHello());
    viewer.ping(2000, 1);
    viewer.ping(2000, 1);  // sealed alike: the same datagram again
    viewer.ping(2000 - 1024, 2);
    viewer.ping(2000 - 1023, 3);
    viewer.ping(2001, 4);
    EXPECT_EQ(viewer.pongsUntil(4), (std::vector<std::uint32_t>{1, 3, 4}));
    EXPECT_EQ(host.session.stats().packetsReceived, 4u);
}

TEST(Session, PeerMovesOnlyForAHigherPacketNumber) {
    Host host;
    RawViewer before(host.session.localPort());
    RawViewer after(host.session.localPort());
    before.hello(1, before.validHello());
    ASSERT_TRUE(eventually([&] { return host.session.state() == SessionState::connected; }));
    after.ping(5, 1);   // higher: the peer moves here
    before.ping(3, 2);  // older: processed, but the peer stays
    after.ping(6, 3);
    EXPECT_EQ(after.pongsUntil(3), (std::vector<std::uint32_t>{1, 2, 3}));
    std::vector<std::uint8_t> body;
    EXPECT_FALSE(before.next(RecordType::Pong, body, 0));
}

std::vector<std::uint8_t> feedbackBody(std::uint32_t queuingDelay, std::int32_t trend) {
    std::vector<std::uint8_t> body(kFeedbackSize);
    encodeFeedback({.queuingDelay = queuingDelay, .delayTrend = trend}, body.data());
    return body;
}

// Repairs would only deepen a growing queue: while congested a NACK is ignored.
TEST(Session, HostRepairsNackedFragmentsUnlessCongested) {
    Host host;
    RawViewer viewer(host.session.localPort());
    viewer.hello(1, viewer.validHello());
    ASSERT_TRUE(eventually([&] { return host.session.state() == SessionState::connected; }));
    const std::uint64_t initial = host.session.targetBitrate();
    viewer.record(2, RecordType::Feedback, feedbackBody(30000, 5000));
    ASSERT_TRUE(eventually([&] { return host.session.targetBitrate() < initial; }));

    const std::vector<std::uint8_t> frame(1130, 0x77);
    ASSERT_TRUE(host.session.sendVideoFrame(frame, VideoFrameInfo{}));
    std::vector<std::uint8_t> nack(kNackHeaderSize + 2);
    encodeNackHeader(0, 1, nack.data());  // frame 0, block 0, shard 0
    // The Ping after the NACK marks when it was handled.
    viewer.record(3, RecordType::Nack, nack);
    viewer.ping(4, 1);
    EXPECT_EQ(viewer.pongsUntil(1), std::vector<std::uint32_t>{1});
    EXPECT_EQ(host.session.stats().videoRetransmits, 0u);

    viewer.record(5, RecordType::Feedback, feedbackBody(0, 0));
    viewer.record(6, RecordType::Nack, nack);
    std::vector<std::uint8_t> body;
    VideoFragmentHeader header;
    std::span<const std::uint8_t> shard;
    do {
        ASSERT_TRUE(viewer.next(RecordType::VideoFragment, body));
        ASSERT_TRUE(decodeVideoFragment(body, header, shard));
    } while ((header.flags & kFragmentRetransmission) == 0);
    EXPECT_EQ(std::vector<std::uint8_t>(shard.begin(), shard.end()), frame);
    // Counted once the repair is queued, which may be after it went out.
    EXPECT_TRUE(eventually([&] { return host.session.stats().videoRetransmits == 1; }));
}

TEST(Session, CloseSendsThreeCloseRecordsWithTheReason) {
    Host host;
    RawViewer viewer(host.session.localPort());
    viewer.hello(1, viewer.validHello());
    ASSERT_TRUE(eventually([&] { return host.session.state() == SessionState::connected; }));
    host.session.close(7);
    EXPECT_EQ(host.seen.lastReason(), "closed locally");
    std::vector<std::uint8_t> body;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(viewer.next(RecordType::Close, body)) << i;
        EXPECT_EQ(body, std::vector<std::uint8_t>{7});
    }
    EXPECT_FALSE(viewer.next(RecordType::Close, body, 50));
}

TEST(Session, ConnectedHostClosesWhenThePeerGoesSilent) {
    Host host(300);
    RawViewer viewer(host.session.localPort());
    viewer.hello(1, viewer.validHello());
    EXPECT_TRUE(eventually([&] { return host.seen.lastReason() == "peer went silent"; }));
    EXPECT_EQ(host.session.state(), SessionState::closed);
}

}  // namespace
}  // namespace vel::stream
