// Host media figures: colour conversion and scaling beside libswscale on the same frames, and one
// 1080p capture by shared memory beside XGetImage under a private Xvfb.
#include <benchmark/benchmark.h>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <X11/Xlib.h>
#undef CursorShape

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "host/pixel_convert.h"
#include "host/pixel_kernels.h"
#include "host/x11_capture.h"
#include "support/xvfb.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A desktop-like frame: flat areas with text-like noise, not pure random bytes.
Bytes frame(int width, int height) {
    std::mt19937 rng(7);
    Bytes b(static_cast<std::size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = &b[(static_cast<std::size_t>(y) * width + x) * 4];
            const bool ink = (rng() & 15) == 0;
            p[0] = ink ? 20 : static_cast<std::uint8_t>(x / 8);
            p[1] = ink ? 20 : static_cast<std::uint8_t>(y / 5);
            p[2] = ink ? 20 : static_cast<std::uint8_t>((x + y) / 12);
            p[3] = 255;
        }
    return b;
}

struct SwsDeleter {
    void operator()(SwsContext* c) const { sws_freeContext(c); }
};

void BgraToNv12(benchmark::State& state) {
    const Bytes src = frame(1920, 1080);
    Bytes nv12;
    for (auto _ : state) {
        vel::host::bgraToNv12(src.data(), 1920 * 4, 1920, 1080, nv12);
        benchmark::DoNotOptimize(nv12.data());
    }
    state.SetLabel(vel::host::pixelKernelName());
}

// Point sampling is libswscale's fastest flag for an unscaled conversion (bilinear costs it half
// as much again); the matrix is set to BT.709 video range like ours.
// Each kernel on its own, to see what the vectors buy.
void Nv12Kernel(benchmark::State& state, vel::host::kernels::Nv12Kernel kernel, bool present) {
    if (!present) {
        state.SkipWithError("the processor lacks this instruction set");
        return;
    }
    const Bytes src = frame(1920, 1080);
    Bytes nv12(1920 * 1080 * 3 / 2);
    for (auto _ : state) {
        kernel(src.data(), 1920 * 4, 1920, 1080, nv12.data(), nv12.data() + 1920 * 1080);
        benchmark::DoNotOptimize(nv12.data());
    }
}

void ScaleKernel(benchmark::State& state, vel::host::kernels::ScaleKernel kernel, bool present) {
    if (!present) {
        state.SkipWithError("the processor lacks this instruction set");
        return;
    }
    const Bytes src = frame(2560, 1440);
    Bytes dst(1920 * 1080 * 4);
    for (auto _ : state) {
        kernel(src.data(), 2560, 1440, dst.data(), 1920, 1080);
        benchmark::DoNotOptimize(dst.data());
    }
}

