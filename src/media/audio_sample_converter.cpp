#include "media/audio_sample_converter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "media/audio_block.h"

namespace vel::media {

AudioSampleConverter::AudioSampleConverter(const AudioFormat& format)
    : format_(format), step_(static_cast<double>(format.rate) / kAudioRate) {}

std::int16_t AudioSampleConverter::sample(const std::uint8_t* frame, int channel) const {
    const int source = std::min(channel, format_.channels - 1);
    const std::uint8_t* p = frame + static_cast<std::size_t>(source) * (format_.bits / 8);
    if (format_.isFloat) {
        if (format_.bits != 32) return 0;
        float x;
        std::memcpy(&x, p, sizeof x);
        const double scaled = std::round(static_cast<double>(x) * 32767.0);
        if (std::isnan(scaled)) return 0;
        return static_cast<std::int16_t>(std::clamp(scaled, -32768.0, 32767.0));
    }
    switch (format_.bits) {
        case 16:
            return static_cast<std::int16_t>(p[0] | (p[1] << 8));
        case 24:
            return static_cast<std::int16_t>(p[1] | (p[2] << 8));
        case 32:
            return static_cast<std::int16_t>(p[2] | (p[3] << 8));
        default:
            return 0;
    }
}

void AudioSampleConverter::append(const std::uint8_t* data, std::size_t frames,
                                  std::vector<std::int16_t>& out) {
    if (frames == 0) return;
    stereo_.resize(frames * 2);
    const std::size_t frameBytes = format_.frameBytes();
    for (std::size_t f = 0; f < frames; ++f) {
        for (int c = 0; c < 2; ++c) {
            stereo_[f * 2 + c] = data ? sample(data + f * frameBytes, c) : 0;
        }
    }
    if (format_.rate == kAudioRate) {
        out.insert(out.end(), stereo_.begin(), stereo_.end());
        return;
    }
    const double packetFrames = static_cast<double>(frames);
    while (position_ < packetFrames) {
        const auto i = static_cast<std::size_t>(position_);
        const double t = position_ - static_cast<double>(i);
        for (int c = 0; c < 2; ++c) {
            const double before = i == 0 ? previous_[c] : stereo_[(i - 1) * 2 + c];
            const double now = stereo_[i * 2 + c];
            out.push_back(static_cast<std::int16_t>(std::lround(before + (now - before) * t)));
        }
        position_ += step_;
    }
    position_ -= packetFrames;
    previous_[0] = stereo_[(frames - 1) * 2];
    previous_[1] = stereo_[(frames - 1) * 2 + 1];
}

}  // namespace vel::media
