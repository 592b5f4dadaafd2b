// Glass-to-glass through `velmora stream dev-listen` on loopback: the counter painted on a private
// Xvfb, captured, encoded and sent by the real host, decoded by the viewer engine in this process
// and read from the luma plane of every decoded picture. Presentation is not included.
#pragma once

#include <chrono>
#include <string>

#include "bench_figures.h"

namespace vel::bench {

struct DevListenRun {
    int width = 1280;
    int height = 720;
    int bias = 50;
    std::chrono::seconds settle{3};
    std::chrono::seconds measure{12};
};

// Runs the stream and measures; false with the reason when it could not run or nothing read.
[[nodiscard]] bool MeasureDevListenGlass(const std::string& velmora, const DevListenRun& run,
                                         GlassFigures& out, std::string& error);

}  // namespace vel::bench
