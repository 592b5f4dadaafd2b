#include "stream/session.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>

#include "os/log.h"
#include "stream/record_bodies.h"
#include "os/thread_priority.h"

namespace vel::stream {

namespace {

constexpr std::int64_t kHelloInterval = 100000;
constexpr std::int64_t kPingInterval = 250000;
constexpr std::size_t kRoundDatagrams = 256;
constexpr std::size_t kSmallFragment = 256;
constexpr std::size_t kBulkLimit = 16;
constexpr std::size_t kAudioLimit = 16;
constexpr std::uint8_t kKeyframeRequest = 20;
constexpr std::int64_t kMaxSenderWait = 5000;
constexpr std::int64_t kMinSenderWait = 200;
constexpr std::int64_t kFeedbackInterval = 20000;
// Paced packets of one size that leave together in one system call.
constexpr std::size_t kMaxBatch = 32;
// While the path is congested, repairs would only deepen the queue they are stuck in.
constexpr std::uint32_t kNackQueuingLimit = 20000;

// Microseconds of the monotonic clock; positive, so an echoed clock of 0 means "none".
std::int64_t sessionClock() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

const char* stateName(SessionState state) {
    switch (state) {
        case SessionState::idle:
            return "idle";
        case SessionState::connecting:
            return "connecting";
        case SessionState::connected:
            return "connected";
        case SessionState::closed:
            return "closed";
    }
    return "unknown";
}

Session::~Session() {
    close(0);
}

bool Session::start(const SessionParams& params, SessionCallbacks callbacks, std::string& error) {
    if (state_.load() != SessionState::idle || receiver_.joinable()) {
        error = "session already started";
        return false;
    }
    params_ = params;
    callbacks_ = std::move(callbacks);
    const bool host = params_.role == kRoleHost;
    if (!openAeadKey(sendKey_, host ? params_.keys.hostToViewer : params_.keys.viewerToHost,
                     error) ||
        !openAeadKey(receiveKey_, host ? params_.keys.viewerToHost : params_.keys.hostToViewer,
                     error) ||
        !socket_.open(params_.localPort, error)) {
        return false;
    }
    const std::int64_t now = sessionClock();
    {
        const std::lock_guard lock(sendMutex_);
        pacer_ = std::make_unique<Pacer>(targetBitrate(), now);
    }
    if (params_.role == kRoleViewer) assembler_ = std::make_unique<FrameAssembler>();
    if (params_.role == kRoleHost) {
        const std::lock_guard lock(historyMutex_);
        frameSender_ = std::make_unique<FrameSender>();
    }
    lastFeedback_ = now;
    if (params_.emulation.active()) {
        const std::lock_guard lock(emulationMutex_);
        emulator_ = std::make_unique<NetworkEmulator>(params_.emulation);
    }
    handshakeStart_ = now;
    lastReceive_ = now;
    lastHello_ = now - kHelloInterval;
    lastPing_ = now;
    state_.store(SessionState::connecting);
    stop_.store(false);
    receiver_ = std::thread(&Session::receiveThread, this);
    sender_ = std::thread(&Session::senderThread, this);
    return true;
}

void Session::close(std::uint8_t reason) {
    const SessionState current = state_.load();
    if (current != SessionState::idle && current != SessionState::closed) {
        Endpoint to;
        if (peer(to)) {
            const std::array<std::uint8_t, 1> body = {reason};
            for (int i = 0; i < 3; ++i) {
                const PacketPtr packet = packetWith(PacketType::Data, RecordType::Close, body);
                transmit(*packet, to);
            }
        }
        setState(SessionState::closed, "closed locally");
    }
    stopAndJoin();
}

void Session::stopAndJoin() {
    stop_.store(true);
    sendWake_.notify_all();
    if (socket_.port() != 0) {
        // An empty datagram to our own port ends the receive thread's wait at once.
        Endpoint self;
        if (parseEndpoint("127.0.0.1", socket_.port(), self)) {
            (void)socket_.sendTo(self, std::span<const std::uint8_t>());
        }
    }
    const auto self = std::this_thread::get_id();
    if (receiver_.joinable() && receiver_.get_id() != self) receiver_.join();
    if (sender_.joinable() && sender_.get_id() != self) sender_.join();
}

// ---- State ----

void Session::setState(SessionState next, const std::string& reason) {
    SessionState old = state_.load();
    do {
        // closed is final: nothing leaves it.
        if (old == next || old == SessionState::closed) return;
    } while (!state_.compare_exchange_weak(old, next));
    Log(LogLevel::Info, "stream session %08X: %s -> %s (%s)", params_.connId, stateName(old),
        stateName(next), reason.c_str());
    if (callbacks_.state) callbacks_.state(next, reason);
}

void Session::stopFromInside() {
    stop_.store(true);
    sendWake_.notify_all();
}

bool Session::peer(Endpoint& out) const {
    const std::lock_guard lock(peerMutex_);
    out = peer_;
    return peer_.valid();
}

// ---- Receiving ----

void Session::receiveThread() {
    static_cast<void>(enterMmcss("Games"));  // best effort
    std::array<std::uint8_t, UdpSocket::kReceiveLimit> buffer{};
    while (!stop_.load()) {
        Endpoint from;
        int received = socket_.receive(buffer, from, 1);
        for (std::size_t count = 0; received > 0 && !stop_.load();) {
            processDatagram(std::span(buffer.data(), static_cast<std::size_t>(received)), from,
                            sessionClock());
            if (++count == kRoundDatagrams) break;
            received = socket_.receive(buffer, from, 0);
        }
        if (stop_.load()) break;
        if (received < 0) {
            setState(SessionState::closed, "socket error");
            stopFromInside();
            break;
        }
        sendAcks();
        runTimers(sessionClock());
    }
}

void Session::processDatagram(std::span<std::uint8_t> datagram, const Endpoint& from,
                              std::int64_t now) {
    if (datagram.size() < kPacketOverhead) return;
    const PacketHeader header = readHeader(datagram.data());
    if (header.type != static_cast<std::uint8_t>(PacketType::Handshake) &&
        header.type != static_cast<std::uint8_t>(PacketType::Data)) {
        return;
    }
    if (header.connId != params_.connId || !replay_.acceptable(header.number)) return;
    std::size_t payloadSize = 0;
    if (!open(receiveKey_, datagram, payloadSize)) return;

    const bool highest = replay_.mark(header.number);
    lastReceive_ = now;
    {
        const std::lock_guard lock(peerMutex_);
        if (!peer_.valid()) {
            peer_ = from;
            peerKnown_.store(true);
        } else if (highest && !(from == peer_)) {
            Log(LogLevel::Info, "stream session %08X: peer moved %s -> %s", params_.connId,
                toString(peer_).c_str(), toString(from).c_str());
            peer_ = from;
        }
    }
    {
        const std::lock_guard lock(statsMutex_);
        ++stats_.packetsReceived;
        stats_.bytesReceived += datagram.size();
        lastSource_ = from;
    }
    if (params_.role == kRoleViewer) {
        lossWindow_.mark(header.number, now);
        receiveRate_.add(datagram.size(), now);
    }
    handleRecords(datagram.subspan(kHeaderSize, payloadSize), from, now,
                  header.type == static_cast<std::uint8_t>(PacketType::Handshake));
}

void Session::handleRecords(std::span<const std::uint8_t> payload, const Endpoint& from,
                            std::int64_t now, bool handshakeOnly) {
    RecordReader reader(payload);
    Record record;
    while (reader.next(record) && state_.load() != SessionState::closed) {
        const auto type = static_cast<RecordType>(record.type);
        if (type == RecordType::Hello || type == RecordType::HelloReply) {
            handleHello(type, record.body, from, now);
            continue;
        }
        if (handshakeOnly) continue;
        switch (type) {
            case RecordType::Ping: {
                PingBody ping;
                if (!decodePing(record.body, ping)) break;
                std::array<std::uint8_t, kPingSize> body{};
                encodePing(ping, body.data());
                queueControl(packetWith(PacketType::Data, RecordType::Pong, body));
                break;
            }
            case RecordType::Pong: {
                PingBody pong;
                if (decodePing(record.body, pong)) rttSample(now, pong.clock);
                break;
            }
            case RecordType::Close:
                setState(SessionState::closed, "closed by peer");
                stopFromInside();
                return;
            case RecordType::Reliable:
                handleReliable(record.body);
                break;
            case RecordType::Ack: {
                AckBody ack;
                if (!decodeAck(record.body, ack) || ack.channel > 1) break;
                const std::lock_guard lock(reliableMutex_);
                reliableSenders_[ack.channel].onAck(ack.next, ack.bitmap);
                break;
            }
            case RecordType::VideoFragment:
                if (params_.role == kRoleViewer) handleVideoFragment(record.body, now);
                break;
            case RecordType::Feedback:
                if (params_.role == kRoleHost) handleFeedback(record.body, now);
                break;
            case RecordType::Nack:
                if (params_.role == kRoleHost) handleNack(record.body, now);
                break;
            case RecordType::Audio: {
                AudioBody audio;
                if (decodeAudio(record.body, audio) && callbacks_.audio) {
                    callbacks_.audio(audio.sequence, audio.timestamp, audio.codec, audio.data);
                }
                break;
            }
            default:
                // Unknown types are skipped by their length.
                break;
        }
    }
}

void Session::handleHello(RecordType type, std::span<const std::uint8_t> body, const Endpoint& from,
                          std::int64_t now) {
    HelloBody hello;
    if (!decodeHello(body, hello) || hello.version != kProtocolVersion ||
        hello.role == params_.role || hello.connId != params_.connId) {
        return;
    }
    if (type == RecordType::Hello) {
        HelloBody reply;
        reply.role = params_.role;
        reply.connId = params_.connId;
        reply.clock = hello.clock;
        std::array<std::uint8_t, kHelloSize> replyBody{};
        encodeHello(reply, replyBody.data());
        const PacketPtr packet =
            packetWith(PacketType::Handshake, RecordType::HelloReply, replyBody);
        transmit(*packet, from);
    } else {
        rttSample(now, hello.clock);
    }
    if (state_.load() == SessionState::connecting) {
        setState(SessionState::connected, "handshake with " + toString(from));
        flushReliable(now);
    }
}

void Session::handleReliable(std::span<const std::uint8_t> body) {
    ReliableBody reliable;
    if (!decodeReliable(body, reliable) || reliable.channel > 1) return;
    std::vector<std::vector<std::uint8_t>> complete;
    bool oversized = false;
    {
        const std::lock_guard lock(reliableMutex_);
        reliableReceivers_[reliable.channel].onFragment(
            reliable.sequence, reliable.fragment,
            [&](ReliableReceiver::Event event, std::vector<std::uint8_t>&& message) {
                if (event == ReliableReceiver::Event::Oversized) {
                    oversized = true;
                } else {
                    complete.push_back(std::move(message));
                }
            });
    }
    // Sinks run without the reliable lock, so they may send messages themselves.
    if (oversized) {
        Log(LogLevel::Warn, "stream session %08X: oversized message on channel %u dropped",
            params_.connId, static_cast<unsigned>(reliable.channel));
    }
    const auto channel = static_cast<Channel>(reliable.channel);
    for (std::vector<std::uint8_t>& message : complete) {
        if (params_.role == kRoleHost && channel == Channel::Control && !message.empty() &&
            message[0] == kKeyframeRequest && callbacks_.keyframeRequest) {
            callbacks_.keyframeRequest();
        }
        if (callbacks_.message) callbacks_.message(channel, std::move(message));
    }
}

void Session::handleVideoFragment(std::span<const std::uint8_t> body, std::int64_t now) {
    VideoFragmentHeader header;
    std::span<const std::uint8_t> data;
    if (!decodeVideoFragment(body, header, data)) return;
    delay_.onFragment(header.sendTime, (header.flags & kFragmentRetransmission) != 0, now);
    FrameShard shard;
    shard.frameId = header.frameId;
    shard.flags = header.flags;
    shard.codec = header.codec;
    shard.blockIndex = header.blockIndex;
    shard.blockCount = header.blockCount;
    shard.shardIndex = header.shardIndex;
    shard.dataShards = header.dataShards;
    shard.parityShards = header.parityShards;
    shard.frameSize = header.frameSize;
    shard.blockSize = header.blockSize;
    shard.shardSize = header.shardSize;
    shard.captureTimestamp = header.captureTimestamp;
    shard.encodeDuration = header.encodeDuration;
    shard.data = data;
    std::vector<AssembledFrame> ready;
    assembler_->add(shard, now, ready);
    deliverFrames(ready);
}

void Session::deliverFrames(std::vector<AssembledFrame>& frames) {
    if (frames.empty()) return;
    {
        const std::lock_guard lock(statsMutex_);
        stats_.framesDelivered = assembler_->counters().delivered;
        stats_.framesGivenUp = assembler_->counters().givenUp;
    }
    if (!callbacks_.frame) return;
    for (AssembledFrame& frame : frames) callbacks_.frame(std::move(frame));
}

void Session::runAssembly(std::int64_t now) {
    std::vector<NackRequest> nacks;
    std::vector<AssembledFrame> ready;
    assembler_->runTimers(now, smoothedRtt(), nacks, ready);
    {
        const std::lock_guard lock(statsMutex_);
        stats_.framesGivenUp = assembler_->counters().givenUp;
    }
    deliverFrames(ready);
    for (const NackRequest& nack : nacks) {
        for (std::size_t first = 0; first < nack.shards.size(); first += kMaxNackPairs) {
            const std::size_t count = std::min(kMaxNackPairs, nack.shards.size() - first);
            auto packet = std::make_unique<Packet>();
            RecordWriter writer = packet->writer();
            std::uint8_t* out = writer.begin(RecordType::Nack, kNackHeaderSize + 2 * count);
            if (out == nullptr) continue;
            encodeNackHeader(nack.frameId, static_cast<std::uint16_t>(count), out);
            for (std::size_t i = 0; i < count; ++i) {
                out[kNackHeaderSize + 2 * i] = nack.shards[first + i].first;
                out[kNackHeaderSize + 2 * i + 1] = nack.shards[first + i].second;
            }
            packet->payloadSize = writer.size();
            queueControl(std::move(packet));
        }
    }
}

void Session::sendFeedback(std::int64_t now) {
    const LossWindow::Judgement judged = lossWindow_.judge(now);
    const DelayEstimator::Report delay = delay_.report();
    FeedbackBody feedback;
    feedback.highestPacket = lossWindow_.highest();
    feedback.packetsReceived = judged.received;
    feedback.packetsJudged = judged.judged;
    feedback.receiveRate = receiveRate_.bitsPerSecond(now);
    feedback.queuingDelay = delay.queuingDelay;
    feedback.delayTrend = delay.trend;
    {
        const std::lock_guard lock(statsMutex_);
        feedback.pipeline = pipeline_;
    }
    std::array<std::uint8_t, kFeedbackSize> body{};
    encodeFeedback(feedback, body.data());
    queueControl(packetWith(PacketType::Data, RecordType::Feedback, body));
}

void Session::handleFeedback(std::span<const std::uint8_t> body, std::int64_t now) {
    FeedbackBody feedback;
    if (!decodeFeedback(body, feedback)) return;
    const std::int64_t rtt = smoothedRtt();
    std::uint64_t bitrate = 0;
    {
        const std::lock_guard lock(feedbackMutex_);
        rate_.onFeedback({feedback.packetsReceived, feedback.packetsJudged, feedback.receiveRate,
                          feedback.queuingDelay, feedback.delayTrend},
                         rtt, now);
        bitrate = rate_.targetBitrate();
    }
    {
        const std::lock_guard lock(sendMutex_);
        pacer_->setBitrate(bitrate);
    }
    if (callbacks_.feedback) callbacks_.feedback(feedback);
}

Session::PacketPtr Session::fragmentPacket(std::span<const std::uint8_t> body) {
    auto packet = std::make_unique<Packet>();
    RecordWriter writer = packet->writer();
    std::uint8_t* out = writer.begin(RecordType::VideoFragment, body.size());
    if (out == nullptr) return nullptr;
    std::memcpy(out, body.data(), body.size());
    packet->payloadSize = writer.size();
    packet->sendTimeOffset =
        static_cast<std::size_t>(out - packet->bytes.data()) + kVideoSendTimeOffset;
    return packet;
}

bool Session::sendVideoFrame(std::span<const std::uint8_t> frame, const VideoFrameInfo& info) {
    if (params_.role != kRoleHost || state_.load() != SessionState::connected || frame.empty()) {
        return false;
    }
    double ratio = 0;
    {
        const std::lock_guard lock(feedbackMutex_);
        ratio = fecRatio(rate_.smoothedLoss(), rate_.fecMin(), rate_.fecMax(), info.keyframe);
    }
    std::vector<PacketPtr> packets;
    {
        const std::lock_guard lock(historyMutex_);
        const bool sent = frameSender_->send(frame, info, ratio, [&](auto body) {
            if (PacketPtr packet = fragmentPacket(body)) packets.push_back(std::move(packet));
        });
        if (!sent) return false;
    }
    {
        const std::lock_guard lock(sendMutex_);
        for (PacketPtr& packet : packets) videoQueue_.push_back(std::move(packet));
    }
    sendWake_.notify_one();
    return true;
}

void Session::handleNack(std::span<const std::uint8_t> body, std::int64_t now) {
    NackBody nack;
    if (!decodeNack(body, nack)) return;
    std::uint64_t bitrate = 0;
    {
        const std::lock_guard lock(feedbackMutex_);
        if (rate_.phase() == RatePhase::Decrease && rate_.lastQueuingDelay() > kNackQueuingLimit) {
            return;
        }
        bitrate = rate_.targetBitrate();
    }
    std::vector<PacketPtr> packets;
    {
        const std::lock_guard lock(historyMutex_);
        frameSender_->repair(nack.frameId, nack.pairs, bitrate, now, [&](auto fragment) {
            if (PacketPtr packet = fragmentPacket(fragment)) packets.push_back(std::move(packet));
        });
    }
    if (packets.empty()) return;
    {
        const std::lock_guard lock(sendMutex_);
        // Repairs go ahead of new video, in the order they were asked for.
        for (auto it = packets.rbegin(); it != packets.rend(); ++it) {
            videoQueue_.push_front(std::move(*it));
        }
    }
    sendWake_.notify_one();
    const std::lock_guard lock(statsMutex_);
    stats_.videoRetransmits += packets.size();
}

std::int64_t Session::smoothedRtt() const {
    const std::lock_guard lock(reliableMutex_);
    return rtt_.smoothed();
}

void Session::rttSample(std::int64_t now, std::uint64_t echoed) {
    if (echoed == 0 || echoed > static_cast<std::uint64_t>(now)) return;
    const std::lock_guard lock(reliableMutex_);
    rtt_.sample(now - static_cast<std::int64_t>(echoed));
}

// ---- Timers ----

void Session::runTimers(std::int64_t now) {
    const SessionState state = state_.load();
    if (state == SessionState::connecting) {
        if (now - lastHello_ >= kHelloInterval) {
            sendHellos(now);
            lastHello_ = now;
        }
        if (now - handshakeStart_ > static_cast<std::int64_t>(params_.handshakeTimeoutMs) * 1000) {
            setState(SessionState::closed, "handshake timed out");
            stopFromInside();
        }
        return;
    }
    if (state != SessionState::connected) return;
    if (now - lastReceive_ > static_cast<std::int64_t>(params_.silenceTimeoutMs) * 1000) {
        setState(SessionState::closed, "peer went silent");
        stopFromInside();
        return;
    }
    if (now - lastPing_ >= kPingInterval) {
        lastPing_ = now;
        std::array<std::uint8_t, kPingSize> body{};
        encodePing({++pingCounter_, static_cast<std::uint64_t>(now)}, body.data());
        queueControl(packetWith(PacketType::Data, RecordType::Ping, body));
    }
    flushReliable(now);
    if (params_.role == kRoleViewer) {
        if (now - lastFeedback_ >= kFeedbackInterval) {
            lastFeedback_ = now;
            sendFeedback(now);
        }
        runAssembly(now);
    }
}

void Session::sendHellos(std::int64_t now) {
    HelloBody hello;
    hello.role = params_.role;
    hello.connId = params_.connId;
    hello.clock = static_cast<std::uint64_t>(now);
    std::array<std::uint8_t, kHelloSize> body{};
    encodeHello(hello, body.data());
    Endpoint known;
    const std::vector<Endpoint> targets =
        peer(known) ? std::vector<Endpoint>{known} : params_.candidates;
    for (const Endpoint& to : targets) {
        const PacketPtr packet = packetWith(PacketType::Handshake, RecordType::Hello, body);
        transmit(*packet, to);
    }
}

void Session::sendAcks() {
    PacketPtr packet;
    {
        const std::lock_guard lock(reliableMutex_);
        for (std::uint8_t channel = 0; channel < 2; ++channel) {
            ReliableReceiver& receiver = reliableReceivers_[channel];
            if (!receiver.ackPending()) continue;
            const auto [next, bitmap] = receiver.takeAck();
            std::array<std::uint8_t, kAckSize> body{};
            encodeAck({channel, next, bitmap}, body.data());
            if (!packet) packet = std::make_unique<Packet>();
            (void)appendRecord(*packet, RecordType::Ack, body);
        }
    }
    if (packet) queueControl(std::move(packet));
}

// ---- Reliable sending ----

bool Session::sendOnChannel(Channel channel, std::span<const std::uint8_t> data) {
    const SessionState state = state_.load();
    if (state == SessionState::idle || state == SessionState::closed) return false;
    {
        const std::lock_guard lock(reliableMutex_);
        if (!reliableSenders_[static_cast<std::size_t>(channel)].queueMessage(data)) return false;
    }
    if (state_.load() == SessionState::connected) flushReliable(sessionClock());
    return true;
}

void Session::flushReliable(std::int64_t now) {
    const std::lock_guard lock(reliableMutex_);
    const std::int64_t rto = rtt_.retransmissionTimeout();
    std::uint64_t retransmits = 0;
    PacketPtr control;
    std::vector<PacketPtr> ready;
    for (std::uint8_t channel = 0; channel < 2; ++channel) {
        reliableSenders_[channel].flush(now, rto, [&](const ReliableFragment& fragment) {
            const std::size_t bodySize = kReliableHeaderSize + fragment.bytes.size();
            Packet* target = nullptr;
            PacketPtr bulk;
            if (fragment.bytes.size() <= kSmallFragment) {
                if (control && control->writer().bodyRoom() < bodySize) {
                    ready.push_back(std::move(control));
                }
                if (!control) control = std::make_unique<Packet>();
                target = control.get();
            } else {
                const std::lock_guard sendLock(sendMutex_);
                if (bulkQueue_.size() >= kBulkLimit) return false;
                bulk = std::make_unique<Packet>();
                target = bulk.get();
            }
            RecordWriter writer = target->writer();
            std::uint8_t* out = writer.begin(RecordType::Reliable, bodySize);
            if (out == nullptr) return false;
            encodeReliableHeader(channel, fragment.sequence, out);
            std::memcpy(out + kReliableHeaderSize, fragment.bytes.data(), fragment.bytes.size());
            target->payloadSize += writer.size();
            if (fragment.sends > 0) ++retransmits;
            if (bulk) {
                const std::lock_guard sendLock(sendMutex_);
                bulkQueue_.push_back(std::move(bulk));
            }
            return true;
        });
    }
    if (control) ready.push_back(std::move(control));
    if (!ready.empty()) {
        const std::lock_guard sendLock(sendMutex_);
        for (PacketPtr& packet : ready) controlQueue_.push_back(std::move(packet));
    }
    sendWake_.notify_one();
    if (retransmits > 0) {
        const std::lock_guard statsLock(statsMutex_);
        stats_.reliableRetransmits += retransmits;
    }
}

bool Session::sendAudio(std::uint32_t sequence, std::uint64_t timestamp, std::uint8_t codec,
                        std::span<const std::uint8_t> data) {
    if (state_.load() != SessionState::connected) return false;
    auto packet = std::make_unique<Packet>();
    RecordWriter writer = packet->writer();
    std::uint8_t* out = writer.begin(RecordType::Audio, kAudioHeaderSize + data.size());
    if (out == nullptr) return false;
    encodeAudioHeader(sequence, timestamp, codec, out);
    if (!data.empty()) std::memcpy(out + kAudioHeaderSize, data.data(), data.size());
    packet->payloadSize = writer.size();
    {
        const std::lock_guard lock(sendMutex_);
        while (audioQueue_.size() >= kAudioLimit) audioQueue_.pop_front();
        audioQueue_.push_back(std::move(packet));
    }
    sendWake_.notify_one();
    return true;
}

// ---- Rate ----

void Session::applyRateLimits(std::uint64_t minimum, std::uint64_t maximum, std::uint64_t start,
                              double fecMin, double fecMax) {
    std::uint64_t bitrate = 0;
    {
        const std::lock_guard lock(feedbackMutex_);
        rate_.applyRateLimits(minimum, maximum, start, fecMin, fecMax);
        bitrate = rate_.targetBitrate();
    }
    const std::lock_guard lock(sendMutex_);
    if (pacer_) pacer_->setBitrate(bitrate);
}

std::uint64_t Session::targetBitrate() const {
    return rate_.targetBitrate();
}

void Session::reportPipeline(const std::array<std::uint32_t, 4>& values) {
    const std::lock_guard lock(statsMutex_);
    pipeline_ = values;
}

// ---- Sending ----

Session::PacketPtr Session::packetWith(PacketType type, RecordType record,
                                       std::span<const std::uint8_t> body) {
    auto packet = std::make_unique<Packet>();
    packet->type = type;
    (void)appendRecord(*packet, record, body);
    return packet;
}

bool Session::appendRecord(Packet& packet, RecordType record, std::span<const std::uint8_t> body) {
    RecordWriter writer = packet.writer();
    if (!writer.append(record, body)) return false;
    packet.payloadSize += writer.size();
    return true;
}

void Session::queueControl(PacketPtr packet) {
    {
        const std::lock_guard lock(sendMutex_);
        controlQueue_.push_back(std::move(packet));
    }
    sendWake_.notify_one();
}

std::size_t Session::prepare(Packet& packet) {
    writeHeader(
        {static_cast<std::uint8_t>(packet.type), params_.connId, nextPacketNumber_.fetch_add(1)},
        packet.bytes.data());
    if (packet.sendTimeOffset != 0) {
        storeLe32(packet.bytes.data() + packet.sendTimeOffset,
                  static_cast<std::uint32_t>(sessionClock()));
    }
    const std::size_t size = seal(sendKey_, packet.bytes, packet.payloadSize);
    if (size == 0) {
        const std::lock_guard lock(statsMutex_);
        ++stats_.sendFailures;
    }
    return size;
}

void Session::transmit(Packet& packet, const Endpoint& to) {
    const std::size_t size = prepare(packet);
    if (size == 0) return;
    const std::span<const std::uint8_t> datagram(packet.bytes.data(), size);
    {
        std::unique_lock lock(emulationMutex_);
        if (emulator_) {
            const auto due = emulator_->admit(size, sessionClock());
            if (due) delayed_.push(*due, Delayed{to, {datagram.begin(), datagram.end()}});
            lock.unlock();
            sendWake_.notify_one();
            const std::lock_guard statsLock(statsMutex_);
            ++stats_.packetsSent;
            stats_.bytesSent += size;
            return;
        }
    }
    sendDatagram(to, datagram);
}

void Session::sendBatch(std::vector<PacketPtr>& batch, const Endpoint& to) {
    std::array<std::span<const std::uint8_t>, kMaxBatch> datagrams;
    std::size_t count = 0;
    std::uint64_t bytes = 0;
    for (PacketPtr& packet : batch) {
        const std::size_t size = prepare(*packet);
        if (size == 0) continue;
        datagrams[count++] = std::span<const std::uint8_t>(packet->bytes.data(), size);
        bytes += size;
    }
    const std::size_t sent = socket_.sendSegments(to, std::span(datagrams.data(), count));
    const std::lock_guard lock(statsMutex_);
    if (sent == count) {
        stats_.packetsSent += count;
        stats_.bytesSent += bytes;
    } else {
        stats_.sendFailures += count - sent;
    }
}

void Session::sendDatagram(const Endpoint& to, std::span<const std::uint8_t> datagram) {
    const bool sent = socket_.sendTo(to, datagram);
    const std::lock_guard lock(statsMutex_);
    if (sent) {
        ++stats_.packetsSent;
        stats_.bytesSent += datagram.size();
    } else {
        ++stats_.sendFailures;
    }
}

void Session::sendDueEmulated(std::int64_t now) {
    for (;;) {
        std::optional<Delayed> packet;
        {
            const std::lock_guard lock(emulationMutex_);
            if (!emulator_) return;
            packet = delayed_.popDue(now);
        }
        if (!packet) return;
        if (!socket_.sendTo(packet->to, packet->datagram)) {
            const std::lock_guard lock(statsMutex_);
            ++stats_.sendFailures;
        }
    }
}

void Session::senderThread() {
    static_cast<void>(enterMmcss("Games"));  // best effort
    batch_.reserve(kMaxBatch);
    while (!stop_.load()) {
        std::int64_t now = sessionClock();
        sendDueEmulated(now);
        batch_.clear();
        std::int64_t wait = kMaxSenderWait;
        {
            std::unique_lock lock(sendMutex_);
            if (peerKnown_.load()) {
                if (!controlQueue_.empty()) {
                    batch_.push_back(std::move(controlQueue_.front()));
                    controlQueue_.pop_front();
                } else if (!audioQueue_.empty()) {
                    batch_.push_back(std::move(audioQueue_.front()));
                    audioQueue_.pop_front();
                } else {
                    std::deque<PacketPtr>& paced = !videoQueue_.empty() ? videoQueue_ : bulkQueue_;
                    // Video fragments of one block share a size; while the pacer allows, they
                    // leave together (the emulation needs them one at a time).
                    const std::size_t limit = params_.emulation.active() ? 1 : kMaxBatch;
                    while (!paced.empty() && batch_.size() < limit &&
                           (batch_.empty() ||
                            paced.front()->payloadSize == batch_.front()->payloadSize)) {
                        const std::int64_t pace = pacer_->acquire(paced.front()->payloadSize, now);
                        if (pace != 0) {
                            wait = std::min(wait, pace);
                            break;
                        }
                        batch_.push_back(std::move(paced.front()));
                        paced.pop_front();
                    }
                }
            }
            if (batch_.empty()) {
                {
                    const std::lock_guard emulationLock(emulationMutex_);
                    if (const auto due = delayed_.nextDue()) wait = std::min(wait, *due - now);
                }
                wait = std::max(wait, kMinSenderWait);
                sendWake_.wait_for(lock, std::chrono::microseconds(wait));
                continue;
            }
        }
        Endpoint to;
        if (!peer(to)) continue;
        if (batch_.size() == 1) {
            transmit(*batch_.front(), to);
        } else {
            sendBatch(batch_, to);
        }
    }
}

SessionStats Session::stats() const {
    SessionStats out;
    {
        const std::lock_guard lock(statsMutex_);
        out = stats_;
        out.lastSource = toString(lastSource_);
    }
    out.authFailures = receiveKey_.openFailures();
    out.smoothedRtt = smoothedRtt();
    const std::lock_guard lock(feedbackMutex_);
    out.loss = rate_.smoothedLoss();
    return out;
}

}  // namespace vel::stream
