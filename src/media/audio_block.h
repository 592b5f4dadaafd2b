#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vel::media {

// The stream's audio: 48 kHz, interleaved stereo, signed 16-bit, in blocks of 10 ms.
constexpr int kAudioRate = 48000;
constexpr int kAudioChannels = 2;
constexpr std::size_t kBlockFrames = 480;
constexpr std::size_t kBlockSamples = kBlockFrames * kAudioChannels;

// The wire's audio codec byte that marks an IMA ADPCM block; every other value is a PCM block.
constexpr std::uint8_t kAudioCodecAdpcm = 2;

// One playable block: 480 interleaved stereo frames.
using AudioBlock = std::array<std::int16_t, kBlockSamples>;

struct DecodedAudio {
    std::size_t channels = 0;
    std::size_t frames = 0;
    std::vector<std::int16_t> samples;  // frames * channels, interleaved
};

// Decodes a PCM or ADPCM block as the codec byte says. A block with 0 or more than 8 channels,
// no frames (or more than 48,000 for ADPCM) or fewer bytes than its header promises is refused.
[[nodiscard]] bool decodeAudioBlock(std::uint8_t codec, const std::uint8_t* data, std::size_t size,
                                    DecodedAudio& out);

// Only stereo blocks of exactly 480 frames are played; anything else decodes but is left out.
[[nodiscard]] bool toPlayableBlock(const DecodedAudio& decoded, AudioBlock& block);

}  // namespace vel::media
