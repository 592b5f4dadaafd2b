#include "stream/reliable_channel.h"

#include <algorithm>
#include <utility>

namespace vel::stream {

namespace {

constexpr std::int64_t kMaxRetransmitWait = 500000;

// Sequence order that survives the 32-bit wrap.
bool before(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(a - b) < 0;
}

}  // namespace

bool ReliableSender::queueMessage(std::span<const std::uint8_t> message) {
    if (message.empty() || message.size() > kMaxReliableMessage) return false;
    for (std::size_t offset = 0; offset < message.size(); offset += kReliablePieceBytes) {
        const std::size_t piece = std::min(kReliablePieceBytes, message.size() - offset);
        ReliableFragment fragment;
        fragment.sequence = nextSequence_++;
        fragment.bytes.reserve(1 + piece);
        fragment.bytes.push_back(offset + piece < message.size() ? 1 : 0);
        fragment.bytes.insert(fragment.bytes.end(), message.begin() + offset,
                              message.begin() + offset + piece);
        queue_.push_back(std::move(fragment));
    }
    return true;
}

void ReliableSender::flush(std::int64_t now, std::int64_t rto,
                           const std::function<bool(const ReliableFragment&)>& write) {
    for (ReliableFragment& fragment : queue_) {
        if (fragment.acked) continue;
        if (fragment.sends > 0) {
            const std::uint32_t doublings = std::min<std::uint32_t>(fragment.sends - 1, 5);
            const std::int64_t wait = std::min(rto << doublings, kMaxRetransmitWait);
            if (now - fragment.lastSend < wait) continue;
        }
        if (!write(fragment)) return;
        ++fragment.sends;
        fragment.lastSend = now;
    }
}

void ReliableSender::onAck(std::uint32_t next, std::uint32_t bitmap) {
    for (ReliableFragment& fragment : queue_) {
        if (before(fragment.sequence, next)) {
            fragment.acked = true;
            continue;
        }
        const std::uint32_t beyond = fragment.sequence - next;  // 0 is next itself
        if (beyond >= 1 && beyond <= 32 && (bitmap >> (beyond - 1) & 1) != 0) fragment.acked = true;
    }
    while (!queue_.empty() && queue_.front().acked) queue_.pop_front();
}

void ReliableReceiver::onFragment(std::uint32_t sequence, std::span<const std::uint8_t> fragment,
                                  const Sink& sink) {
    ackPending_ = true;
    if (fragment.empty() || before(sequence, nextExpected_)) return;
    if (sequence != nextExpected_) {
        if (held_.size() < kMaxHeldFragments || held_.contains(sequence)) {
            held_.try_emplace(sequence, fragment.begin(), fragment.end());
        }
        return;
    }
    deliver(fragment, sink);
    ++nextExpected_;
    for (auto it = held_.find(nextExpected_); it != held_.end(); it = held_.find(nextExpected_)) {
        const std::vector<std::uint8_t> next = std::move(it->second);
        held_.erase(it);
        deliver(next, sink);
        ++nextExpected_;
    }
}

void ReliableReceiver::deliver(std::span<const std::uint8_t> fragment, const Sink& sink) {
    const bool last = (fragment[0] & 1) == 0;
    const auto data = fragment.subspan(1);
    if (!discarding_ && message_.size() + data.size() > kMaxReliableMessage) {
        message_.clear();
        message_.shrink_to_fit();
        discarding_ = true;
        sink(Event::Oversized, {});
    }
    if (!discarding_) message_.insert(message_.end(), data.begin(), data.end());
    if (!last) return;
    if (discarding_) {
        discarding_ = false;
        return;
    }
    sink(Event::Delivered, std::exchange(message_, {}));
}

std::pair<std::uint32_t, std::uint32_t> ReliableReceiver::takeAck() {
    ackPending_ = false;
    std::uint32_t bitmap = 0;
    for (const auto& [sequence, bytes] : held_) {
        const std::uint32_t beyond = sequence - nextExpected_;
        if (beyond >= 1 && beyond <= 32) bitmap |= 1u << (beyond - 1);
    }
    return {nextExpected_, bitmap};
}

}  // namespace vel::stream
