#include "media/audio_capture.h"

#include <chrono>
#include <thread>
#include <vector>

#include "os/log.h"
#include "core/time.h"
#include "media/audio_block.h"
#include "media/audio_sample_converter.h"
#include "os/thread_priority.h"

namespace vel::media {
namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(5);
constexpr std::int64_t kBlockUs = 10000;

}  // namespace

void audioCaptureThread(AudioCaptureContext& context) {
    static_cast<void>(enterMmcss("Pro Audio"));  // best effort
    std::string error;
    std::unique_ptr<AudioCaptureStream> stream =
        context.system->openCapture(context.role, context.deviceId, error);
    if (!stream) {
        context.startupError = error;
        context.startup.signal();
        return;
    }
    const AudioFormat format = stream->format();
    context.deviceName = stream->deviceName();
    context.started = true;
    context.startup.signal();
    Log(LogLevel::Info, "audio %s: %s, %d Hz, %d ch, %d bit%s",
        context.role == AudioRole::Loopback ? "loopback" : "microphone", context.deviceName.c_str(),
        format.rate, format.channels, format.bits, format.isFloat ? " float" : "");

    AudioSampleConverter converter(format);
    std::vector<std::int16_t> pending;
    std::int64_t timestampUs = 0;
    bool failed = false;
    while (!context.stop && !failed) {
        std::this_thread::sleep_for(kPollInterval);
        AudioPacket packet;
        for (;;) {
            const PacketStatus status = stream->nextPacket(packet);
            if (status != PacketStatus::Packet) {
                failed = status == PacketStatus::Failed;
                break;
            }
            if (pending.empty()) {
                // The capture time of the packet's first frame.
                timestampUs = MonotonicMicros() -
                              static_cast<std::int64_t>(packet.frames) * 1000000 / format.rate;
            }
            converter.append(packet.data, packet.frames, pending);
            stream->release();
            std::size_t used = 0;
            while (pending.size() - used >= kBlockSamples) {
                context.onBlock(pending.data() + used, kBlockFrames, timestampUs);
                timestampUs += kBlockUs;
                used += kBlockSamples;
            }
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(used));
        }
    }
    stream.reset();
    context.started = false;
}

}  // namespace vel::media
