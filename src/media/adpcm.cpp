#include "media/adpcm.h"

#include <algorithm>
#include <cstdlib>

namespace vel::media {
namespace {

constexpr int kStepTable[89] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

constexpr int kIndexTable[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};

int clampSample(int value) {
    return std::clamp(value, -32768, 32767);
}
int clampIndex(int value) {
    return std::clamp(value, 0, 88);
}

// One channel's running state while a block is coded or decoded.
struct Channel {
    int predictor = 0;
    int index = 0;

    // Applies a code as the decoder does; the encoder reaches the same state as it quantises.
    void apply(int code) {
        const int step = kStepTable[index];
        int vp = step >> 3;
        if (code & 4) vp += step;
        if (code & 2) vp += step >> 1;
        if (code & 1) vp += step >> 2;
        predictor = clampSample((code & 8) ? predictor - vp : predictor + vp);
        index = clampIndex(index + kIndexTable[code]);
    }

    int encode(int sample) {
        const int step = kStepTable[index];
        int diff = sample - predictor;
        const int sign = diff < 0 ? 8 : 0;
        if (sign) diff = -diff;
        int code = sign;
        int vp = step >> 3;
        if (diff >= step) {
            code |= 4;
            diff -= step;
            vp += step;
        }
        if (diff >= step >> 1) {
            code |= 2;
            diff -= step >> 1;
            vp += step >> 1;
        }
        if (diff >= step >> 2) {
            code |= 1;
            vp += step >> 2;
        }
        predictor = clampSample(sign ? predictor - vp : predictor + vp);
        index = clampIndex(index + kIndexTable[code]);
        return code;
    }
};

void putU16(std::vector<std::uint8_t>& out, unsigned value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
}

}  // namespace

std::vector<std::uint8_t> encodeAdpcmBlock(const std::int16_t* samples, std::size_t frames,
                                           AdpcmEncoderState& state) {
    constexpr std::size_t channels = 2;
    std::vector<std::uint8_t> out;
    out.reserve(adpcmBlockSize(frames, channels));
    out.push_back(static_cast<std::uint8_t>(channels));
    putU16(out, static_cast<unsigned>(frames));
    Channel coder[channels];
    for (std::size_t c = 0; c < channels; ++c) {
        coder[c].predictor = frames > 0 ? samples[c] : 0;
        coder[c].index = clampIndex(state.index[c]);
        putU16(out, static_cast<std::uint16_t>(coder[c].predictor));
        out.push_back(static_cast<std::uint8_t>(coder[c].index));
    }
    // Stereo: each frame's two codes share one byte, left in the low nibble.
    const std::size_t header = out.size();
    out.resize(header + frames);
    std::uint8_t* codes = out.data() + header;
    for (std::size_t f = 0; f < frames; ++f) {
        const int left = coder[0].encode(samples[f * 2]);
        const int right = coder[1].encode(samples[f * 2 + 1]);
        codes[f] = static_cast<std::uint8_t>(left | (right << 4));
    }
    for (std::size_t c = 0; c < channels; ++c) state.index[c] = coder[c].index;
    return out;
}

void decodeAdpcmSamples(const std::uint8_t* block, std::size_t channels, std::size_t frames,
                        std::vector<std::int16_t>& out) {
    Channel decoder[8];
    const std::uint8_t* header = block + 3;
    for (std::size_t c = 0; c < channels; ++c, header += 3) {
        decoder[c].predictor = static_cast<std::int16_t>(header[0] | (header[1] << 8));
        decoder[c].index = std::min<int>(header[2], 88);
    }
    const std::uint8_t* codes = header;
    const std::size_t count = frames * channels;
    const std::size_t start = out.size();
    out.resize(start + count);
    std::int16_t* samples = out.data() + start;
    std::size_t c = 0;
    for (std::size_t n = 0; n < count; ++n) {
        const int code = (n % 2 == 0) ? (codes[n / 2] & 0x0F) : (codes[n / 2] >> 4);
        decoder[c].apply(code);
        samples[n] = static_cast<std::int16_t>(decoder[c].predictor);
        if (++c == channels) c = 0;
    }
}

}  // namespace vel::media