void SwscaleBgraToNv12(benchmark::State& state) {
    const Bytes src = frame(1920, 1080);
    Bytes nv12(1920 * 1080 * 3 / 2);
    std::unique_ptr<SwsContext, SwsDeleter> ctx(sws_getContext(1920, 1080, AV_PIX_FMT_BGRA, 1920,
                                                               1080, AV_PIX_FMT_NV12, SWS_POINT,
                                                               nullptr, nullptr, nullptr));
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    sws_setColorspaceDetails(ctx.get(), bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
    const std::uint8_t* in[1] = {src.data()};
    const int inPitch[1] = {1920 * 4};
    std::uint8_t* out[2] = {nv12.data(), nv12.data() + 1920 * 1080};
    const int outPitch[2] = {1920, 1920};
    for (auto _ : state) {
        sws_scale(ctx.get(), in, inPitch, 0, 1080, out, outPitch);
        benchmark::DoNotOptimize(nv12.data());
    }
}

void ScaleBilinear(benchmark::State& state) {
    const Bytes src = frame(2560, 1440);
    Bytes dst(1920 * 1080 * 4);
    for (auto _ : state) {
        vel::host::scaleBgraBilinear(src.data(), 2560, 1440, dst.data(), 1920, 1080);
        benchmark::DoNotOptimize(dst.data());
    }
    state.SetLabel(vel::host::pixelKernelName());
}

void SwscaleBilinear(benchmark::State& state) {
    const Bytes src = frame(2560, 1440);
    Bytes dst(1920 * 1080 * 4);
    std::unique_ptr<SwsContext, SwsDeleter> ctx(sws_getContext(2560, 1440, AV_PIX_FMT_BGRA, 1920,
                                                               1080, AV_PIX_FMT_BGRA, SWS_BILINEAR,
                                                               nullptr, nullptr, nullptr));
    const std::uint8_t* in[1] = {src.data()};
    const int inPitch[1] = {2560 * 4};
    std::uint8_t* out[1] = {dst.data()};
    const int outPitch[1] = {1920 * 4};
    for (auto _ : state) {
        sws_scale(ctx.get(), in, inPitch, 0, 1440, out, outPitch);
        benchmark::DoNotOptimize(dst.data());
    }
}

// One new 1080p image per iteration: a client paints one pixel, the capture reads the frame.
void Capture(benchmark::State& state, std::unique_ptr<vel::host::ScreenCapture> (*factory)()) {
    vel::test::Xvfb server;
    std::string why;
    if (!server.start(1920, 1080, why)) {
        state.SkipWithError(why.c_str());
        return;
    }
    Display* painter = XOpenDisplay(nullptr);
    GC gc = XCreateGC(painter, DefaultRootWindow(painter), 0, nullptr);
    auto capture = factory();
    if (!capture->open({}, why)) {
        state.SkipWithError(why.c_str());
        XCloseDisplay(painter);
        return;
    }
    vel::host::CapturedFrame out;
    unsigned long colour = 0;
    for (auto _ : state) {
        state.PauseTiming();
        XSetForeground(painter, gc, ++colour & 0xFFFFFF);
        XDrawPoint(painter, DefaultRootWindow(painter), gc, 5, 5);
        XSync(painter, False);
        state.ResumeTiming();
        if (capture->captureFrame(1000, out) != vel::host::CaptureResult::Frame) {
            state.SkipWithError("no frame");
            break;
        }
        benchmark::DoNotOptimize(out.pixels);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 1920 * 1080 * 4);
    capture.reset();
    XFreeGC(painter, gc);
    XCloseDisplay(painter);
}

void CaptureShm(benchmark::State& state) {
    Capture(state, vel::host::newShmCapture);
}
void CaptureGetImage(benchmark::State& state) {
    Capture(state, vel::host::newGetImageCapture);
}

}  // namespace

BENCHMARK(BgraToNv12)->Name("bgraToNv12 1920x1080")->Unit(benchmark::kMicrosecond);
BENCHMARK(SwscaleBgraToNv12)
    ->Name("bgraToNv12 1920x1080 | libswscale")
    ->Unit(benchmark::kMicrosecond);
namespace k = vel::host::kernels;
BENCHMARK_CAPTURE(Nv12Kernel, scalar, k::bgraToNv12Scalar, true)
    ->Name("bgraToNv12 1920x1080 scalar kernel")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Nv12Kernel, sse41, k::bgraToNv12Sse41, k::cpuHasSse41())
    ->Name("bgraToNv12 1920x1080 SSE4.1 kernel")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(ScaleKernel, scalar, k::scaleBilinearScalar, true)
    ->Name("scaleBgraBilinear 2560x1440->1920x1080 scalar kernel")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(ScaleKernel, sse41, k::scaleBilinearSse41, k::cpuHasSse41())
    ->Name("scaleBgraBilinear 2560x1440->1920x1080 SSE4.1 kernel")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(ScaleBilinear)
    ->Name("scaleBgraBilinear 2560x1440->1920x1080")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(SwscaleBilinear)
    ->Name("scaleBgraBilinear 2560x1440->1920x1080 | libswscale bilinear")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(CaptureShm)->Name("capture 1920x1080 X11 MIT-SHM")->Unit(benchmark::kMicrosecond);
BENCHMARK(CaptureGetImage)
    ->Name("capture 1920x1080 X11 MIT-SHM | X11 GetImage")
    ->Unit(benchmark::kMicrosecond);
