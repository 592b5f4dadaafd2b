#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "media/audio_block.h"
#include "media/audio_playback.h"
#include "media/audio_system.h"

namespace vel::viewer {

struct HostAudioStats {
    std::uint64_t blocks = 0;         // decoded
    std::uint64_t refused = 0;        // malformed, not decoded
    std::uint64_t audibleBlocks = 0;  // RMS above -50 dBFS
    double peakRmsDbfs = -120;        // the loudest block's RMS
    std::uint64_t played = 0;         // blocks the playback thread took
    std::uint64_t underruns = 0;
    std::size_t queuedBlocks = 0;  // waiting in the jitter buffer
    std::string playback;  // "off", "starting", "playing on <device>" or "failed: <reason>"
};

// The host's sound on the viewer: decodes each audio block, measures it, and feeds the jitter
// buffer of a playback thread, which starts with the first block. The device "none" measures and
// plays nothing. push runs on the session's receive thread and never waits for the device.
class HostAudio {
  public:
    HostAudio(media::AudioSystem& system, std::string device);
    ~HostAudio();
    HostAudio(const HostAudio&) = delete;
    HostAudio& operator=(const HostAudio&) = delete;

    void push(std::uint32_t sequence, std::uint8_t codec, std::span<const std::uint8_t> data);

    // Not const: it peeks at the playback thread's startup event.
    HostAudioStats stats();

  private:
    media::AudioPlaybackContext playback_;
    bool enabled_;
    std::thread thread_;  // started by the first block, on the receive thread
    std::atomic<bool> threadStarted_{false};

    mutable std::mutex mutex_;
    HostAudioStats stats_;  // guarded by mutex_ (the playback fields are filled by stats())
    media::DecodedAudio decoded_;  // receive thread only
    media::AudioBlock block_{};    // receive thread only
};

}  // namespace vel::viewer
