#include "host/host_streamer.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "host/capture_factory.h"
#include "host/display_mode.h"
#include "host/encoder_selection.h"
#include "host/gpu_converter.h"
#include "host/input_injector.h"
#include "host/pixel_convert.h"
#include "host/screen_capture.h"
#include "host/secure_attention.h"
#include "media/audio_block.h"
#include "os/log.h"
#include "os/processor_load.h"
#include "os/thread_priority.h"

namespace vel::host {

using namespace std::chrono_literals;
using stream::SessionState;

namespace {

constexpr std::int64_t kSecondUs = 1'000'000;
constexpr std::int64_t kFirstFrameWaitUs = 3'000'000;
// An event-driven capture gives up waiting this long before the frame is due.
constexpr std::int64_t kCaptureMarginUs = 1500;

const char* codecName(std::uint32_t codec) {
    return codec == 2 ? "HEVC" : "H.264";
}

double mean(std::uint64_t sum, std::uint64_t count) {
    return count == 0 ? 0.0 : static_cast<double>(sum) / static_cast<double>(count);
}

std::uint32_t saturate32(double value) {
    return value <= 0 ? 0 : value >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(value);
}

}  // namespace

// What the video thread adds up between two statistics messages.
struct HostStreamer::Second {
    std::int64_t start = 0;
    std::uint64_t captureSumUs = 0, captureCount = 0;
    std::uint64_t convertSumUs = 0, convertCount = 0;
    std::uint64_t framesSentAtStart = 0;
    std::uint64_t skippedAtStart = 0;
    std::uint64_t bytesSentAtStart = 0;
    ProcessorLoad load;
};

HostStreamer::HostStreamer() = default;

HostStreamer::~HostStreamer() {
    stop();
}

bool HostStreamer::start(const HostOptions& options, std::string& error) {
    options_ = options;
    baseBias_ = std::clamp(options.bias, 0, 100);
    {
        std::lock_guard lock(stateMutex_);
        automatic_ = options.automatic;
        status_.automatic = options.automatic;
    }
    balance_ = std::make_unique<AutomaticBalance>(*options.clock);

    if (options.injectInput) {
        std::string why;
        std::unique_ptr<InputBackend> backend = openXTestInput(why);
        if (backend)
            injector_ = std::make_unique<InputInjector>(std::move(backend));
        else
            Log(LogLevel::Warn, "input is not injected: %s", why.c_str());
    }
    display_ = std::make_unique<DisplayModeAdapter>(newXRandrDisplay());
    ViewerMessages::Actions actions;
    actions.secureAttention = [this] {
        runHelper([this] { sendSecureAttention(*injector_); });
    };
    actions.displayMode = [this](const stream::DisplayModeRequest& request) {
        runHelper([this, request] { display_->apply(request.width, request.height, request.apply); });
    };
    messages_ = std::make_unique<ViewerMessages>(injector_.get(), options.injectInput,
                                                 std::move(actions));

    if (!options.recordFile.empty()) {
        record_.reset(std::fopen(options.recordFile.c_str(), "wb"));
        if (!record_)
            Log(LogLevel::Warn, "cannot open recording file %s", options.recordFile.c_str());
    }

    stream::SessionParams params;
    params.role = options.role;
    params.connId = options.connId;
    params.keys = options.keys;
    params.localPort = options.localPort;
    params.candidates = options.candidates;
    params.handshakeTimeoutMs = options.handshakeTimeoutMs;
    params.silenceTimeoutMs = options.silenceTimeoutMs;
    params.emulation = options.emulation;

    stream::SessionCallbacks callbacks;
    callbacks.message = [this](stream::Channel channel, std::vector<std::uint8_t>&& message) {
        messages_->handle(channel, message);
    };
    callbacks.keyframeRequest = [this] { keyframeRequested_ = true; };
    callbacks.audio = [this](std::uint32_t sequence, std::uint64_t, std::uint8_t codec,
                             std::span<const std::uint8_t> data) {
        onMicrophone(sequence, codec, data);
    };
    callbacks.state = [this](SessionState state, const std::string& reason) {
        onState(state, reason);
    };
    callbacks.feedback = [this](const stream::FeedbackBody& body) {
        std::lock_guard lock(stateMutex_);
        feedback_ = body;
    };
    if (!session_.start(params, std::move(callbacks), error)) return false;
    video_ = std::thread([this] { videoThread(); });
    return true;
}

void HostStreamer::onState(SessionState state, const std::string& reason) {
    if (state != SessionState::closed) return;
    {
        std::lock_guard lock(stateMutex_);
        endReason_ = reason;
    }
    finished_ = true;
}

void HostStreamer::stop() {
    if (stopping_.exchange(true)) return;
    session_.close(0);
    if (video_.joinable()) video_.join();
    std::vector<std::thread> helpers;
    {
        std::lock_guard lock(helperMutex_);
        helpers.swap(helpers_);
    }
    for (std::thread& helper : helpers) helper.join();
    if (audioCaptureThread_.joinable()) {
        audioCapture_->stop = true;
        audioCaptureThread_.join();
    }
    if (microphoneThread_.joinable()) {
        microphone_.stop = true;
        microphoneThread_.join();
    }
    // The viewer is gone: nothing it held stays pressed, the screen gets its mode back.
    if (injector_) injector_->releaseAll();
    if (display_) display_->restore();
    encoder_.reset();
    std::lock_guard lock(sinkMutex_);
    record_.reset();
}

void HostStreamer::runHelper(std::function<void()> task) {
    std::lock_guard lock(helperMutex_);
    if (stopping_) return;
    helpers_.emplace_back(std::move(task));
}

HostStats HostStreamer::stats() const {
    HostStats s;
    {
        std::lock_guard lock(stateMutex_);
        s.framesSent = framesSent_;
        s.framesSkipped = framesSkipped_;
        s.voicePackets = voicePackets_;
        s.endReason = endReason_;
    }
    if (messages_) s.inputsInjected = messages_->inputs();
    s.session = session_.stats();
    return s;
}

HostStatus HostStreamer::status() const {
    std::lock_guard lock(stateMutex_);
    return status_;
}

void HostStreamer::onMicrophone(std::uint32_t sequence, std::uint8_t codec,
                                std::span<const std::uint8_t> data) {
    if (options_.microphoneOutDevice == "none") return;
    media::DecodedAudio decoded;
    media::AudioBlock block;
    if (!media::decodeAudioBlock(codec, data.data(), data.size(), decoded) ||
        !media::toPlayableBlock(decoded, block))
        return;
    microphone_.jitter.push(sequence, block);
    microphoneWanted_ = true;
    std::lock_guard lock(stateMutex_);
    ++voicePackets_;
}

void HostStreamer::startMicrophonePlayback() {
    microphoneOpened_ = true;
    microphone_.deviceId = options_.microphoneOutDevice;
    microphoneThread_ = std::thread([this] { media::audioPlaybackThread(microphone_); });
    if (!microphone_.startup.waitFor(3s)) {
        Log(LogLevel::Warn, "audio playback did not start");
    } else if (!microphone_.startupError.empty()) {
        Log(LogLevel::Warn, "viewer microphone cannot be played: %s",
            microphone_.startupError.c_str());
    } else {
        Log(LogLevel::Info, "viewer microphone is played on %s",
            microphone_.deviceId.empty() ? "the default playback device"
                                         : microphone_.deviceId.c_str());
    }
}

void HostStreamer::startAudioCapture() {
    audioCapture_ = std::make_unique<media::AudioCaptureContext>();
    audioCapture_->role = media::AudioRole::Loopback;
    audioCapture_->onBlock = [this](const std::int16_t* samples, std::size_t frames,
                                    std::int64_t timestampUs) {
        const std::vector<std::uint8_t> block = media::encodeAdpcmBlock(samples, frames, adpcm_);
        session_.sendAudio(audioSequence_++, static_cast<std::uint64_t>(timestampUs),
                           media::kAudioCodecAdpcm, block);
    };
    audioCaptureThread_ = std::thread([this] { media::audioCaptureThread(*audioCapture_); });
    if (!audioCapture_->startup.waitFor(3s)) {
        Log(LogLevel::Warn, "audio capture did not start");
    } else if (!audioCapture_->startupError.empty()) {
        Log(LogLevel::Warn, "audio not streamed: %s", audioCapture_->startupError.c_str());
    } else {
        Log(LogLevel::Info, "audio: streaming %s", audioCapture_->deviceName.c_str());
    }
}

ProfileScreen HostStreamer::screenFacts() const {
    ProfileScreen screen;
    const Rect rect = capture_->desktopRect();
    screen.captureWidth = static_cast<std::uint32_t>(std::max(rect.width(), 2));
    screen.captureHeight = static_cast<std::uint32_t>(std::max(rect.height(), 2));
    screen.hevcEncodable = hevcEncodable_;
    const ViewerReport report = messages_->report();
    if (report.screenReceived) {
        screen.viewerWidth = report.screen.width;
        screen.viewerHeight = report.screen.height;
        screen.refresh = report.screen.refresh;
        screen.viewerDecodesHevc = (report.screen.flags & stream::kScreenDecodesHevc) != 0;
        screen.nativeRequested = (report.screen.flags & stream::kScreenWantsNative) != 0;
    }
    return screen;
}

ProfileCaps HostStreamer::caps() const {
    ProfileCaps caps{options_.maxFps, options_.maxBitrate};
    const ViewerReport report = messages_->report();
    if (report.qualityGeneration > 0) {
        // The viewer may narrow the host's caps, never widen them.
        const std::uint32_t fps = report.quality.maxFps;
        const std::uint64_t bitrate = std::uint64_t{report.quality.maxKbps} * 1000;
        if (fps > 0) caps.maxFps = caps.maxFps == 0 ? fps : std::min(caps.maxFps, fps);
        if (bitrate > 0)
            caps.maxBitrate = caps.maxBitrate == 0 ? bitrate : std::min(caps.maxBitrate, bitrate);
    }
    return caps;
}

bool HostStreamer::buildEncoder(const StreamProfile& profile, std::uint32_t bitrate,
                                std::string& error) {
    EncoderConfig config;
    config.width = profile.width;
    config.height = profile.height;
    config.fps = profile.fps;
    config.bitrate = bitrate;
    config.codec = profile.codec == 2 ? VideoCodec::Hevc : VideoCodec::H264;
    config.speed = static_cast<std::int32_t>(profile.tier);
    config.backend = options_.encoder;
    config.allowHardware = options_.allowHardware && options_.encoder != EncoderBackend::MfSw;
    // Hardware first where it is allowed; software only when no hardware encoder fits.
    config.hardwareOnly = config.allowHardware && config.backend == EncoderBackend::Auto;

    // The old encoder's thread ends before the new one sends.
    encoder_.reset();
    auto sink = [this](EncodedFrame&& frame) { onEncodedFrame(std::move(frame)); };
    std::unique_ptr<VideoEncoder> encoder;
    for (;;) {
        std::string reason;
        encoder = createVideoEncoder(config, reason, sink);
        if (encoder) break;
        if (config.codec == VideoCodec::Hevc) {
            Log(LogLevel::Info, "HEVC encoder unavailable (%s); using H.264", reason.c_str());
            config.codec = VideoCodec::H264;
        } else if (config.hardwareOnly) {
            Log(LogLevel::Info, "no hardware encoder for this profile (%s); allowing software",
                reason.c_str());
            config.hardwareOnly = false;
        } else if (config.backend != EncoderBackend::Auto) {
            Log(LogLevel::Info, "encoder backend %s unavailable (%s); choosing automatically",
                encoderBackendName(config.backend), reason.c_str());
            config.backend = EncoderBackend::Auto;
        } else {
            error = reason;
            return false;
        }
    }
    encoder_ = std::move(encoder);
    std::lock_guard lock(sinkMutex_);
    codec_ = static_cast<std::uint32_t>(config.codec);
    return true;
}

bool HostStreamer::applyProfile(const StreamProfile& requested, std::string& error) {
    StreamProfile profile = requested;
    StreamProfile current;
    bool haveCurrent = false;
    {
        std::lock_guard lock(stateMutex_);
        current = profile_;
        haveCurrent = haveProfile_;
    }
    const bool rebuild = !encoder_ || !haveCurrent || profile.width != current.width ||
                         profile.height != current.height || profile.fps != current.fps ||
                         profile.codec != current.codec || profile.tier != current.tier ||
                         profile.highBiasNative != current.highBiasNative;

    const std::uint64_t minimum = std::max<std::uint64_t>(profile.minBitrate, 100000);
    const std::uint64_t maximum = std::max<std::uint64_t>(profile.maxBitrate, minimum);
    const std::uint64_t start =
        std::clamp<std::uint64_t>(rebuild ? profile.startBitrate : session_.targetBitrate(),
                                  minimum, maximum);
    session_.applyRateLimits(minimum, maximum, start, profile.fecMin,
                             std::max(profile.fecMax, profile.fecMin));
    const auto bitrate = static_cast<std::uint32_t>(start);

    if (rebuild) {
        if (!buildEncoder(profile, bitrate, error)) return false;
        // X11 captures are memory images: the converter explains once why it cannot help.
        std::string why;
        GpuConverter converter;
        (void)converter.init(capture_->desktopRect().width(), capture_->desktopRect().height(),
                             static_cast<int>(profile.width), static_cast<int>(profile.height),
                             why);
        Log(LogLevel::Info, "pixel path: %s", "CPU (readback, scale and convert in memory)");
        profile.codec = codec_;
    } else {
        encoder_->setBitrate(bitrate);
    }
    encoderBitrate_ = bitrate;
    Log(LogLevel::Info, "profile: bias %d, %dx%d@%d, %s, bitrate %u..%u, FEC %.0f..%.0f%%",
        static_cast<int>(profile.bias), static_cast<int>(profile.width),
        static_cast<int>(profile.height), static_cast<int>(profile.fps), codecName(profile.codec),
        static_cast<unsigned>(minimum), static_cast<unsigned>(maximum), profile.fecMin * 100,
        std::max(profile.fecMax, profile.fecMin) * 100);
    std::lock_guard lock(stateMutex_);
    profile_ = profile;
    haveProfile_ = true;
    status_.profile = profile;
    status_.encoderName = encoder_->name();
    status_.hardware = encoder_->isHardware();
    status_.gpuPath = false;
    return true;
}

void HostStreamer::onEncodedFrame(EncodedFrame&& frame) {
    stream::VideoFrameInfo info;
    info.keyframe = frame.keyframe;
    info.requestedKeyframe = frame.keyframe && keyframeInFlight_.exchange(false);
    info.captureTimestamp = static_cast<std::uint64_t>(frame.timestampUs);
    info.encodeMicros = frame.encodeLatencyUs;
    {
        std::lock_guard lock(sinkMutex_);
        info.codec = static_cast<std::uint8_t>(codec_);
        encodeSumUs_ += frame.encodeLatencyUs;
        ++encodeCount_;
        if (record_) std::fwrite(frame.data.data(), 1, frame.data.size(), record_.get());
    }
    if (session_.sendVideoFrame(frame.data, info)) {
        std::lock_guard lock(stateMutex_);
        ++framesSent_;
    }
}

void HostStreamer::videoThread() {
    (void)enterMmcss("Games");
    while (session_.state() == SessionState::connecting && !stopping_)
        std::this_thread::sleep_for(5ms);
    if (session_.state() != SessionState::connected) return;
    std::string error;
    if (!startPipeline(error)) {
        Log(LogLevel::Error, "host pipeline could not start: %s", error.c_str());
        session_.close(0);
        return;
    }
    runPipeline();
    leaveMmcss();
}

bool HostStreamer::startPipeline(std::string& error) {
    std::string description;
    capture_ = createScreenCapture(CaptureOptions{}, description, error);
    if (!capture_) return false;
    Log(LogLevel::Info, "capture: %s", description.c_str());
    {
        std::lock_guard lock(stateMutex_);
        status_.captureMethod = capture_->methodName();
    }
    CapturedFrame first;
    const std::int64_t deadline = MonotonicMicros() + kFirstFrameWaitUs;
    bool gotFrame = false;
    while (!gotFrame && MonotonicMicros() < deadline) {
        const int waitMs = static_cast<int>((deadline - MonotonicMicros()) / 1000);
        gotFrame = capture_->captureFrame(std::max(waitMs, 1), first) == CaptureResult::Frame &&
                   first.newImage;
    }
    if (!gotFrame) {
        error = "the screen produced no frame within 3 s";
        return false;
    }
    if (injector_) injector_->setOutputRect(capture_->desktopRect());
    if (options_.audio) startAudioCapture();

    for (int i = 0; i < 50 && !messages_->report().screenReceived; ++i)
        std::this_thread::sleep_for(10ms);
    hevcEncodable_ = !listEncoders(VideoCodec::Hevc).empty();
    const ViewerReport report = messages_->report();
    seenScreen_ = report.screenGeneration;
    // The first image is the first frame: a still screen may offer no other for a long time.
    keepImage(first);
    sendPointer(first);
    return applyProfile(profileForBias(baseBias_, caps(), screenFacts()), error);
}

void HostStreamer::keepImage(const CapturedFrame& frame) {
    image_.assign(frame.pixels, frame.pixels + std::size_t(frame.width) * frame.height * 4);
    imageWidth_ = static_cast<int>(frame.width);
    imageHeight_ = static_cast<int>(frame.height);
}

void HostStreamer::convertImage(const StreamProfile& profile) {
    const int width = static_cast<int>(profile.width);
    const int height = static_cast<int>(profile.height);
    const std::uint8_t* source = image_.data();
    if (imageWidth_ != width || imageHeight_ != height) {
        scaled_.resize(std::size_t(width) * height * 4);
        scaleBgraBilinear(image_.data(), imageWidth_, imageHeight_, scaled_.data(), width, height);
        source = scaled_.data();
    }
    bgraToNv12(source, width * 4, width, height, nv12_);
}

void HostStreamer::sendPointer(const CapturedFrame& frame) {
    const CursorState& cursor = frame.cursor;
    if (cursor.shapeId != 0 && cursor.shapeId != lastCursorShape_) {
        CursorShape shape;
        if (capture_->cursorShape(shape) && shape.id == cursor.shapeId) {
            stream::PointerShape message;
            message.id = shape.id;
            message.width = static_cast<std::uint16_t>(shape.width);
            message.height = static_cast<std::uint16_t>(shape.height);
            message.hotX = static_cast<std::uint16_t>(
                std::clamp<std::int32_t>(shape.hotX, 0, static_cast<std::int32_t>(shape.width) - 1));
            message.hotY = static_cast<std::uint16_t>(std::clamp<std::int32_t>(
                shape.hotY, 0, static_cast<std::int32_t>(shape.height) - 1));
            message.pixels = shape.pixels;
            if (const auto bytes = stream::encodePointerShape(message)) {
                if (session_.sendMessage(*bytes)) lastCursorShape_ = shape.id;
            }
        }
    }
    stream::PointerPosition position;
    position.x = cursor.x;
    position.y = cursor.y;
    position.visible = cursor.visible;
    position.shapeId = lastCursorShape_;
    position.screenWidth = static_cast<std::uint16_t>(std::min<std::uint32_t>(frame.width, 65535));
    position.screenHeight =
        static_cast<std::uint16_t>(std::min<std::uint32_t>(frame.height, 65535));
    if (pointerSent_ && position == lastPointer_) return;
    if (session_.sendMessage(stream::encodePointerPosition(position))) {
        lastPointer_ = position;
        pointerSent_ = true;
    }
}

void HostStreamer::pickUpViewerRequests() {
    const ViewerReport report = messages_->report();
    bool reapply = false;
    if (report.qualityGeneration != seenQuality_) {
        seenQuality_ = report.qualityGeneration;
        baseBias_ = report.quality.bias;
        {
            std::lock_guard lock(stateMutex_);
            automatic_ = report.quality.automatic;
            status_.automatic = automatic_;
        }
        reapply = true;
    }
    if (report.screenGeneration != seenScreen_) {
        seenScreen_ = report.screenGeneration;
        reapply = true;
    }
    if (!reapply) return;
    // A request of the viewer's own takes effect at once; the balance starts its 5 s again.
    std::string error;
    if (applyProfile(profileForBias(baseBias_, caps(), screenFacts()), error))
        balance_->changed();
    else
        Log(LogLevel::Error, "profile change failed: %s", error.c_str());
}

void HostStreamer::everySecond(Second& second, std::int64_t now) {
    const stream::SessionStats session = session_.stats();
    const double seconds = std::max<double>(now - second.start, 1) / kSecondUs;
    std::uint64_t encodeSum = 0, encodeCount = 0;
    {
        std::lock_guard lock(sinkMutex_);
        encodeSum = std::exchange(encodeSumUs_, 0);
        encodeCount = std::exchange(encodeCount_, 0);
    }
    StreamProfile profile;
    std::uint64_t sent = 0, skipped = 0;
    stream::FeedbackBody feedback;
    bool automatic = true;
    {
        std::lock_guard lock(stateMutex_);
        profile = profile_;
        sent = framesSent_;
        skipped = framesSkipped_;
        feedback = feedback_;
        automatic = automatic_;
    }
    const double captureUs = mean(second.captureSumUs, second.captureCount);
    const double convertUs = mean(second.convertSumUs, second.convertCount);
    const double encodeUs = mean(encodeSum, encodeCount);
    const double sentBitrate = (session.bytesSent - second.bytesSentAtStart) * 8.0 / seconds;
    const std::uint64_t target = session_.targetBitrate();

    stream::HostStatistics message;
    message.captureUs = saturate32(captureUs);
    message.convertUs = saturate32(convertUs);
    message.encodeUs = saturate32(encodeUs);
    message.framesSent = saturate32(static_cast<double>(sent - second.framesSentAtStart));
    message.framesSkipped = saturate32(static_cast<double>(skipped - second.skippedAtStart));
    message.targetKbps = saturate32(static_cast<double>(target) / 1000);
    message.bias = profile.bias;
    (void)session_.sendMessage(stream::encodeHostStatistics(message));

    const ViewerReport report = messages_->report();
    const ProcessorLoad::Shares load = second.load.sample();
    {
        std::lock_guard lock(stateMutex_);
        status_.running = true;
        status_.bitrateMbps = sentBitrate / 1e6;
        status_.lossPercent = session.loss * 100;
        status_.rttMs = session.smoothedRtt / 1000.0;
        status_.captureMs = captureUs / 1000;
        status_.convertMs = convertUs / 1000;
        status_.encodeMs = encodeUs / 1000;
        // The viewer's own statistics message when it sends one, else its Feedback figures.
        status_.viewerDecodeMs =
            (report.decoderReceived ? report.decoder.decodeUs : feedback.pipeline[0]) / 1000.0;
        status_.viewerEndToEndMs =
            (report.decoderReceived ? report.decoder.endToEndUs : feedback.pipeline[1]) / 1000.0;
    }

    if (automatic) {
        BalanceSample sample;
        sample.smoothedLoss = session.loss;
        sample.queuingDelayUs = feedback.queuingDelay;
        sample.smoothedRttUs = static_cast<double>(session.smoothedRtt);
        sample.sentBitrate = sentBitrate;
        sample.targetBitrate = static_cast<double>(target);
        sample.captureEncodeUs = captureUs + encodeUs;
        sample.convertQueueUs = convertUs;
        sample.frameIntervalUs = kSecondUs / std::max<double>(profile.fps, 1);
        sample.processorLoad = std::max(load.machine, load.busiestCore);
        sample.framesWaiting = encoder_ ? static_cast<double>(encoder_->queuedFrames()) : 0;
        if (const auto level =
                balance_->update(sample, baseBias_, static_cast<int>(profile.bias))) {
            Log(LogLevel::Info, "automatic balance moved to %d (network %.2f, compute %.2f)",
                *level, balance_->network(), balance_->compute());
            std::string error;
            if (!applyProfile(profileForBias(*level, caps(), screenFacts()), error))
                Log(LogLevel::Error, "profile change failed: %s", error.c_str());
        }
    }

    second.start = now;
    second.captureSumUs = second.captureCount = 0;
    second.convertSumUs = second.convertCount = 0;
    second.framesSentAtStart = sent;
    second.skippedAtStart = skipped;
    second.bytesSentAtStart = session.bytesSent;
}

void HostStreamer::runPipeline() {
    Second second;
    second.start = MonotonicMicros();
    second.bytesSentAtStart = session_.stats().bytesSent;
    (void)second.load.sample();

    std::int64_t tick = MonotonicMicros();
    std::int64_t timestamp = 0;

    while (session_.state() == SessionState::connected && !stopping_) {
        pickUpViewerRequests();
        if (microphoneWanted_ && !microphoneOpened_) startMicrophonePlayback();
        StreamProfile profile;
        {
            std::lock_guard lock(stateMutex_);
            profile = profile_;
        }
        const std::int64_t interval = kSecondUs / std::max<std::uint32_t>(profile.fps, 1);

        // Pace to the profile's frame rate; ticks missed while late count as skipped frames.
        std::int64_t now = MonotonicMicros();
        if (now < tick) {
            std::this_thread::sleep_for(std::chrono::microseconds(tick - now));
        } else if (now - tick >= interval) {
            std::lock_guard lock(stateMutex_);
            framesSkipped_ += static_cast<std::uint64_t>((now - tick) / interval);
            tick = now;
        }
        const std::int64_t loopStart = MonotonicMicros();
        tick += interval;

        // Wait for a new image until shortly before the next frame is due; pointer-only changes
        // are sent on their own as they come.
        bool newImage = false;
        CapturedFrame frame;
        for (;;) {
            const std::int64_t left =
                interval - kCaptureMarginUs - (MonotonicMicros() - loopStart);
            const CaptureResult result =
                capture_->captureFrame(static_cast<int>(std::max<std::int64_t>(left, 0) / 1000),
                                       frame);
            if (result == CaptureResult::Frame) {
                sendPointer(frame);
                // A pointer that keeps moving must not hold the frame past its time.
                if (!frame.newImage) {
                    if (left > 0) continue;
                    break;
                }
                newImage = true;
                second.captureSumUs +=
                    static_cast<std::uint64_t>(std::max<std::int64_t>(
                        MonotonicMicros() - frame.timestampUs, 0));
                ++second.captureCount;
            } else if (result == CaptureResult::Lost || result == CaptureResult::Failed) {
                std::string error;
                if (!capture_->reopen(error)) {
                    Log(LogLevel::Error, "capture reset failed: %s", error.c_str());
                    session_.close(0);
                    return;
                }
                Log(LogLevel::Info, "capture switched: %s", capture_->methodName().c_str());
                if (injector_) injector_->setOutputRect(capture_->desktopRect());
                std::string why;
                if (!applyProfile(profileForBias(static_cast<int>(profile.bias), caps(),
                                                 screenFacts()),
                                  why))
                    Log(LogLevel::Error, "profile change failed: %s", why.c_str());
                image_.clear();
                nv12_.clear();
            }
            break;
        }

        const std::size_t nv12Size = std::size_t(profile.width) * profile.height * 3 / 2;
        if (newImage) {
            const std::int64_t convertStart = MonotonicMicros();
            keepImage(frame);
            convertImage(profile);
            timestamp = frame.timestampUs;
            second.convertSumUs +=
                static_cast<std::uint64_t>(MonotonicMicros() - convertStart);
            ++second.convertCount;
        } else {
            // Nothing changed: the last image again, so the picture keeps sharpening; at the
            // profile's size, which may have changed since.
            if (nv12_.size() != nv12Size && !image_.empty()) convertImage(profile);
            timestamp = MonotonicMicros();
        }
        if (nv12_.size() == nv12Size && encoder_) {
            const bool force = keyframeRequested_.exchange(false);
            if (force) keyframeInFlight_ = true;
            if (!encoder_->encodeNv12(nv12_.data(), timestamp, force)) {
                Log(LogLevel::Warn, "encode submit failed");
                if (force) keyframeRequested_ = true;
            }
        }

        // The encoder follows the session's target when it moves by more than 5 %.
        const std::uint64_t target = session_.targetBitrate();
        if (encoder_ && target > 0 &&
            std::fabs(static_cast<double>(target) - encoderBitrate_) > 0.05 * encoderBitrate_) {
            encoderBitrate_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(target, 0xFFFFFFFFu));
            encoder_->setBitrate(encoderBitrate_);
        }

        now = MonotonicMicros();
        if (now - second.start >= kSecondUs) everySecond(second, now);
    }
}

}  // namespace vel::host
