#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "host/bench_pattern.h"
#include "host/encoder_bench.h"
#include "host/encoder_selection.h"
#include "host/gpu_converter.h"
#include "host/stream_commands.h"
#include "host/stream_options.h"
#include "os/log.h"
#include "viewer/decoder_selection.h"

namespace vel::host {
namespace {

const char* codecText(VideoCodec codec) {
    return codec == VideoCodec::Hevc ? "HEVC" : "H.264";
}

void listAll() {
    for (const VideoCodec codec : {VideoCodec::H264, VideoCodec::Hevc}) {
        std::printf("%s encoders:\n", codecText(codec));
        const std::vector<EncoderListEntry> entries = listEncoders(codec);
        for (const EncoderListEntry& entry : entries)
            std::printf("  %-6s %-9s %s\n", encoderBackendName(entry.backend),
                        entry.hardware ? "hardware" : "software", entry.name.c_str());
        if (entries.empty()) std::printf("  (none)\n");
        const bool decodes =
            viewer::decoderAvailability(static_cast<std::uint8_t>(codec), 0).empty();
        std::printf("  decoder: %s\n", decodes ? "available" : "none");
    }
    std::printf("\n'encoders --bench [--width W --height H] [--hevc]' measures each backend.\n");
}

void bench(int width, int height, VideoCodec codec) {
    std::printf("\nbenchmark: %s %dx%d, 10 Mbit/s, fastest preset, synthetic moving content\n",
                codecText(codec), width, height);
    Log(LogLevel::Info, "encoder benchmark: %s %dx%d", codecText(codec), width, height);
    const std::vector<std::vector<std::uint8_t>> frames = makeBenchFrames(width, height, 8);
    std::printf("\n%-7s %-8s %9s %9s %8s %8s  %s\n", "backend", "input", "lat avg", "lat p95",
                "fps", "Mbit/s", "encoder");
    for (const EncoderBackend backend :
         {EncoderBackend::Nvenc, EncoderBackend::MfHw, EncoderBackend::MfSw}) {
        const char* name = encoderBackendName(backend);
        // Captures here are memory images; no backend is handed textures.
        std::printf("%-7s %-8s %s\n", name, "texture", "does not take textures");
        EncoderConfig config;
        config.width = static_cast<std::uint32_t>(width);
        config.height = static_cast<std::uint32_t>(height);
        config.fps = 60;
        config.bitrate = 10'000'000;
        config.codec = codec;
        config.speed = 2;
        config.backend = backend;
        config.allowHardware = backend != EncoderBackend::MfSw;
        config.hardwareOnly = backend != EncoderBackend::MfSw;
        const BenchResult r = benchOne(config, frames);
        if (!r.reason.empty()) {
            std::printf("%-7s %-8s %s\n", name, "memory", r.reason.c_str());
            continue;
        }
        const std::string held =
            r.heldBack > 0 ? " (held back " + std::to_string(r.heldBack) + ")" : "";
        std::printf("%-7s %-8s %6.1f ms %6.1f ms %8.1f %8.1f  %s%s\n", name, "memory",
                    r.latencyAvgMs, r.latencyP95Ms, r.fps, r.mbps, r.encoder.c_str(), held.c_str());
        Log(LogLevel::Info, "bench %s %s: latency %.1f/%.1f ms, %.1f fps, %s", name, "memory",
            r.latencyAvgMs, r.latencyP95Ms, r.fps, r.encoder.c_str());
    }
    std::printf("\nlat = one frame in, wait for it (what a stream feels); fps = pipelined "
                "throughput.\n");
    GpuConverter converter;
    std::string why;
    if (!converter.init(static_cast<unsigned>(width), static_cast<unsigned>(height), width, height,
                        why))
        std::printf("\nvideo processor: unavailable (%s)\n", why.c_str());
}

}  // namespace

int CmdEncoders(int argc, char** argv) {
    StreamOptions args(argc, argv, 3);
    const bool runBench = args.flag("--bench");
    const int width = std::clamp(args.number("--width", 1920), 320, 7680) & ~1;
    const int height = std::clamp(args.number("--height", 1080), 240, 4320) & ~1;
    const VideoCodec codec = args.flag("--hevc") ? VideoCodec::Hevc : VideoCodec::H264;
    if (auto extra = args.unknown()) {
        std::printf("unknown option: %s\n", extra->c_str());
        return 2;
    }
    if (runBench)
        bench(width, height, codec);
    else
        listAll();
    return 0;
}

}  // namespace vel::host
