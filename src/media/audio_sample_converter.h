#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "media/audio_format.h"

namespace vel::media {

// Turns a capture device's packets into the stream's 48 kHz interleaved stereo 16-bit samples.
// Mono is duplicated, channels past the second are ignored, and another rate is resampled
// linearly with the position and the previous packet's last frame carried across packets.
class AudioSampleConverter {
  public:
    explicit AudioSampleConverter(const AudioFormat& format);

    // Appends the converted frames of one packet to out; data null means a silent packet.
    void append(const std::uint8_t* data, std::size_t frames, std::vector<std::int16_t>& out);

  private:
    std::int16_t sample(const std::uint8_t* frame, int channel) const;

    AudioFormat format_;
    double step_;
    double position_ = 0.0;
    std::int16_t previous_[2] = {0, 0};
    std::vector<std::int16_t> stereo_;  // the packet as stereo 16-bit, reused between packets
};

}  // namespace vel::media
