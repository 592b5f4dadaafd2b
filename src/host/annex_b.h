#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "host/video_encoder.h"

namespace vel::host {

// One NAL unit of an Annex-B stream: where its start code begins and its payload (header first).
struct NalUnit {
    std::size_t start = 0;
    std::span<const std::uint8_t> payload;
};

std::vector<NalUnit> splitAnnexB(std::span<const std::uint8_t> data);

// The NAL type: byte & 31 for H.264, (byte >> 1) & 63 for HEVC.
int nalType(const NalUnit& nal, VideoCodec codec);

// True when the first 256 bytes hold a start code 00 00 01 followed by an SPS (H.264) or a VPS or
// SPS (HEVC).
bool beginsWithParameterSets(std::span<const std::uint8_t> data, VideoCodec codec);

// The parameter-set NAL units (VPS, SPS, PPS) of an access unit, each behind a 4-byte start code.
std::vector<std::uint8_t> parameterSetsOf(std::span<const std::uint8_t> data, VideoCodec codec);

// Puts the stored parameter sets in front of a keyframe that lacks them.
void ensureParameterSets(std::vector<std::uint8_t>& keyframe, const std::vector<std::uint8_t>& sets,
                         VideoCodec codec);

}  // namespace vel::host
