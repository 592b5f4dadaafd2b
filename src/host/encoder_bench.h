#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/video_encoder.h"

namespace vel::host {

// One row of the encoder benchmark.
struct BenchResult {
    std::string reason;   // empty when the encoder ran; else the selection error or "no output"
    std::string encoder;  // the encoder's name
    double latencyAvgMs = 0;
    double latencyP95Ms = 0;
    double fps = 0;    // pipelined throughput
    double mbps = 0;   // output bitrate at the configured frame rate
    int heldBack = 0;  // frames without output within the wait
    std::uint64_t throughputFrames = 0;
    double throughputSeconds = 0;
};

// The element at floor(n x p), at most n - 1, of the sorted samples; 0 for none.
double percentile(std::vector<double> samples, double p);

// Opens an encoder for `config` and measures it on `frames` (used in turn): latency = one frame in,
// waiting for its output (at most 400 ms, else it counts as held back); throughput = frames
// submitted back to back with the queue kept full, frames received over the elapsed time.
BenchResult benchOne(const EncoderConfig& config,
                     const std::vector<std::vector<std::uint8_t>>& frames, int latencyFrames = 60,
                     int throughputFrames = 240);

}  // namespace vel::host
