#include "media/audio_block.h"

#include <algorithm>

#include "media/adpcm.h"

namespace vel::media {
namespace {

constexpr std::size_t kMaxChannels = 8;
constexpr std::size_t kMaxAdpcmFrames = 48000;

}  // namespace

bool decodeAudioBlock(std::uint8_t codec, const std::uint8_t* data, std::size_t size,
                      DecodedAudio& out) {
    if (size < 3) return false;
    const std::size_t channels = data[0];
    const std::size_t frames = data[1] | (std::size_t{data[2]} << 8);
    if (channels < 1 || channels > kMaxChannels || frames < 1) return false;
    const std::size_t count = frames * channels;
    if (codec == kAudioCodecAdpcm) {
        if (frames > kMaxAdpcmFrames || size < adpcmBlockSize(frames, channels)) return false;
    } else if (size < 3 + count * 2) {
        return false;
    }
    // Checked in full above, so the caller's buffer is reused and nothing fails half-way.
    out.channels = channels;
    out.frames = frames;
    out.samples.clear();
    if (codec == kAudioCodecAdpcm) {
        decodeAdpcmSamples(data, channels, frames, out.samples);
    } else {
        out.samples.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint8_t* p = data + 3 + i * 2;
            out.samples[i] = static_cast<std::int16_t>(p[0] | (p[1] << 8));
        }
    }
    return true;
}

bool toPlayableBlock(const DecodedAudio& decoded, AudioBlock& block) {
    if (decoded.channels != kAudioChannels || decoded.frames != kBlockFrames ||
        decoded.samples.size() != kBlockSamples) {
        return false;
    }
    std::copy(decoded.samples.begin(), decoded.samples.end(), block.begin());
    return true;
}

}  // namespace vel::media
