#pragma once

#include <cstdint>

namespace vel::viewer {

// Decides which reassembled frames go to the decoder and when to ask the host for a keyframe.
// A frame that predicts from one that never arrived (a gap in the frame ids, a frame given up by
// the transport or dropped here) or from a picture the decoder refused would only paint damage,
// so from such a loss until the next keyframe nothing is decoded; the host is asked for a keyframe
// at once and again while the wait lasts, kRepeatUs after the first request and twice as long
// after each further one, up to kMaxRepeatUs: on a starved link a keyframe can take longer than
// kRepeatUs to arrive, and asking again would only put another one in its way. Reads no clock.
class FrameGate {
  public:
    static constexpr std::int64_t kRepeatUs = 500000;
    static constexpr std::int64_t kMaxRepeatUs = 2000000;

    struct Verdict {
        bool decode = false;
        bool requestKeyframe = false;
    };

    // One frame in transport order.
    Verdict onFrame(std::uint32_t frameId, bool keyframe, std::int64_t now);
    // The decoder refused the last frame handed to it.
    Verdict onDecodeFailure(std::int64_t now);

    bool waiting() const { return waiting_; }
    std::uint64_t skipped() const { return skipped_; }
    std::uint64_t requests() const { return requests_; }

  private:
    Verdict startWaiting(std::int64_t now);
    bool requestDue(std::int64_t now);

    bool started_ = false;
    bool waiting_ = true;  // nothing can be decoded before the first keyframe
    std::uint32_t lastId_ = 0;
    bool requested_ = false;
    std::int64_t repeatUs_ = kRepeatUs;  // until the next request of this wait
    std::int64_t lastRequest_ = 0;
    std::uint64_t skipped_ = 0;
    std::uint64_t requests_ = 0;
};

}  // namespace vel::viewer
