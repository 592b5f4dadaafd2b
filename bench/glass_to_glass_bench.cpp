// Glass-to-glass latency of a whole stream on loopback: a millisecond counter painted as a bar
// code onto a private Xvfb, streamed by the real `velmora stream dev-listen` (x264), decoded by the
// viewer engine in this program and read back from the picture (dev_listen_glass.h). Latency =
// the clock when a picture is decoded minus the clock it shows; a window's presentation is not
// included. Reported: p50 as the figure, p95, frames per second decoded, and the CPU of the host
// process and of this process (viewer engine plus the painter) in percent of one core.
#include <benchmark/benchmark.h>

#include "dev_listen_glass.h"

namespace {

void glassToGlass(benchmark::State& state, int width, int height) {
    for (auto _ : state) {
        vel::bench::GlassFigures figures;
        std::string error;
        if (!vel::bench::MeasureDevListenGlass(VELMORA_BINARY_PATH, {width, height, 50},
                                               figures, error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        vel::bench::ReportGlassFigures(state, figures);
    }
}

BENCHMARK_CAPTURE(glassToGlass, 720p, 1280, 720)
    ->Name("glass-to-glass p50, 1280x720 60 fps x264")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(glassToGlass, 1080p, 1920, 1080)
    ->Name("glass-to-glass p50, 1920x1080 60 fps x264")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
