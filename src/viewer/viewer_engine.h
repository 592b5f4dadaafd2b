#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "media/audio_system.h"
#include "stream/control_messages.h"
#include "stream/session.h"
#include "viewer/frame_gate.h"
#include "viewer/host_audio.h"
#include "viewer/picture.h"
#include "viewer/video_pipeline.h"

namespace vel::viewer {

struct ViewerOptions {
    stream::SessionParams session;  // the role is set to viewer
    stream::ViewerScreen screen{1920, 1080, 60, 0};  // sent to the host when the session starts
    PictureFormat format = PictureFormat::Nv12;
    int decodeMode = 0;  // kDecodeSoftwareOnly, or hardware allowed
    bool audio = true;
    std::string audioDevice;  // empty: the default sink; "none": measured, not played
    media::AudioSystem* audioSystem = nullptr;  // null: PulseAudio
    // Called on the engine's decode thread with every picture, in order. It may keep the pointer;
    // the engine does not touch the picture again.
    std::function<void(const std::shared_ptr<const ViewerPicture>&)> onPicture;
};

struct ViewerStats {
    stream::SessionStats session;
    std::uint64_t framesReceived = 0;  // reassembled frames handed over by the session
    std::uint64_t framesDecoded = 0;   // pictures out of the decoder
    std::uint64_t framesSkipped = 0;   // not decoded while waiting for a keyframe
    std::uint64_t framesOverrun = 0;   // dropped because decoding fell behind
    std::uint64_t decodeFailures = 0;
    std::uint64_t keyframeRequests = 0;
    double decodeMs = 0;  // mean over the last second
    std::string decoder;  // empty before the first frame
    std::optional<stream::HostStatistics> host;  // the host's last statistics message
    HostAudioStats audio;
    std::string endReason;  // empty while the session lives
};

// The viewer end of a stream, independent of any window: runs a session in the viewer role,
// decodes its frames on a thread of its own, answers the host (its screen at the start, decoder
// statistics every second, keyframe requests when a picture cannot be decoded), plays the host's
// audio, keeps the host's statistics and pointer, and sends input.
class ViewerEngine {
  public:
    ViewerEngine() = default;
    ~ViewerEngine();
    ViewerEngine(const ViewerEngine&) = delete;
    ViewerEngine& operator=(const ViewerEngine&) = delete;

    [[nodiscard]] bool start(const ViewerOptions& options, std::string& error);
    // Closes the session ("closed locally") and joins every thread. Idempotent.
    void stop();

    stream::SessionState state() const { return session_.state(); }
    // True once the session has ended, whoever ended it.
    bool finished() const { return session_.state() == stream::SessionState::closed; }

    std::shared_ptr<const ViewerPicture> latestPicture() const;
    ViewerStats stats() const;
    std::optional<stream::PointerPosition> pointer() const;
    std::shared_ptr<const stream::PointerShape> pointerShape() const;

    // Input, on Channel::Input; false when the session cannot take it. Keys are set-1 scan codes.
    bool sendKey(std::uint16_t scanCode, bool down, bool extended);
    bool sendPointerMove(std::int16_t dx, std::int16_t dy);
    // x and y in 0..65535 across the host's captured screen.
    bool sendPointerAbsolute(std::uint16_t x, std::uint16_t y);
    bool sendButton(std::uint8_t button, bool down);
    bool sendWheel(std::int16_t delta, bool horizontal);
    bool sendReleaseAll();

    // Control requests on Channel::Control.
    bool requestKeyframe();
    bool requestQuality(const stream::QualityRequest& request);
    bool requestSecureAttention();
    bool requestDisplayMode(const stream::DisplayModeRequest& request);

  private:
    struct Incoming {
        stream::AssembledFrame frame;
        std::int64_t receivedAt;
    };

    void onFrame(stream::AssembledFrame&& frame);
    void onMessage(stream::Channel channel, std::vector<std::uint8_t>&& message);
    void onState(stream::SessionState state, const std::string& reason);
    void decodeThread();
    void handle(Incoming& incoming);
    void reportSecond(std::int64_t now);
    bool sendInput(const stream::Message& message);

    stream::Session session_;
    std::unique_ptr<HostAudio> audio_;
    std::function<void(const std::shared_ptr<const ViewerPicture>&)> onPicture_;
    std::thread decoder_;
    std::atomic<bool> stopping_{false};

    std::mutex queueMutex_;
    std::condition_variable queueWake_;
    std::deque<Incoming> queue_;  // guarded by queueMutex_
    bool overrun_ = false;        // guarded by queueMutex_: frames were dropped since the last pop

    // Decode thread only.
    std::unique_ptr<VideoPipeline> pipeline_;
    FrameGate gate_;
    std::int64_t secondStart_ = 0;
    std::uint64_t secondFrames_ = 0;
    std::uint64_t secondDropped_ = 0;
    std::int64_t secondDecodeUs_ = 0;
    std::int64_t secondPresentUs_ = 0;
    std::int64_t secondEndToEndUs_ = 0;
    std::uint64_t lastSkippedOrFailed_ = 0;

    mutable std::mutex stateMutex_;
    ViewerStats counters_;                         // guarded by stateMutex_ (session, audio: read live)
    std::shared_ptr<const ViewerPicture> latest_;  // guarded by stateMutex_
    std::optional<stream::PointerPosition> pointer_;        // guarded by stateMutex_
    std::shared_ptr<const stream::PointerShape> shape_;     // guarded by stateMutex_
};

}  // namespace vel::viewer
