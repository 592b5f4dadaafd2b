#include "viewer/frame_gate.h"

#include <algorithm>

namespace vel::viewer {

FrameGate::Verdict FrameGate::onFrame(std::uint32_t frameId, bool keyframe, std::int64_t now) {
    const bool gap = started_ && frameId != lastId_ + 1;
    started_ = true;
    lastId_ = frameId;
    if (keyframe) {
        waiting_ = false;
        requested_ = false;
        return {.decode = true, .requestKeyframe = false};
    }
    if (gap && !waiting_) return startWaiting(now);
    if (!waiting_) return {.decode = true, .requestKeyframe = false};
    ++skipped_;
    return {.decode = false, .requestKeyframe = requestDue(now)};
}

FrameGate::Verdict FrameGate::onDecodeFailure(std::int64_t now) {
    // A keyframe the decoder refused is damaged too; waiting for the next one is all that helps.
    waiting_ = false;
    Verdict verdict = startWaiting(now);
    verdict.decode = false;
    return verdict;
}

FrameGate::Verdict FrameGate::startWaiting(std::int64_t now) {
    waiting_ = true;
    requested_ = false;
    ++skipped_;
    return {.decode = false, .requestKeyframe = requestDue(now)};
}

bool FrameGate::requestDue(std::int64_t now) {
    if (requested_ && now - lastRequest_ < repeatUs_) return false;
    repeatUs_ = requested_ ? std::min(2 * repeatUs_, kMaxRepeatUs) : kRepeatUs;
    requested_ = true;
    lastRequest_ = now;
    ++requests_;
    return true;
}

}  // namespace vel::viewer
