// Session goodput on loopback: a host sends video frames to a viewer as fast as the viewer takes
// them (at most 8 frames in flight), with the pacer's rate raised out of the way. Reports
// delivered frame bytes per second and the process's CPU seconds per delivered gigabit.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "stream/session.h"

namespace {

using namespace vel::stream;

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void goodput(benchmark::State& state) {
    const std::size_t frameSize = static_cast<std::size_t>(state.range(0));
    SessionTicket ticket;
    std::string error;
    if (!deriveDevTicket("00112233445566778899aabbccddeeff", ticket, error)) {
        throw std::runtime_error(error);
    }
    std::mutex mutex;
    std::condition_variable progress;
    std::uint64_t delivered = 0;  // guarded by mutex
    std::atomic<std::uint64_t> deliveredBytes{0};
    Session host;
    Session viewer;
    SessionParams params;
    params.connId = ticket.connId;
    params.keys = ticket.keys;
    params.role = kRoleHost;
    if (!host.start(params, {}, error)) throw std::runtime_error(error);
    params.role = kRoleViewer;
    Endpoint hostEndpoint;
    if (!parseEndpoint("127.0.0.1", host.localPort(), hostEndpoint))
        throw std::runtime_error("endpoint");
    params.candidates = {hostEndpoint};
    SessionCallbacks callbacks;
    callbacks.frame = [&](AssembledFrame&& frame) {
        deliveredBytes += frame.data.size();
        const std::lock_guard lock(mutex);
        ++delivered;
        progress.notify_one();
    };
    if (!viewer.start(params, callbacks, error)) throw std::runtime_error(error);
    while (host.state() != SessionState::connected || viewer.state() != SessionState::connected) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // 40 Gbit/s: the pacer never waits on loopback.
    host.applyRateLimits(1000000, 40000000000ull, 40000000000ull, 0.1, 0.1);

    const std::vector<std::uint8_t> frame(frameSize, 0x5A);
    VideoFrameInfo info;
    info.codec = 1;
    std::uint64_t sent = 0;
    const double cpuStart = cpuSeconds();
    const std::uint64_t bytesStart = deliveredBytes.load();
    const auto settled = [&](std::uint64_t inFlight) {
        std::unique_lock lock(mutex);
        // Frames given up are counted by the viewer's statistics; poll for them now and then.
        while (sent > delivered + inFlight + viewer.stats().framesGivenUp) {
            progress.wait_for(lock, std::chrono::milliseconds(5));
        }
    };
    for (auto _ : state) {
        settled(7);
        if (!host.sendVideoFrame(frame, info)) {
            state.SkipWithError("sendVideoFrame refused");
            break;
        }
        ++sent;
    }
    settled(0);
    const double cpu = cpuSeconds() - cpuStart;
    const double gigabits = static_cast<double>(deliveredBytes.load() - bytesStart) * 8 / 1e9;
    state.SetBytesProcessed(static_cast<std::int64_t>(deliveredBytes.load() - bytesStart));
    state.counters["cpu_s_per_Gbit"] = gigabits > 0 ? cpu / gigabits : 0;
    state.counters["frames_given_up"] = static_cast<double>(viewer.stats().framesGivenUp);
}

}  // namespace

BENCHMARK(goodput)->Name("session goodput, 100 KB frames")->Arg(100000)->UseRealTime()->MinTime(3);
