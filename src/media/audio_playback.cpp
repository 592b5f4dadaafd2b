#include "media/audio_playback.h"

#include <cstring>
#include <vector>

#include "os/log.h"
#include "core/time.h"
#include "media/audio_block.h"
#include "os/thread_priority.h"

namespace vel::media {
namespace {

constexpr int kWaitMs = 100;

// Writes one sample in the device's format at out.
void putSample(std::int16_t s, const AudioFormat& format, std::uint8_t* out) {
    if (format.isFloat) {
        const float x = static_cast<float>(s) / 32768.0f;
        std::memcpy(out, &x, sizeof x);
        return;
    }
    const auto u = static_cast<std::uint16_t>(s);
    switch (format.bits) {
        case 16:
            out[0] = static_cast<std::uint8_t>(u);
            out[1] = static_cast<std::uint8_t>(u >> 8);
            break;
        case 24:
            out[0] = 0;
            out[1] = static_cast<std::uint8_t>(u);
            out[2] = static_cast<std::uint8_t>(u >> 8);
            break;
        case 32:
            out[0] = out[1] = 0;
            out[2] = static_cast<std::uint8_t>(u);
            out[3] = static_cast<std::uint8_t>(u >> 8);
            break;
        default:
            break;
    }
}

}  // namespace

void audioPlaybackThread(AudioPlaybackContext& context) {
    static_cast<void>(enterMmcss("Pro Audio"));  // best effort
    std::string error;
    std::unique_ptr<AudioPlaybackStream> stream =
        context.system->openPlayback(context.deviceId, error);
    if (!stream) {
        context.startupError = error;
        context.startup.signal();
        return;
    }
    const AudioFormat format = stream->format();
    context.started = true;
    context.startup.signal();
    Log(LogLevel::Info, "audio playback: %d Hz, %d ch, %d bit%s, device buffer %u frames",
        format.rate, format.channels, format.bits, format.isFloat ? " float" : "",
        stream->bufferFrames());

    const std::size_t sampleBytes = static_cast<std::size_t>(format.bits / 8);
    const std::size_t frameBytes = format.frameBytes();
    const double advance = static_cast<double>(kAudioRate) / format.rate;
    double position = 0.0;
    StereoFrame held;
    std::vector<std::uint8_t> buffer;
    while (!context.stop) {
        const long free = stream->waitWritable(kWaitMs);
        if (free < 0) break;
        if (free == 0) continue;
        const auto frames = static_cast<std::size_t>(free);
        buffer.assign(frames * frameBytes, 0);
        const std::int64_t nowUs = MonotonicMicros();
        for (std::size_t f = 0; f < frames; ++f) {
            StereoFrame frame;
            if (format.rate == kAudioRate) {
                frame = context.jitter.pop(nowUs);
            } else {
                // Another device rate holds the last stream frame until its time has passed.
                while (position >= 1.0) {
                    held = context.jitter.pop(nowUs);
                    position -= 1.0;
                }
                position += advance;
                frame = held;
            }
            std::uint8_t* out = buffer.data() + f * frameBytes;
            putSample(frame.left, format, out);
            if (format.channels > 1) putSample(frame.right, format, out + sampleBytes);
        }
        if (!stream->write(buffer.data(), frames)) break;
    }
    stream.reset();
    context.started = false;
}

}  // namespace vel::media
