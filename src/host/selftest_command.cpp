#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/time.h"
#include "host/capture_factory.h"
#include "host/encoder_bench.h"
#include "host/encoder_selection.h"
#include "host/pixel_convert.h"
#include "host/stream_commands.h"
#include "host/stream_options.h"
#include "os/log.h"
#include "viewer/decoder_selection.h"

namespace vel::host {
namespace {

constexpr int kSampleEvery = 10;  // frames whose luma is kept for the fidelity check
constexpr double kPassPsnr = 25.0;

// What the encoder's thread hands back, collected for decoding.
class Collected {
  public:
    void add(EncodedFrame&& frame) {
        {
            std::lock_guard lock(mutex_);
            frames_.push_back(std::move(frame));
        }
        changed_.notify_all();
    }
    // Waits until `count` frames have come or nothing came for `quiet`.
    void waitFor(std::size_t count, std::chrono::milliseconds quiet) {
        std::unique_lock lock(mutex_);
        std::size_t seen = frames_.size();
        while (frames_.size() < count) {
            if (!changed_.wait_for(lock, quiet, [&] { return frames_.size() != seen; })) return;
            seen = frames_.size();
        }
    }
    std::vector<EncodedFrame> take() {
        std::lock_guard lock(mutex_);
        return std::move(frames_);
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<EncodedFrame> frames_;  // guarded by mutex_
};

double psnr(const std::uint8_t* a, const std::uint8_t* b, std::size_t size) {
    double sum = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const double d = double(a[i]) - double(b[i]);
        sum += d * d;
    }
    const double mse = size == 0 ? 0 : sum / double(size);
    return std::min(99.0, 10 * std::log10(65025.0 / std::max(mse, 0.0001)));
}

struct StageTimes {
    std::vector<double> capture, convert, encode, decode;  // milliseconds
};

double average(const std::vector<double>& v) {
    if (v.empty()) return 0;
    double sum = 0;
    for (double x : v) sum += x;
    return sum / double(v.size());
}

double millisSince(std::int64_t startUs) {
    return double(MonotonicMicros() - startUs) / 1000.0;
}

}  // namespace

int CmdSelftest(int argc, char** argv) {
    StreamOptions args(argc, argv, 3);
    const int frameCount = std::clamp(args.number("--frames", 120), 10, 3600);
    const bool hevc = args.flag("--hevc");
    const EncoderBackend backend = parseEncoderBackend(args.value("--encoder").value_or("auto"));
    const bool software = args.flag("--software");
    (void)args.flag("--cpu-path");  // frames always take the CPU path here
    const std::optional<std::string> outFile = args.value("--out");
    if (auto extra = args.unknown()) {
        std::printf("unknown option: %s\n", extra->c_str());
        return 2;
    }

    std::printf("Velstream host self-test\n");
    const char* display = std::getenv("DISPLAY");
    Log(LogLevel::Info, "selftest: desktop '%s', %s; creating capture", display ? display : "",
        ::geteuid() == 0 ? "as SYSTEM" : "as a user");
    auto finish = [](bool pass) {
        std::printf("\nresult: %s\n", pass ? "PASS" : "FAIL");
        return pass ? 0 : 1;
    };

    std::string description, error;
    std::unique_ptr<ScreenCapture> capture = createScreenCapture({}, description, error);
    if (!capture) {
        std::printf("capture: FAILED - %s\n", error.c_str());
        Log(LogLevel::Info, "selftest: capture unavailable: %s", error.c_str());
        Log(LogLevel::Info, "selftest RESULT: FAIL | 0 encoded | capture unavailable");
        return finish(false);
    }
    std::printf("capture: %s\n", description.c_str());
    Log(LogLevel::Info, "selftest: capture = %s", description.c_str());

    CapturedFrame frame;
    const std::int64_t firstDeadline = MonotonicMicros() + 3'000'000;
    bool first = false;
    while (!first && MonotonicMicros() < firstDeadline)
        first = capture->captureFrame(100, frame) == CaptureResult::Frame && frame.newImage;
    if (!first) {
        std::printf("capture: no frame within 3 s\n");
        Log(LogLevel::Info, "selftest: no frame within 3 s");
        return finish(false);
    }
    const int width = static_cast<int>(frame.width) & ~1;
    const int height = static_cast<int>(frame.height) & ~1;
    std::printf("screen: %dx%d\n", static_cast<int>(frame.width), static_cast<int>(frame.height));
    Log(LogLevel::Info, "selftest: first frame %dx%d; creating encoder", static_cast<int>(frame.width),
        static_cast<int>(frame.height));
    const int pitch = static_cast<int>(frame.width) * 4;
    std::vector<std::uint8_t> image(frame.pixels, frame.pixels + std::size_t(pitch) * frame.height);

    EncoderConfig config;
    config.width = static_cast<std::uint32_t>(width);
    config.height = static_cast<std::uint32_t>(height);
    config.fps = 60;
    config.bitrate = 10'000'000;
    config.codec = hevc ? VideoCodec::Hevc : VideoCodec::H264;
    config.backend = backend;
    config.allowHardware = !software && backend != EncoderBackend::MfSw;
    auto collected = std::make_shared<Collected>();
    std::unique_ptr<VideoEncoder> encoder = createVideoEncoder(
        config, error, [collected](EncodedFrame&& f) { collected->add(std::move(f)); });
    if (!encoder) {
        std::printf("encoder: FAILED - %s\n", error.c_str());
        Log(LogLevel::Info, "selftest RESULT: FAIL | 0 encoded | encoder unavailable: %s",
            error.c_str());
        return finish(false);
    }
    std::printf("encoder: %s%s\n", encoder->name().c_str(),
                encoder->isHardware() ? " (hardware)" : " (software)");
    const char* path = "CPU (readback -> convert -> encoder)";
    std::printf("pixel path: %s\n", path);
    Log(LogLevel::Info, "selftest: pixel path %s", path);
    const std::uint8_t codecByte = hevc ? viewer::kCodecHevc : viewer::kCodecH264;
    std::unique_ptr<viewer::VideoDecoder> decoder =
        viewer::createVideoDecoder(codecByte, software ? viewer::kDecodeSoftwareOnly : 0, error);
    if (decoder)
        std::printf("decoder: %s%s\n", decoder->name().c_str(),
                    decoder->isHardware() ? " (GPU/DXVA)" : " (software)");
    else
        std::printf("decoder: unavailable - %s\n", error.c_str());

    std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(nullptr, &std::fclose);
    if (outFile) {
        out.reset(std::fopen(outFile->c_str(), "wb"));
        if (!out) std::printf("cannot open %s; the stream is not written\n", outFile->c_str());
    }

    Log(LogLevel::Info, "selftest: entering capture/submit loop, %d frames", frameCount);
    StageTimes times;
    std::vector<std::uint8_t> nv12;
    std::map<std::int64_t, std::vector<std::uint8_t>> sampledLuma;  // by timestamp
    int captured = 0, submitted = 0;
    const std::size_t lumaSize = std::size_t(width) * height;
    for (int i = 0; i < frameCount; ++i) {
        Log(LogLevel::Debug, "selftest: frame %d", i);
        // The encoder's queue keeps two frames; wait for room so that every frame is encoded.
        while (encoder->queuedFrames() >= 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::int64_t start = MonotonicMicros();
        const CaptureResult result = capture->captureFrame(0, frame);
        if (result == CaptureResult::Frame && frame.newImage &&
            frame.width * 4 == static_cast<std::uint32_t>(pitch))
            std::memcpy(image.data(), frame.pixels, image.size());
        times.capture.push_back(millisSince(start));
        ++captured;

        start = MonotonicMicros();
        bgraToNv12(image.data(), pitch, width, height, nv12);
        times.convert.push_back(millisSince(start));

        const std::int64_t timestamp = MonotonicMicros();
        if (i % kSampleEvery == 0) sampledLuma[timestamp].assign(nv12.begin(), nv12.begin() + lumaSize);
        if (!encoder->encodeNv12(nv12.data(), timestamp, false)) {
            std::printf("encode submit failed at frame %d\n", i);
            continue;
        }
        ++submitted;
    }
    Log(LogLevel::Info, "selftest: loop done, draining");
    collected->waitFor(static_cast<std::size_t>(submitted), std::chrono::milliseconds(2000));
    std::vector<EncodedFrame> encoded = collected->take();
    Log(LogLevel::Info, "selftest: collected %zu frames, resetting encoder", encoded.size());
    encoder.reset();
    Log(LogLevel::Info, "selftest: encoder reset, decoding %zu frames", encoded.size());

    int keyframes = 0, decodedCount = 0;
    std::size_t totalBytes = 0;
    std::vector<double> psnrs;
    for (const EncodedFrame& e : encoded) {
        keyframes += e.keyframe ? 1 : 0;
        totalBytes += e.data.size();
        times.encode.push_back(e.encodeLatencyUs / 1000.0);
        if (out) std::fwrite(e.data.data(), 1, e.data.size(), out.get());
        if (!decoder) continue;
        std::vector<viewer::DecodedFrame> pictures;
        const std::int64_t start = MonotonicMicros();
        decoder->decode(e.data, e.timestampUs, e.keyframe, pictures);
        times.decode.push_back(millisSince(start));
        for (const viewer::DecodedFrame& picture : pictures) {
            ++decodedCount;
            const auto sample = sampledLuma.find(picture.timestampUs);
            if (sample != sampledLuma.end() && picture.width == width &&
                picture.height == height && picture.nv12.size() >= lumaSize)
                psnrs.push_back(psnr(picture.nv12.data(), sample->second.data(), lumaSize));
        }
    }
    const int encodedCount = static_cast<int>(encoded.size());
    const double meanPsnr = average(psnrs);
    const double mbps =
        encodedCount == 0 ? 0 : double(totalBytes) * 8 * 60 / encodedCount / 1e6;
    std::printf("\nframes: %d captured, %d encoded (%d keyframes), %d decoded\n", captured,
                encodedCount, keyframes, decodedCount);
    std::printf("stream: %.1f KB total, %.1f Mbit/s at 60 fps\n", double(totalBytes) / 1024, mbps);
    std::printf("%-10s %8s %8s\n", "stage", "avg ms", "p95 ms");
    const std::pair<const char*, const std::vector<double>*> rows[] = {
        {"capture", &times.capture},
        {"to NV12", &times.convert},
        {"encode", &times.encode},
        {"decode", &times.decode}};
    for (const auto& [name, samples] : rows)
        std::printf("%-10s %8.2f %8.2f\n", name, average(*samples), percentile(*samples, 0.95));
    std::printf("fidelity: luma PSNR %.1f dB over %d sampled frames\n", meanPsnr,
                static_cast<int>(psnrs.size()));

    const bool pass = encodedCount > 0 && (!decoder || decodedCount > 0) &&
                      (psnrs.empty() || meanPsnr > kPassPsnr);
    Log(LogLevel::Info,
        "selftest RESULT: %s | %d encoded | capture %.1f, convert %.1f, encode %.1f, decode %.1f "
        "ms avg | %.1f Mbit/s",
        pass ? "PASS" : "FAIL", encodedCount, average(times.capture), average(times.convert),
        average(times.encode), average(times.decode), mbps);
    return finish(pass);
}

}  // namespace vel::host
