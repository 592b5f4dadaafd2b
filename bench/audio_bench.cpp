// Audio: IMA ADPCM encode + decode of stereo audio beside FFmpeg's IMA ADPCM (WAV)
// coder on the same signal, and the capture thread's CPU time per second of audio: its conversion
// alone (an in-memory server handing out 44.1 kHz float packets as fast as it is asked) and the
// whole thread on a private PulseAudio daemon in real time.
#include <benchmark/benchmark.h>
#include <time.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include <cmath>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "media/adpcm.h"
#include "media/audio_block.h"
#include "media/audio_capture.h"
#include "media/fake_audio_system.h"
#include "media/pulse_daemon.h"

namespace {

using namespace vel::media;

constexpr int kSecondFrames = 48000;

// One second of speech-like stereo: two tones and a little noise.
std::vector<std::int16_t> oneSecond() {
    std::vector<std::int16_t> out(kSecondFrames * 2);
    unsigned noise = 1;
    for (int f = 0; f < kSecondFrames; ++f) {
        noise = noise * 1103515245 + 12345;
        const double t = f / 48000.0;
        const double n = static_cast<int>((noise >> 16) % 2001) - 1000;
        out[f * 2] = static_cast<std::int16_t>(9000 * std::sin(2 * M_PI * 220 * t) + n);
        out[f * 2 + 1] = static_cast<std::int16_t>(7000 * std::sin(2 * M_PI * 1330 * t) + n);
    }
    return out;
}

void adpcmEncodeDecode(benchmark::State& state) {
    const auto input = oneSecond();
    for (auto _ : state) {
        AdpcmEncoderState coder;
        DecodedAudio audio;
        for (int b = 0; b < kSecondFrames / 480; ++b) {
            const auto block =
                encodeAdpcmBlock(input.data() + b * kBlockSamples, kBlockFrames, coder);
            if (!decodeAudioBlock(kAudioCodecAdpcm, block.data(), block.size(), audio)) {
                state.SkipWithError("block refused");
            }
            benchmark::DoNotOptimize(audio.samples.data());
        }
    }
    state.SetItemsProcessed(state.iterations() * kSecondFrames);
}
BENCHMARK(adpcmEncodeDecode)->Name("ADPCM encode+decode, stereo frames");

struct CodecFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

std::unique_ptr<AVCodecContext, CodecFree> openCodec(const AVCodec* codec, int blockAlign,
                                                     int bitsPerCodedSample) {
    std::unique_ptr<AVCodecContext, CodecFree> c(avcodec_alloc_context3(codec));
    if (!c) throw std::runtime_error("avcodec_alloc_context3");
    c->sample_rate = 48000;
    c->sample_fmt = AV_SAMPLE_FMT_S16P;
    av_channel_layout_default(&c->ch_layout, 2);
    c->block_align = blockAlign;
    c->bits_per_coded_sample = bitsPerCodedSample;
    if (avcodec_open2(c.get(), codec, nullptr) < 0) throw std::runtime_error("avcodec_open2");
    return c;
}

void ffmpegImaEncodeDecode(benchmark::State& state) {
    const auto input = oneSecond();
    auto encoder = openCodec(avcodec_find_encoder(AV_CODEC_ID_ADPCM_IMA_WAV), 0, 0);
    auto decoder = openCodec(avcodec_find_decoder(AV_CODEC_ID_ADPCM_IMA_WAV), encoder->block_align,
                             encoder->bits_per_coded_sample);
    const int frameSize = encoder->frame_size;
    const int packets = kSecondFrames / frameSize;
    std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc()), decoded(av_frame_alloc());
    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    frame->nb_samples = frameSize;
    frame->format = AV_SAMPLE_FMT_S16P;
    av_channel_layout_default(&frame->ch_layout, 2);
    if (av_frame_get_buffer(frame.get(), 0) < 0) throw std::runtime_error("av_frame_get_buffer");
    // FFmpeg's coder takes planar input; the split is made once, outside the measurement.
    std::vector<std::vector<std::int16_t>> planar(packets,
                                                  std::vector<std::int16_t>(frameSize * 2));
    for (int p = 0; p < packets; ++p) {
        for (int f = 0; f < frameSize; ++f) {
            planar[p][f] = input[(p * frameSize + f) * 2];
            planar[p][frameSize + f] = input[(p * frameSize + f) * 2 + 1];
        }
    }
    for (auto _ : state) {
        for (int p = 0; p < packets; ++p) {
            std::memcpy(frame->data[0], planar[p].data(), frameSize * 2);
            std::memcpy(frame->data[1], planar[p].data() + frameSize, frameSize * 2);
            if (avcodec_send_frame(encoder.get(), frame.get()) < 0 ||
                avcodec_receive_packet(encoder.get(), packet.get()) < 0 ||
                avcodec_send_packet(decoder.get(), packet.get()) < 0 ||
                avcodec_receive_frame(decoder.get(), decoded.get()) < 0) {
                state.SkipWithError("FFmpeg coder failed");
                return;
            }
            benchmark::DoNotOptimize(decoded->data[0]);
            av_packet_unref(packet.get());
        }
    }
    state.SetItemsProcessed(state.iterations() * packets * frameSize);
}
BENCHMARK(ffmpegImaEncodeDecode)->Name("ADPCM encode+decode, stereo frames | FFmpeg adpcm_ima_wav");

double threadCpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// CPU time of a capture thread between its first and its last block, per second of audio.
struct CpuMeter {
    std::mutex mutex;
    int blocks = 0;    // guarded by mutex
    double first = 0;  // guarded by mutex
    double last = 0;   // guarded by mutex

    AudioBlockCallback callback() {
        return [this](const std::int16_t*, std::size_t, std::int64_t) {
            const double now = threadCpuSeconds();
            std::lock_guard lock(mutex);
            if (blocks++ == 0) first = now;
            last = now;
        };
    }
    int count() {
        std::lock_guard lock(mutex);
        return blocks;
    }
    double perSecondOfAudio() {
        std::lock_guard lock(mutex);
        return blocks > 1 ? (last - first) / ((blocks - 1) / 100.0) : 0.0;
    }
};

void captureConversion(benchmark::State& state) {
    std::vector<float> packet(441 * 2);
    for (int f = 0; f < 441; ++f) packet[f * 2] = packet[f * 2 + 1] = std::sin(f * 0.06f) * 0.4f;
    std::vector<std::uint8_t> bytes(packet.size() * 4);
    std::memcpy(bytes.data(), packet.data(), bytes.size());
    for (auto _ : state) {
        test::FakeAudioSystem system;
        system.captureFormat = {44100, 2, 32, true};
        for (int p = 0; p < 1000; ++p) system.queuePacket(bytes);  // ten seconds
        CpuMeter meter;
        AudioCaptureContext context;
        context.system = &system;
        context.onBlock = meter.callback();
        std::thread thread([&] { audioCaptureThread(context); });
        while (meter.count() < 1000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        context.stop = true;
        thread.join();
        state.SetIterationTime(meter.perSecondOfAudio());
    }
}
BENCHMARK(captureConversion)
    ->Name("capture conversion 44.1 kHz float to 48 kHz blocks, CPU per second of audio")
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

void captureOnPulseAudio(benchmark::State& state) {
    test::PulseDaemon daemon;
    if (!daemon.unavailable().empty()) {
        state.SkipWithError(daemon.unavailable().c_str());
        return;
    }
    for (auto _ : state) {
        CpuMeter meter;
        AudioCaptureContext context;
        context.onBlock = meter.callback();
        std::thread thread([&] { audioCaptureThread(context); });
        std::this_thread::sleep_for(std::chrono::seconds(3));
        context.stop = true;
        thread.join();
        if (!context.startupError.empty()) state.SkipWithError(context.startupError.c_str());
        state.SetIterationTime(meter.perSecondOfAudio());
    }
}
BENCHMARK(captureOnPulseAudio)
    ->Name("capture thread on PulseAudio (44.1 kHz float monitor), CPU per second of audio")
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
