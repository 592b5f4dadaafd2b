#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "media/audio_format.h"

namespace vel::media {

enum class AudioRole { Loopback, Microphone };

// One row of the device listing: the sound server's device name, its description, and whether it
// is the server's default.
struct AudioDevice {
    std::string id;
    std::string friendlyName;
    bool isDefault = false;
};

// A packet of captured frames; data is null for a stretch the server reports as a gap.
struct AudioPacket {
    const std::uint8_t* data = nullptr;
    std::size_t frames = 0;
};

enum class PacketStatus { Packet, None, Failed };

// A running capture stream in the device's own format.
class AudioCaptureStream {
  public:
    virtual ~AudioCaptureStream() = default;
    virtual const AudioFormat& format() const = 0;
    virtual const std::string& deviceName() const = 0;
    // The next packet when one is ready, without waiting. A Packet stays valid until release.
    virtual PacketStatus nextPacket(AudioPacket& packet) = 0;
    virtual void release() = 0;
};

// A running playback stream in the device's own format.
class AudioPlaybackStream {
  public:
    virtual ~AudioPlaybackStream() = default;
    virtual const AudioFormat& format() const = 0;
    virtual std::uint32_t bufferFrames() const = 0;
    // Waits up to timeoutMs for room; the frames that may be written now, 0 on timeout, or -1
    // when the stream has failed.
    virtual long waitWritable(int timeoutMs) = 0;
    [[nodiscard]] virtual bool write(const std::uint8_t* data, std::size_t frames) = 0;
};

// The sound server as the audio threads see it. Failures to open fill error with the failing step
// and the server's own error text.
class AudioSystem {
  public:
    virtual ~AudioSystem() = default;
    // An empty device id means the monitor of the default sink (loopback) or the default source.
    virtual std::unique_ptr<AudioCaptureStream> openCapture(AudioRole role,
                                                            const std::string& deviceId,
                                                            std::string& error) = 0;
    // An empty device id means the default sink.
    virtual std::unique_ptr<AudioPlaybackStream> openPlayback(const std::string& deviceId,
                                                              std::string& error) = 0;
    // Sinks when playback, else sources that are not monitors; empty when the server is away.
    virtual std::vector<AudioDevice> listDevices(bool playback) = 0;
};

// The PulseAudio client (also served by PipeWire), reached the way libpulse finds its server.
AudioSystem& pulseAudioSystem();

// The PulseAudio server's playback (sink) or recording (source) devices, the default marked.
std::vector<AudioDevice> listAudioDevices(bool playback);

}  // namespace vel::media
