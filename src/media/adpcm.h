#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vel::media {

// Per-channel step indexes of the host's stereo encoder; they carry over from block to block so a
// stream adapts once rather than at every block.
struct AdpcmEncoderState {
    int index[2] = {0, 0};
};

// Encodes one interleaved stereo block as an IMA ADPCM block: channel count, frame count, each
// channel's starting predictor (the block's first sample) and step index, then 4-bit codes.
std::vector<std::uint8_t> encodeAdpcmBlock(const std::int16_t* samples, std::size_t frames,
                                           AdpcmEncoderState& state);

// Size of an ADPCM block carrying the given frames and channels.
constexpr std::size_t adpcmBlockSize(std::size_t frames, std::size_t channels) {
    return 3 + channels * 3 + (frames * channels + 1) / 2;
}

// Decodes the codes of an ADPCM block whose header the caller has checked; appends
// frames * channels interleaved samples.
void decodeAdpcmSamples(const std::uint8_t* block, std::size_t channels, std::size_t frames,
                        std::vector<std::int16_t>& out);

}  // namespace vel::media
