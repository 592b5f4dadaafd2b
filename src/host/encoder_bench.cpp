#include "host/encoder_bench.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "host/encoder_selection.h"

namespace vel::host {
namespace {

using Clock = std::chrono::steady_clock;

// Counts outputs and their bytes as the encoder's thread hands them over.
struct Counter {
    std::mutex mutex;
    std::condition_variable arrived;
    std::uint64_t frames = 0;  // guarded by mutex
    std::uint64_t bytes = 0;   // guarded by mutex

    void add(const EncodedFrame& frame) {
        {
            std::lock_guard lock(mutex);
            ++frames;
            bytes += frame.data.size();
        }
        arrived.notify_all();
    }

    bool waitFor(std::uint64_t count, Clock::duration limit) {
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, limit, [&] { return frames >= count; });
    }
};

}  // namespace

double percentile(std::vector<double> samples, double p) {
    if (samples.empty()) {
        return 0;
    }
    std::sort(samples.begin(), samples.end());
    auto index = static_cast<std::size_t>(double(samples.size()) * p);
    return samples[std::min(index, samples.size() - 1)];
}

BenchResult benchOne(const EncoderConfig& config,
                     const std::vector<std::vector<std::uint8_t>>& frames, int latencyFrames,
                     int throughputFrames) {
    BenchResult result;
    auto counter = std::make_shared<Counter>();
    std::unique_ptr<VideoEncoder> encoder = createVideoEncoder(
        config, result.reason, [counter](EncodedFrame&& frame) { counter->add(frame); });
    if (!encoder) {
        return result;
    }
    result.encoder = encoder->name();
    std::int64_t timestamp = 0;
    std::uint64_t submitted = 0;
    auto submit = [&](std::size_t i) {
        if (encoder->encodeNv12(frames[i % frames.size()].data(), timestamp, false)) {
            ++submitted;
        }
        timestamp += 1'000'000 / std::max<std::uint32_t>(config.fps, 1);
    };

    std::vector<double> latencies;
    for (int i = 0; i < latencyFrames; ++i) {
        const auto start = Clock::now();
        submit(std::size_t(i));
        if (counter->waitFor(submitted, std::chrono::milliseconds(400))) {
            latencies.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        } else {
            ++result.heldBack;
        }
    }
    // Let held-back frames come out so they do not count as throughput.
    counter->waitFor(submitted, std::chrono::milliseconds(400));
    std::uint64_t before = 0;
    std::uint64_t bytesBefore = 0;
    {
        std::lock_guard lock(counter->mutex);
        before = counter->frames;
        bytesBefore = counter->bytes;
    }
    const std::uint64_t target = submitted + std::uint64_t(throughputFrames);
    const auto start = Clock::now();
    for (int i = 0; i < throughputFrames; ++i) {
        // One frame in the encoder and one waiting: the queue never drops and the encoder never
        // idles.
        counter->waitFor(submitted >= 1 ? submitted - 1 : 0, std::chrono::seconds(2));
        submit(std::size_t(i));
    }
    counter->waitFor(target, std::chrono::seconds(2));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::lock_guard lock(counter->mutex);
    result.throughputFrames = counter->frames - before;
    result.throughputSeconds = seconds;
    if (result.throughputFrames == 0) {
        result.reason = "no output";
        return result;
    }
    result.fps = double(result.throughputFrames) / seconds;
    result.mbps = double(counter->bytes - bytesBefore) * 8 / double(result.throughputFrames) *
                  std::max<std::uint32_t>(config.fps, 1) / 1e6;
    result.latencyAvgMs = latencies.empty() ? 0 : [&] {
        double sum = 0;
        for (double l : latencies) {
            sum += l;
        }
        return sum / double(latencies.size());
    }();
    result.latencyP95Ms = percentile(latencies, 0.95);
    return result;
}

}  // namespace vel::host
