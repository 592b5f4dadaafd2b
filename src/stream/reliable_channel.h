#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <span>
#include <vector>

namespace vel::stream {

constexpr std::size_t kReliablePieceBytes = 1100;
constexpr std::size_t kMaxReliableMessage = 1048576;
constexpr std::size_t kMaxHeldFragments = 1024;

// One fragment of a reliable message: flags byte (bit 0: more follow) and up to 1100 bytes.
struct ReliableFragment {
    std::uint32_t sequence = 0;
    std::vector<std::uint8_t> bytes;
    std::int64_t lastSend = 0;
    std::uint32_t sends = 0;
    bool acked = false;
};

// The sending half of one reliable channel. Not locked: the session holds its reliable lock.
class ReliableSender {
  public:
    // Splits a message into fragments with consecutive sequences; false for an empty message or
    // one above 1 MiB.
    [[nodiscard]] bool queueMessage(std::span<const std::uint8_t> message);

    // Calls write for every unacknowledged fragment that is due at `now`: never sent, or sent
    // at least min(rto x 2^min(sends - 1, 5), 500 ms) ago. write returns false to stop the
    // round (no room for it); a fragment it accepted counts as sent.
    void flush(std::int64_t now, std::int64_t rto,
               const std::function<bool(const ReliableFragment&)>& write);

    // Marks fragments acknowledged and drops those at the front that are.
    void onAck(std::uint32_t next, std::uint32_t bitmap);

    std::size_t pending() const { return queue_.size(); }

  private:
    std::uint32_t nextSequence_ = 0;
    std::deque<ReliableFragment> queue_;
};

// The receiving half of one reliable channel: ordering, acknowledgement state and reassembly.
class ReliableReceiver {
  public:
    enum class Event { Delivered, Oversized };
    using Sink = std::function<void(Event, std::vector<std::uint8_t>&& message)>;

    // One received fragment (flags byte first). Complete messages go to sink in order.
    void onFragment(std::uint32_t sequence, std::span<const std::uint8_t> fragment,
                    const Sink& sink);

    bool ackPending() const { return ackPending_; }
    // The Ack to send now (next expected, bitmap of held sequences); clears the pending flag.
    std::pair<std::uint32_t, std::uint32_t> takeAck();
    std::size_t held() const { return held_.size(); }

  private:
    void deliver(std::span<const std::uint8_t> fragment, const Sink& sink);

    std::uint32_t nextExpected_ = 0;
    std::map<std::uint32_t, std::vector<std::uint8_t>> held_;
    std::vector<std::uint8_t> message_;
    bool discarding_ = false;  // the rest of an oversized message is being skipped
    bool ackPending_ = false;
};

}  // namespace vel::stream
