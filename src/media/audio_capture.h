#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "media/audio_startup_event.h"
#include "media/audio_system.h"

namespace vel::media {

// Receives each 10 ms block: 480 interleaved stereo frames and the capture time of the first.
using AudioBlockCallback =
    std::function<void(const std::int16_t* samples, std::size_t frames, std::int64_t timestampUs)>;

// Shared between the owner of a capture thread and the thread. The owner fills in the request
// before starting the thread and reads deviceName and startupError after the startup event.
struct AudioCaptureContext {
    AudioSystem* system = &pulseAudioSystem();
    AudioRole role = AudioRole::Loopback;
    std::string deviceId;  // empty: the default device for the role
    AudioBlockCallback onBlock;

    std::string deviceName;    // written by the thread before the startup event
    std::string startupError;  // written by the thread before the startup event
    std::atomic<bool> started{false};
    std::atomic<bool> stop{false};
    AudioStartupEvent startup;
};

// Captures until the stop flag is set, delivering 48 kHz stereo blocks stamped on the
// process-wide monotonic clock. Signals the startup event exactly once.
void audioCaptureThread(AudioCaptureContext& context);

}  // namespace vel::media
