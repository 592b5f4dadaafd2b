#pragma once

#include <atomic>
#include <string>

#include "media/audio_startup_event.h"
#include "media/audio_system.h"
#include "media/jitter_buffer.h"

namespace vel::media {

// Shared between the owner of a playback thread, the receive path that fills the jitter buffer,
// and the thread. startupError is written by the thread before the startup event.
struct AudioPlaybackContext {
    AudioSystem* system = &pulseAudioSystem();
    std::string deviceId;  // empty: the default sink
    std::string startupError;
    std::atomic<bool> started{false};
    std::atomic<bool> stop{false};
    AudioStartupEvent startup;
    JitterBuffer jitter;
};

// Plays the jitter buffer on the device until the stop flag is set or the device fails. Signals
// the startup event exactly once.
void audioPlaybackThread(AudioPlaybackContext& context);

}  // namespace vel::media
