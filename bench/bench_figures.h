// Small measurements shared by the benchmarks of running processes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <vector>

namespace benchmark {
class State;
}

namespace vel::bench {

// The sample at fraction p (0.5 = median) of the sorted samples; 0 when there are none.
double Percentile(std::vector<double> samples, double p);

// CPU time (user + system) of another process, and of this one, in seconds.
double ProcessCpuSeconds(pid_t pid);
double OwnCpuSeconds();

// The 1-minute load average, for the record beside a figure.
double LoadAverage();

// One glass-to-glass run: the age of every picture read, in milliseconds, and what went with it.
struct GlassFigures {
    std::vector<double> latenciesMs;
    double fps = 0;           // pictures shown (or decoded) per second
    double hostCpuPct = -1;   // of one core; -1 when not measured
    double viewerCpuPct = 0;  // of one core
    std::uint64_t unread = 0;  // pictures (in a window: reads) whose code did not read
    std::uint64_t skipped = 0;
};

// Reports p50 as the iteration time (manual time) and p95, fps, CPU, unread, skipped and the load
// average as counters.
void ReportGlassFigures(benchmark::State& state, const GlassFigures& figures);

}  // namespace vel::bench
