#include "viewer/viewer_engine.h"

#include <chrono>

#include "core/time.h"
#include "os/log.h"

namespace vel::viewer {
namespace {

// Frames waiting for the decoder beyond this (half a second at 60 fps) mean it has fallen behind:
// the backlog is dropped and the stream restarts at the next keyframe rather than lag further.
constexpr std::size_t kMaxQueued = 30;
constexpr std::int64_t kSecondUs = 1000000;
constexpr auto kIdleWait = std::chrono::milliseconds(100);

}  // namespace

ViewerEngine::~ViewerEngine() {
    stop();
}

bool ViewerEngine::start(const ViewerOptions& options, std::string& error) {
    if (decoder_.joinable() || session_.state() != stream::SessionState::idle) {
        error = "the viewer engine was already started";
        return false;
    }
    onPicture_ = options.onPicture;
    pipeline_ = std::make_unique<VideoPipeline>(options.decodeMode, options.format);
    if (options.audio) {
        audio_ = std::make_unique<HostAudio>(
            options.audioSystem ? *options.audioSystem : media::pulseAudioSystem(),
            options.audioDevice);
    }
    stream::SessionParams params = options.session;
    params.role = stream::kRoleViewer;
    stream::SessionCallbacks callbacks;
    callbacks.frame = [this](stream::AssembledFrame&& frame) { onFrame(std::move(frame)); };
    callbacks.message = [this](stream::Channel channel, std::vector<std::uint8_t>&& message) {
        onMessage(channel, std::move(message));
    };
    if (audio_) {
        callbacks.audio = [this](std::uint32_t sequence, std::uint64_t, std::uint8_t codec,
                                 std::span<const std::uint8_t> data) {
            audio_->push(sequence, codec, data);
        };
    }
    callbacks.state = [this](stream::SessionState state, const std::string& reason) {
        onState(state, reason);
    };
    if (!session_.start(params, std::move(callbacks), error)) return false;
    // Queued now, it leaves with the flush that follows the handshake.
    static_cast<void>(session_.sendMessage(stream::encodeViewerScreen(options.screen)));
    secondStart_ = MonotonicMicros();
    decoder_ = std::thread([this] { decodeThread(); });
    return true;
}

void ViewerEngine::stop() {
    session_.close(0);
    stopping_ = true;
    queueWake_.notify_all();
    if (decoder_.joinable()) decoder_.join();
    if (audio_) {
        // The last figures outlive the playback they describe.
        HostAudioStats last = audio_->stats();
        audio_.reset();
        const std::lock_guard lock(stateMutex_);
        counters_.audio = std::move(last);
    }
}

void ViewerEngine::onFrame(stream::AssembledFrame&& frame) {
    const std::int64_t now = MonotonicMicros();
    {
        const std::lock_guard lock(queueMutex_);
        if (queue_.size() >= kMaxQueued) {
            const std::lock_guard counters(stateMutex_);
            counters_.framesOverrun += queue_.size() + 1;
            queue_.clear();
            return;
        }
        queue_.push_back({std::move(frame), now});
    }
    {
        const std::lock_guard lock(stateMutex_);
        ++counters_.framesReceived;
    }
    queueWake_.notify_one();
}

void ViewerEngine::onMessage(stream::Channel channel, std::vector<std::uint8_t>&& message) {
    if (channel != stream::Channel::Control) return;
    const auto id = stream::messageId(message);
    if (!id) return;
    if (*id == stream::kMsgHostStatistics) {
        if (auto host = stream::decodeHostStatistics(message)) {
            const std::lock_guard lock(stateMutex_);
            counters_.host = *host;
        }
    } else if (*id == stream::kMsgPointerPosition) {
        if (auto position = stream::decodePointerPosition(message)) {
            const std::lock_guard lock(stateMutex_);
            pointer_ = *position;
        }
    } else if (*id == stream::kMsgPointerShape) {
        if (auto shape = stream::decodePointerShape(message)) {
            auto shared = std::make_shared<const stream::PointerShape>(std::move(*shape));
            const std::lock_guard lock(stateMutex_);
            shape_ = std::move(shared);
        }
    }
}

void ViewerEngine::onState(stream::SessionState state, const std::string& reason) {
    if (state != stream::SessionState::closed) return;
    {
        const std::lock_guard lock(stateMutex_);
        counters_.endReason = reason;
    }
    queueWake_.notify_all();
}

void ViewerEngine::decodeThread() {
    while (!stopping_) {
        std::optional<Incoming> item;
        {
            std::unique_lock lock(queueMutex_);
            queueWake_.wait_for(lock, kIdleWait, [this] { return stopping_ || !queue_.empty(); });
            if (!queue_.empty()) {
                item = std::move(queue_.front());
                queue_.pop_front();
            }
        }
        if (item) handle(*item);
        const std::int64_t now = MonotonicMicros();
        if (now - secondStart_ >= kSecondUs) reportSecond(now);
    }
}

void ViewerEngine::handle(Incoming& incoming) {
    const stream::AssembledFrame& frame = incoming.frame;
    const FrameGate::Verdict verdict =
        gate_.onFrame(frame.frameId, (frame.flags & 1) != 0, incoming.receivedAt);
    if (verdict.requestKeyframe) static_cast<void>(requestKeyframe());
    if (!verdict.decode) {
        const std::lock_guard lock(stateMutex_);
        counters_.framesSkipped = gate_.skipped();
        counters_.keyframeRequests = gate_.requests();
        return;
    }
    std::vector<ViewerPicture> pictures;
    const std::int64_t before = MonotonicMicros();
    if (!pipeline_->decode(frame, incoming.receivedAt, pictures)) {
        const FrameGate::Verdict failure = gate_.onDecodeFailure(MonotonicMicros());
        if (failure.requestKeyframe) static_cast<void>(requestKeyframe());
        const std::lock_guard lock(stateMutex_);
        ++counters_.decodeFailures;
        counters_.framesSkipped = gate_.skipped();
        counters_.keyframeRequests = gate_.requests();
        return;
    }
    const std::int64_t rttHalf = session_.stats().smoothedRtt / 2;
    for (ViewerPicture& picture : pictures) {
        secondDecodeUs_ += picture.decodedAt - before;
        auto shared = std::make_shared<const ViewerPicture>(std::move(picture));
        {
            const std::lock_guard lock(stateMutex_);
            latest_ = shared;
            ++counters_.framesDecoded;
            if (counters_.decoder.empty()) counters_.decoder = pipeline_->decoderName();
        }
        if (onPicture_) onPicture_(shared);
        const std::int64_t shown = MonotonicMicros();
        secondPresentUs_ += shown - shared->decodedAt;
        // The host's clock is not ours, so the whole road is estimated from its parts: the
        // host's encode time, half the round trip, and everything here up to the hand-over.
        secondEndToEndUs_ += shared->hostEncodeUs + rttHalf + (shown - shared->receivedAt);
        ++secondFrames_;
    }
}

void ViewerEngine::reportSecond(std::int64_t now) {
    std::uint64_t dropped = 0;
    std::optional<HostAudioStats> audio;
    if (audio_) audio = audio_->stats();
    const std::uint64_t givenUp = session_.stats().framesGivenUp;
    stream::DecoderStatistics report;
    {
        const std::lock_guard lock(stateMutex_);
        const std::uint64_t lost = counters_.framesSkipped + counters_.framesOverrun +
                                   counters_.decodeFailures + givenUp;
        dropped = lost - lastSkippedOrFailed_;
        lastSkippedOrFailed_ = lost;
        const std::uint64_t n = secondFrames_;
        report.decodeUs = n ? static_cast<std::uint32_t>(secondDecodeUs_ / n) : 0;
        report.presentUs = n ? static_cast<std::uint32_t>(secondPresentUs_ / n) : 0;
        report.endToEndUs = n ? static_cast<std::uint32_t>(secondEndToEndUs_ / n) : 0;
        report.framesDecoded = static_cast<std::uint32_t>(n);
        report.framesDropped = static_cast<std::uint32_t>(dropped);
        report.audioBufferMs = audio ? static_cast<std::uint32_t>(audio->queuedBlocks * 10) : 0;
        if (latest_) {
            report.width = static_cast<std::uint16_t>(latest_->width);
            report.height = static_cast<std::uint16_t>(latest_->height);
        }
        counters_.decodeMs = report.decodeUs / 1000.0;
    }
    secondStart_ = now;
    secondFrames_ = 0;
    secondDecodeUs_ = secondPresentUs_ = secondEndToEndUs_ = 0;
    session_.reportPipeline(
        {report.decodeUs, report.endToEndUs, report.framesDecoded, report.framesDropped});
    if (session_.state() == stream::SessionState::connected) {
        static_cast<void>(session_.sendMessage(stream::encodeDecoderStatistics(report)));
    }
}

std::shared_ptr<const ViewerPicture> ViewerEngine::latestPicture() const {
    const std::lock_guard lock(stateMutex_);
    return latest_;
}

ViewerStats ViewerEngine::stats() const {
    ViewerStats out;
    {
        const std::lock_guard lock(stateMutex_);
        out = counters_;
    }
    out.session = session_.stats();
    if (audio_) out.audio = audio_->stats();
    return out;
}

std::optional<stream::PointerPosition> ViewerEngine::pointer() const {
    const std::lock_guard lock(stateMutex_);
    return pointer_;
}

std::shared_ptr<const stream::PointerShape> ViewerEngine::pointerShape() const {
    const std::lock_guard lock(stateMutex_);
    return shape_;
}

bool ViewerEngine::sendInput(const stream::Message& message) {
    return session_.sendOnChannel(stream::Channel::Input, message);
}

bool ViewerEngine::sendKey(std::uint16_t scanCode, bool down, bool extended) {
    const auto flags = static_cast<std::uint8_t>((down ? 1 : 0) | (extended ? 2 : 0));
    return sendInput(stream::encodeKeyEvent({scanCode, flags}));
}

bool ViewerEngine::sendPointerMove(std::int16_t dx, std::int16_t dy) {
    return sendInput(stream::encodePointerMove({dx, dy}));
}

bool ViewerEngine::sendPointerAbsolute(std::uint16_t x, std::uint16_t y) {
    return sendInput(stream::encodePointerAbsolute({x, y}));
}

bool ViewerEngine::sendButton(std::uint8_t button, bool down) {
    return sendInput(stream::encodeMouseButton({button, down}));
}

bool ViewerEngine::sendWheel(std::int16_t delta, bool horizontal) {
    return sendInput(stream::encodeWheel({delta, horizontal}));
}

bool ViewerEngine::sendReleaseAll() {
    return sendInput(stream::encodeReleaseAll());
}

bool ViewerEngine::requestKeyframe() {
    return session_.sendMessage(stream::encodeKeyframeRequest());
}

bool ViewerEngine::requestQuality(const stream::QualityRequest& request) {
    return session_.sendMessage(stream::encodeQualityRequest(request));
}

bool ViewerEngine::requestSecureAttention() {
    return session_.sendMessage(stream::encodeSecureAttentionRequest());
}

bool ViewerEngine::requestDisplayMode(const stream::DisplayModeRequest& request) {
    return session_.sendMessage(stream::encodeDisplayModeRequest(request));
}

}  // namespace vel::viewer
