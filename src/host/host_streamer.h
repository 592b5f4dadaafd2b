#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/automatic_balance.h"
#include "host/host_options.h"
#include "host/stream_profile.h"
#include "host/viewer_messages.h"
#include "media/adpcm.h"
#include "media/audio_capture.h"
#include "media/audio_playback.h"
#include "stream/session.h"

namespace vel::host {

class DisplayModeAdapter;
class InputInjector;
class ScreenCapture;
class VideoEncoder;
struct CapturedFrame;
struct EncodedFrame;

struct HostStats {
    std::uint64_t framesSent = 0;
    std::uint64_t framesSkipped = 0;
    std::uint64_t inputsInjected = 0;  // input messages accepted
    std::uint64_t voicePackets = 0;    // blocks of the viewer's microphone queued for playback
    std::string endReason;
    stream::SessionStats session;
};

// The figures of the development commands' status line, refreshed once a second.
struct HostStatus {
    bool running = false;  // false until the pipeline has started
    std::string captureMethod;
    StreamProfile profile;
    std::string encoderName;
    bool hardware = false;
    bool gpuPath = false;
    bool automatic = true;
    double bitrateMbps = 0;  // sent over the last second
    double lossPercent = 0;
    double rttMs = 0;
    double captureMs = 0;
    double convertMs = 0;
    double encodeMs = 0;
    double viewerDecodeMs = 0;
    double viewerEndToEndMs = 0;
};

// One host end of a stream: the session, and behind it capture, conversion, encoding, audio, the
// viewer's input and requests. Used once: start, then stop.
class HostStreamer {
  public:
    HostStreamer();
    ~HostStreamer();
    HostStreamer(const HostStreamer&) = delete;
    HostStreamer& operator=(const HostStreamer&) = delete;

    // Starts the session and the video thread, which waits for the handshake.
    [[nodiscard]] bool start(const HostOptions& options, std::string& error);
    // True once the session has ended.
    bool finished() const { return finished_.load(); }
    HostStats stats() const;
    HostStatus status() const;
    std::uint16_t localPort() const { return session_.localPort(); }
    // Closes the session ("closed locally") and joins every thread.
    void stop();

    // Sets the encoder, the session's rate bounds and the frame sink up for a profile.
    [[nodiscard]] bool applyProfile(const StreamProfile& profile, std::string& error);

  private:
    struct Second;  // the video thread's per-second accumulators

    void videoThread();
    [[nodiscard]] bool startPipeline(std::string& error);
    void runPipeline();
    [[nodiscard]] bool buildEncoder(const StreamProfile& profile, std::uint32_t bitrate,
                                    std::string& error);
    void onEncodedFrame(EncodedFrame&& frame);
    void onMicrophone(std::uint32_t sequence, std::uint8_t codec,
                      std::span<const std::uint8_t> data);
    void onState(stream::SessionState state, const std::string& reason);
    void startAudioCapture();
    void startMicrophonePlayback();
    void runHelper(std::function<void()> task);
    void sendPointer(const CapturedFrame& frame);
    // A copy of the frame's image, which the capture reuses on its next call.
    void keepImage(const CapturedFrame& frame);
    // The kept image scaled to the profile's size where it differs, converted into nv12_.
    void convertImage(const StreamProfile& profile);
    void everySecond(Second& second, std::int64_t now);
    ProfileScreen screenFacts() const;
    ProfileCaps caps() const;
    void pickUpViewerRequests();

    HostOptions options_;
    stream::Session session_;
    std::unique_ptr<InputInjector> injector_;
    std::unique_ptr<ViewerMessages> messages_;
    std::unique_ptr<DisplayModeAdapter> display_;
    std::unique_ptr<AutomaticBalance> balance_;

    std::atomic<bool> finished_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> keyframeRequested_{false};
    std::atomic<bool> keyframeInFlight_{false};
    std::thread video_;

    // Video thread only.
    std::unique_ptr<ScreenCapture> capture_;
    std::unique_ptr<VideoEncoder> encoder_;
    std::vector<std::uint8_t> image_;  // the last captured image, BGRA
    int imageWidth_ = 0;
    int imageHeight_ = 0;
    std::vector<std::uint8_t> scaled_;
    std::vector<std::uint8_t> nv12_;  // the last image converted at the profile's size
    bool hevcEncodable_ = false;
    std::uint32_t encoderBitrate_ = 0;
    std::uint64_t seenQuality_ = 0;
    std::uint64_t seenScreen_ = 0;
    int baseBias_ = 50;
    std::uint32_t lastCursorShape_ = 0;
    stream::PointerPosition lastPointer_;
    bool pointerSent_ = false;

    // Audio: the capture thread and the viewer's microphone.
    std::unique_ptr<media::AudioCaptureContext> audioCapture_;
    std::thread audioCaptureThread_;
    media::AdpcmEncoderState adpcm_;   // audio capture thread only
    std::uint32_t audioSequence_ = 0;  // audio capture thread only
    media::AudioPlaybackContext microphone_;
    std::atomic<bool> microphoneWanted_{false};
    bool microphoneOpened_ = false;  // video thread only
    std::thread microphoneThread_;

    std::mutex helperMutex_;
    std::vector<std::thread> helpers_;  // guarded by helperMutex_

    struct FileCloser {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    // The encoder's thread against the video thread. Never held while an encoder is destroyed:
    // its thread may be waiting for it.
    std::mutex sinkMutex_;
    std::unique_ptr<std::FILE, FileCloser> record_;  // written under sinkMutex_
    std::uint64_t encodeSumUs_ = 0;                   // guarded by sinkMutex_
    std::uint64_t encodeCount_ = 0;                   // guarded by sinkMutex_
    std::uint32_t codec_ = 1;                         // guarded by sinkMutex_

    mutable std::mutex stateMutex_;
    StreamProfile profile_;  // guarded by stateMutex_
    bool haveProfile_ = false;  // guarded by stateMutex_
    bool automatic_ = true;     // guarded by stateMutex_
    HostStatus status_;         // guarded by stateMutex_
    std::string endReason_;     // guarded by stateMutex_
    std::uint64_t framesSent_ = 0;     // guarded by stateMutex_
    std::uint64_t framesSkipped_ = 0;  // guarded by stateMutex_
    std::uint64_t voicePackets_ = 0;   // guarded by stateMutex_
    stream::FeedbackBody feedback_;    // guarded by stateMutex_
};

}  // namespace vel::host
