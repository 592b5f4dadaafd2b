// An audio block from the viewer: the first byte is the codec, the rest the block. A block is
// either refused or decoded to exactly the frames and channels its header states, and a decoded
// ADPCM block never reads past the bytes it was given (AddressSanitizer sees to that).
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "media/audio_block.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    // A copy of exactly the block's size, so reading one byte too far is caught.
    const std::vector<std::uint8_t> block(data + 1, data + size);
    vel::media::DecodedAudio audio;
    if (!vel::media::decodeAudioBlock(data[0], block.data(), block.size(), audio)) return 0;
    if (audio.channels < 1 || audio.channels > 8 || audio.frames < 1) std::abort();
    if (audio.samples.size() != audio.frames * audio.channels) std::abort();
    if (block[0] != audio.channels || std::size_t(block[1] | (block[2] << 8)) != audio.frames)
        std::abort();
    vel::media::AudioBlock playable;
    const bool isPlayable = vel::media::toPlayableBlock(audio, playable);
    if (isPlayable != (audio.channels == 2 && audio.frames == 480)) std::abort();
    return 0;
}
