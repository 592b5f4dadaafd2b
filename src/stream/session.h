#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "stream/delay_estimator.h"
#include "stream/endpoint.h"
#include "stream/frame_assembler.h"
#include "stream/frame_sender.h"
#include "stream/loss_window.h"
#include "stream/network_emulation.h"
#include "stream/pacer.h"
#include "stream/packet_header.h"
#include "stream/packet_protection.h"
#include "stream/rate_controller.h"
#include "stream/receive_rate.h"
#include "stream/record_bodies.h"
#include "stream/record_codec.h"
#include "stream/reliable_channel.h"
#include "stream/replay_window.h"
#include "stream/rtt_estimator.h"
#include "stream/stream_keys.h"
#include "stream/udp_socket.h"

namespace vel::stream {

enum class SessionState : std::uint8_t { idle = 0, connecting = 1, connected = 2, closed = 3 };
// Reliable ordered channels: the host's control messages travel on Control, the viewer's input
// on Input.
enum class Channel : std::uint8_t { Control = 0, Input = 1 };

constexpr std::uint8_t kRoleHost = 1;
constexpr std::uint8_t kRoleViewer = 2;

// "idle", "connecting", "connected", "closed".
const char* stateName(SessionState state);

struct SessionParams {
    std::uint8_t role = 0;  // kRoleHost or kRoleViewer
    std::uint32_t connId = 0;
    SessionKeys keys;
    std::uint16_t localPort = 0;       // 0: any
    std::vector<Endpoint> candidates;  // where Hellos go until the peer is known
    std::uint32_t handshakeTimeoutMs = 10000;
    std::uint32_t silenceTimeoutMs = 8000;
    NetworkEmulation emulation;  // testing only; inactive by default
};

// Called on the session's receive thread (state changes also on the closing caller's). None may
// join the session's threads, so none may destroy the session.
struct SessionCallbacks {
    std::function<void(AssembledFrame&&)> frame;  // viewer: each reassembled video frame
    std::function<void(Channel, std::vector<std::uint8_t>&&)> message;
    std::function<void(std::uint32_t sequence, std::uint64_t timestamp, std::uint8_t codec,
                       std::span<const std::uint8_t> data)>
        audio;
    std::function<void()> keyframeRequest;  // host: the viewer asked for a keyframe
    std::function<void(SessionState, const std::string& reason)> state;
    // Host: each Feedback report, after the rate controller has taken it.
    std::function<void(const FeedbackBody&)> feedback;
};

struct SessionStats {
    std::uint64_t packetsSent = 0;
    std::uint64_t bytesSent = 0;  // sealed sizes, payload + 29
    std::uint64_t packetsReceived = 0;
    std::uint64_t bytesReceived = 0;
    std::uint64_t authFailures = 0;
    std::uint64_t sendFailures = 0;
    std::uint64_t reliableRetransmits = 0;
    std::uint64_t videoRetransmits = 0;
    std::int64_t smoothedRtt = 0;       // microseconds; 100000 before the first sample
    double loss = 0;                    // host: the rate controller's smoothed loss
    std::uint64_t framesDelivered = 0;  // viewer
    std::uint64_t framesGivenUp = 0;    // viewer
    std::string lastSource;
};

// One end of a Velstream session over its own UDP socket: handshake, liveness, anti-replay,
// peer tracking, reliable channels and the priority send queues, with a receive thread and a
// sender thread.
class Session {
  public:
    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    // Closes with reason 0 and joins both threads.
    ~Session();

    // Opens keys and socket and starts both threads; "session already started" unless idle.
    [[nodiscard]] bool start(const SessionParams& params, SessionCallbacks callbacks,
                             std::string& error);
    // Sends Close three times when a peer is known, moves to closed ("closed locally") and
    // joins the threads (never the calling one).
    void close(std::uint8_t reason);

    // One reliable message on Channel::Control; false when empty, above 1 MiB, or the session is
    // idle or closed.
    bool sendMessage(std::span<const std::uint8_t> data) {
        return sendOnChannel(Channel::Control, data);
    }
    // The viewer's input messages travel on Channel::Input.
    bool sendOnChannel(Channel channel, std::span<const std::uint8_t> data);
    // One audio block in a packet of its own; the queue keeps the 16 freshest.
    bool sendAudio(std::uint32_t sequence, std::uint64_t timestamp, std::uint8_t codec,
                   std::span<const std::uint8_t> data);

    // Host: one encoded frame as FEC-protected VideoFragment packets on the paced video queue;
    // false when not connected, empty, or too large to send.
    bool sendVideoFrame(std::span<const std::uint8_t> frame, const VideoFrameInfo& info);

    void applyRateLimits(std::uint64_t minimum, std::uint64_t maximum, std::uint64_t start,
                         double fecMin, double fecMax);
    std::uint64_t targetBitrate() const;

    // Viewer: the four figures of its own pipeline that every Feedback carries to the host.
    void reportPipeline(const std::array<std::uint32_t, 4>& values);

    SessionState state() const { return state_.load(); }
    std::uint16_t localPort() const { return socket_.port(); }
    SessionStats stats() const;

  private:
    // A packet on its way out: one fixed buffer, header filled in when it leaves.
    struct Packet {
        PacketType type = PacketType::Data;
        std::size_t payloadSize = 0;
        std::size_t sendTimeOffset = 0;  // where a VideoFragment's send time goes; 0: none
        std::array<std::uint8_t, kMaxPacketSize> bytes{};

