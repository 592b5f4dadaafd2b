#include "bench_figures.h"

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace vel::bench {

double Percentile(std::vector<double> samples, double p) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    const auto at = std::min(samples.size() - 1, static_cast<std::size_t>(samples.size() * p));
    return samples[at];
}

double ProcessCpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i) fields >> skip;  // state .. cmajflt
    double user = 0, system = 0;
    fields >> user >> system;
    return (user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double OwnCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double LoadAverage() {
    double load[1] = {0};
    return getloadavg(load, 1) == 1 ? load[0] : 0;
}

void ReportGlassFigures(benchmark::State& state, const GlassFigures& figures) {
    state.SetIterationTime(Percentile(figures.latenciesMs, 0.5) / 1000);
    state.counters["p95_ms"] = Percentile(figures.latenciesMs, 0.95);
    state.counters["fps"] = figures.fps;
    if (figures.hostCpuPct >= 0) state.counters["host_cpu_pct"] = figures.hostCpuPct;
    state.counters["viewer_cpu_pct"] = figures.viewerCpuPct;
    state.counters["unread"] = static_cast<double>(figures.unread);
    state.counters["skipped"] = static_cast<double>(figures.skipped);
    state.counters["load"] = LoadAverage();
}

}  // namespace vel::bench
