// Frames delivered intact per 1,000 through random loss, with and without NACK repair, in
// simulated time: the host's FrameSender and the viewer's FrameAssembler exchange fragments,
// NACKs and repairs over a path with 20 ms one-way delay, where each datagram is lost with the
// given probability. No clock is read, so the figures are the same on every machine.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <map>
#include <vector>

#include "stream/frame_assembler.h"
#include "stream/frame_sender.h"
#include "stream/network_emulation.h"

namespace {

using namespace vel::stream;

constexpr std::int64_t kOneWay = 20000;
constexpr std::int64_t kFrameInterval = 16667;
constexpr std::int64_t kPacketSpacing = 50;  // a paced burst: 1,200 bytes per 50 us
constexpr int kFrames = 1000;

FrameShard shardOf(std::span<const std::uint8_t> body) {
    VideoFragmentHeader h;
    FrameShard s;
    if (!decodeVideoFragment(body, h, s.data)) return s;
    s.frameId = h.frameId;
    s.flags = h.flags;
    s.codec = h.codec;
    s.blockIndex = h.blockIndex;
    s.blockCount = h.blockCount;
    s.shardIndex = h.shardIndex;
    s.dataShards = h.dataShards;
    s.parityShards = h.parityShards;
    s.frameSize = h.frameSize;
    s.blockSize = h.blockSize;
    s.shardSize = h.shardSize;
    s.captureTimestamp = h.captureTimestamp;
    return s;
}

struct Result {
    int intact = 0;
    std::uint64_t repairs = 0;
};

// learned: the FEC ratio follows the loss as the rate controller smooths it (2 x loss + 0.1,
// at most 0.3); otherwise it stays at the profile's minimum of 0.1, as before any feedback.
Result simulate(double loss, bool nack, bool learned) {
    NetworkEmulation settings;
    settings.loss = loss;
    NetworkEmulator path(settings);
    FrameSender sender;
    FrameAssembler assembler;
    // Datagrams in flight, by arrival time: fragment bodies toward the viewer, NACKs back.
    std::multimap<std::int64_t, std::vector<std::uint8_t>> toViewer;
    std::multimap<std::int64_t, NackRequest> toHost;
    std::vector<std::vector<std::uint8_t>> frames;
    std::vector<AssembledFrame> ready;
    Result result;
    const auto deliver = [&] {
        for (AssembledFrame& frame : ready) {
            if (frame.frameId < frames.size() && frame.data == frames[frame.frameId])
                ++result.intact;
        }
        ready.clear();
    };
    const auto send = [&](std::span<const std::uint8_t> body, std::int64_t at) {
        if (const auto due = path.admit(body.size() + 29, at)) {
            toViewer.emplace(*due + kOneWay, std::vector<std::uint8_t>(body.begin(), body.end()));
        }
    };
    const std::int64_t end = kFrames * kFrameInterval + 2000000;
    for (std::int64_t now = 0; now < end; now += 1000) {
        if (now % kFrameInterval < 1000 && static_cast<int>(frames.size()) < kFrames) {
            const auto index = frames.size();
            // 20-60 KB frames, a keyframe of 150 KB every 120.
            const std::size_t size = index % 120 == 0 ? 150000 : 20000 + (index * 7919) % 40000;
            frames.emplace_back(size, static_cast<std::uint8_t>(index));
            VideoFrameInfo info;
            info.keyframe = index % 120 == 0;
            std::int64_t at = now;
            (void)sender.send(frames.back(), info,
                              fecRatio(learned ? loss : 0, 0.1, 0.3, info.keyframe),
                              [&](std::span<const std::uint8_t> body) {
                                  send(body, at);
                                  at += kPacketSpacing;
                              });
        }
        for (auto it = toViewer.begin(); it != toViewer.end() && it->first <= now;) {
            assembler.add(shardOf(it->second), it->first, ready);
            it = toViewer.erase(it);
        }
        for (auto it = toHost.begin(); it != toHost.end() && it->first <= now;) {
            std::vector<std::uint8_t> pairs;
            for (const auto& [block, shard] : it->second.shards)
                pairs.insert(pairs.end(), {block, shard});
            std::int64_t at = it->first;
            result.repairs += sender.repair(it->second.frameId, pairs, 20000000, at,
                                            [&](std::span<const std::uint8_t> body) {
                                                send(body, at);
                                                at += kPacketSpacing;
                                            });
            it = toHost.erase(it);
        }
        std::vector<NackRequest> nacks;
        assembler.runTimers(now, 2 * kOneWay, nacks, ready);
        if (nack) {
            for (NackRequest& request : nacks) {
                if (path.admit(64, now)) toHost.emplace(now + kOneWay, std::move(request));
            }
        }
        deliver();
    }
    return result;
}

void delivery(benchmark::State& state, double loss, bool nack, bool learned) {
    Result result;
    for (auto _ : state) result = simulate(loss, nack, learned);
    state.counters["intact_per_1000"] = result.intact * 1000.0 / kFrames;
    state.counters["repaired_fragments"] = static_cast<double>(result.repairs);
}

}  // namespace

#define DELIVERY(id, loss, nack, learned, name) \
    BENCHMARK_CAPTURE(delivery, id, loss, nack, learned)->Name(name)->Iterations(1)
DELIVERY(a, 0.05, true, true, "frames intact, 5% loss, FEC 0.2 + NACK");
DELIVERY(b, 0.05, false, true, "frames intact, 5% loss, FEC 0.2 only");
DELIVERY(c, 0.10, true, true, "frames intact, 10% loss, FEC 0.3 + NACK");
DELIVERY(d, 0.10, false, true, "frames intact, 10% loss, FEC 0.3 only");
DELIVERY(e, 0.05, true, false, "frames intact, 5% loss, FEC 0.1 + NACK");
DELIVERY(f, 0.05, false, false, "frames intact, 5% loss, FEC 0.1 only");
DELIVERY(g, 0.10, true, false, "frames intact, 10% loss, FEC 0.1 + NACK");
DELIVERY(h, 0.10, false, false, "frames intact, 10% loss, FEC 0.1 only");