        RecordWriter writer() {
            return RecordWriter(
                std::span(bytes).subspan(kHeaderSize + payloadSize, kMaxPayloadSize - payloadSize));
        }
    };
    using PacketPtr = std::unique_ptr<Packet>;
    struct Delayed {
        Endpoint to;
        std::vector<std::uint8_t> datagram;
    };

    static PacketPtr packetWith(PacketType type, RecordType record,
                                std::span<const std::uint8_t> body);
    static bool appendRecord(Packet& packet, RecordType record, std::span<const std::uint8_t> body);

    void receiveThread();
    void senderThread();
    void processDatagram(std::span<std::uint8_t> datagram, const Endpoint& from, std::int64_t now);
    void handleRecords(std::span<const std::uint8_t> payload, const Endpoint& from,
                       std::int64_t now, bool handshakeOnly);
    void handleHello(RecordType type, std::span<const std::uint8_t> body, const Endpoint& from,
                     std::int64_t now);
    void handleReliable(std::span<const std::uint8_t> body);
    void handleVideoFragment(std::span<const std::uint8_t> body, std::int64_t now);
    void handleFeedback(std::span<const std::uint8_t> body, std::int64_t now);
    void handleNack(std::span<const std::uint8_t> body, std::int64_t now);
    static PacketPtr fragmentPacket(std::span<const std::uint8_t> body);
    void sendFeedback(std::int64_t now);
    void runAssembly(std::int64_t now);
    void deliverFrames(std::vector<AssembledFrame>& frames);
    std::int64_t smoothedRtt() const;
    void runTimers(std::int64_t now);
    void flushReliable(std::int64_t now);
    void sendAcks();
    void sendHellos(std::int64_t now);

    void setState(SessionState next, const std::string& reason);
    void stopFromInside();
    void queueControl(PacketPtr packet);
    void transmit(Packet& packet, const Endpoint& to);
    // Header, send-time stamp and seal; the sealed size, 0 when refused (counted as failed).
    std::size_t prepare(Packet& packet);
    void sendBatch(std::vector<PacketPtr>& batch, const Endpoint& to);
    void sendDatagram(const Endpoint& to, std::span<const std::uint8_t> datagram);
    void sendDueEmulated(std::int64_t now);
    bool peer(Endpoint& out) const;
    void rttSample(std::int64_t now, std::uint64_t echoed);
    void stopAndJoin();

    SessionParams params_;
    SessionCallbacks callbacks_;
    UdpSocket socket_;
    AeadKey sendKey_;
    AeadKey receiveKey_;
    std::atomic<SessionState> state_{SessionState::idle};
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> nextPacketNumber_{1};
    std::thread receiver_;
    std::thread sender_;

    // Receive thread only.
    ReplayWindow replay_;
    std::int64_t handshakeStart_ = 0;
    std::int64_t lastReceive_ = 0;
    std::int64_t lastHello_ = 0;
    std::int64_t lastPing_ = 0;
    std::uint32_t pingCounter_ = 0;
    // Viewer's receive side, receive thread only.
    LossWindow lossWindow_;
    ReceiveRate receiveRate_;
    DelayEstimator delay_;
    std::unique_ptr<FrameAssembler> assembler_;
    std::int64_t lastFeedback_ = 0;

    mutable std::mutex peerMutex_;
    Endpoint peer_;  // guarded by peerMutex_; invalid until the first authenticated datagram
    std::atomic<bool> peerKnown_{false};

    mutable std::mutex reliableMutex_;               // taken before sendMutex_ when both are needed
    std::array<ReliableSender, 2> reliableSenders_;  // guarded by reliableMutex_
    std::array<ReliableReceiver, 2> reliableReceivers_;  // guarded by reliableMutex_
    RttEstimator rtt_;                                   // guarded by reliableMutex_

    std::mutex sendMutex_;
    std::condition_variable sendWake_;
    std::deque<PacketPtr> controlQueue_;  // guarded by sendMutex_
    std::deque<PacketPtr> audioQueue_;    // guarded by sendMutex_
    std::deque<PacketPtr> videoQueue_;    // guarded by sendMutex_
    std::deque<PacketPtr> bulkQueue_;     // guarded by sendMutex_
    std::vector<PacketPtr> batch_;        // sender thread only
    std::unique_ptr<Pacer> pacer_;        // guarded by sendMutex_

    mutable std::mutex feedbackMutex_;
    RateController rate_;  // guarded by feedbackMutex_ (targetBitrate() is atomic)

    std::mutex historyMutex_;
    std::unique_ptr<FrameSender> frameSender_;  // guarded by historyMutex_; host only

    std::mutex emulationMutex_;
    std::unique_ptr<NetworkEmulator> emulator_;  // guarded by emulationMutex_; null in production
    DelayQueue<Delayed> delayed_;                // guarded by emulationMutex_

    mutable std::mutex statsMutex_;
    SessionStats stats_;   // guarded by statsMutex_ (authFailures and RTT are read elsewhere)
    Endpoint lastSource_;  // guarded by statsMutex_
    std::array<std::uint32_t, 4> pipeline_{};  // guarded by statsMutex_
};

}  // namespace vel::stream
