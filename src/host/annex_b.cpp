#include "host/annex_b.h"

#include <algorithm>

namespace vel::host {

std::vector<NalUnit> splitAnnexB(std::span<const std::uint8_t> data) {
    // Positions of every 00 00 01, with the start of a four-byte code when a zero precedes it.
    std::vector<std::pair<std::size_t, std::size_t>> codes;  // {code start, payload start}
    for (std::size_t i = 0; i + 3 <= data.size(); ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            codes.emplace_back(i > 0 && data[i - 1] == 0 ? i - 1 : i, i + 3);
            i += 2;
        }
    }
    std::vector<NalUnit> units;
    for (std::size_t k = 0; k < codes.size(); ++k) {
        std::size_t end = k + 1 < codes.size() ? codes[k + 1].first : data.size();
        if (end > codes[k].second) {
            units.push_back({codes[k].first, data.subspan(codes[k].second, end - codes[k].second)});
        }
    }
    return units;
}

int nalType(const NalUnit& nal, VideoCodec codec) {
    if (nal.payload.empty()) {
        return -1;
    }
    return codec == VideoCodec::Hevc ? (nal.payload[0] >> 1) & 63 : nal.payload[0] & 31;
}

namespace {

bool isSequenceSet(int type, VideoCodec codec) {
    return codec == VideoCodec::Hevc ? type == 32 || type == 33 : type == 7;
}

bool isParameterSet(int type, VideoCodec codec) {
    return codec == VideoCodec::Hevc ? type >= 32 && type <= 34 : type == 7 || type == 8;
}

}  // namespace

bool beginsWithParameterSets(std::span<const std::uint8_t> data, VideoCodec codec) {
    std::size_t limit = std::min<std::size_t>(data.size(), 256);
    for (std::size_t i = 0; i + 3 < limit; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            std::uint8_t header = data[i + 3];
            int type = codec == VideoCodec::Hevc ? (header >> 1) & 63 : header & 31;
            if (isSequenceSet(type, codec)) {
                return true;
            }
        }
    }
    return false;
}

std::vector<std::uint8_t> parameterSetsOf(std::span<const std::uint8_t> data, VideoCodec codec) {
    std::vector<std::uint8_t> sets;
    for (const NalUnit& nal : splitAnnexB(data)) {
        if (isParameterSet(nalType(nal, codec), codec)) {
            sets.insert(sets.end(), {0, 0, 0, 1});
            sets.insert(sets.end(), nal.payload.begin(), nal.payload.end());
        }
    }
    return sets;
}

void ensureParameterSets(std::vector<std::uint8_t>& keyframe, const std::vector<std::uint8_t>& sets,
                         VideoCodec codec) {
    if (!sets.empty() && !beginsWithParameterSets(keyframe, codec)) {
        keyframe.insert(keyframe.begin(), sets.begin(), sets.end());
    }
}

}  // namespace vel::host
