#include "viewer/nvdec_decoder.h"

// clang-format off
#include <ffnvcodec/dynlink_cuda.h>
#include <ffnvcodec/dynlink_nvcuvid.h>
// clang-format on

#include <algorithm>
#include <mutex>

#include "os/log.h"
#include "stream/cuda_driver.h"

namespace vel::viewer {

using stream::CudaDriver;
using stream::driverSymbol;
using stream::loadCudaDriver;
using stream::openDriverLibrary;
namespace {

// libnvcuvid.so.1's entry points, loaded once per process beside the CUDA driver.
struct NvcuvidLibrary {
    tcuvidGetDecoderCaps* getDecoderCaps = nullptr;
    tcuvidCreateDecoder* createDecoder = nullptr;
    tcuvidDestroyDecoder* destroyDecoder = nullptr;
    tcuvidDecodePicture* decodePicture = nullptr;
    tcuvidCreateVideoParser* createVideoParser = nullptr;
    tcuvidParseVideoData* parseVideoData = nullptr;
    tcuvidDestroyVideoParser* destroyVideoParser = nullptr;
    tcuvidMapVideoFrame64* mapVideoFrame = nullptr;
    tcuvidUnmapVideoFrame64* unmapVideoFrame = nullptr;
    tcuvidCtxLockCreate* ctxLockCreate = nullptr;
    tcuvidCtxLockDestroy* ctxLockDestroy = nullptr;
};

struct Libraries {
    const CudaDriver* cuda = nullptr;
    NvcuvidLibrary cuvid;
};

template <typename Entry>
bool resolve(void* library, const char* name, Entry*& entry) {
    entry = reinterpret_cast<Entry*>(driverSymbol(library, name));
    return entry != nullptr;
}

const Libraries* loadLibraries() {
    static Libraries libraries;
    static bool loaded = false;
    static std::once_flag once;
    std::call_once(once, [] {
        std::string ignored;
        const CudaDriver* cuda = loadCudaDriver(ignored);
        void* module = openDriverLibrary("libnvcuvid.so.1");
        if (!cuda || !module) {
            return;
        }
        NvcuvidLibrary& c = libraries.cuvid;
        loaded = resolve(module, "cuvidGetDecoderCaps", c.getDecoderCaps) &&
                 resolve(module, "cuvidCreateDecoder", c.createDecoder) &&
                 resolve(module, "cuvidDestroyDecoder", c.destroyDecoder) &&
                 resolve(module, "cuvidDecodePicture", c.decodePicture) &&
                 resolve(module, "cuvidCreateVideoParser", c.createVideoParser) &&
                 resolve(module, "cuvidParseVideoData", c.parseVideoData) &&
                 resolve(module, "cuvidDestroyVideoParser", c.destroyVideoParser) &&
                 resolve(module, "cuvidMapVideoFrame64", c.mapVideoFrame) &&
                 resolve(module, "cuvidUnmapVideoFrame64", c.unmapVideoFrame) &&
                 resolve(module, "cuvidCtxLockCreate", c.ctxLockCreate) &&
                 resolve(module, "cuvidCtxLockDestroy", c.ctxLockDestroy);
        libraries.cuda = cuda;
    });
    return loaded ? &libraries : nullptr;
}

// Keeps a CUDA context current on this thread for one scope.
class ContextScope {
  public:
    ContextScope(const CudaDriver* cuda, CUcontext context) : cuda_(cuda) {
        pushed_ = cuda_->cuCtxPushCurrent(context) == CUDA_SUCCESS;
    }
    ~ContextScope() {
        if (pushed_) {
            CUcontext previous = nullptr;
            cuda_->cuCtxPopCurrent(&previous);
        }
    }
    ContextScope(const ContextScope&) = delete;
    ContextScope& operator=(const ContextScope&) = delete;
    bool pushed() const { return pushed_; }

  private:
    const CudaDriver* cuda_;
    bool pushed_ = false;
};

class NvdecDecoder final : public VideoDecoder {
  public:
    ~NvdecDecoder() override { close(); }

    bool open(std::uint8_t codec, int /*mode*/, std::string& error) override {
        close();
        codec_ = codec;
        libs_ = loadLibraries();
        if (!libs_) {
            error = "NVIDIA CUDA/NVDEC libraries are not available";
            return false;
        }
        const CudaDriver* cuda = libs_->cuda;
        if (CUresult s = cuda->cuInit(0); s != CUDA_SUCCESS) {
            error = "NVIDIA CUDA did not initialise (" + cuda->errorText(s) + ")";
            return false;
        }
        int driverVersion = 0;
        int count = 0;
        cuda->cuDriverGetVersion(&driverVersion);
        if (cuda->cuDeviceGetCount(&count) != CUDA_SUCCESS || count == 0 ||
            cuda->cuDeviceGet(&device_, 0) != CUDA_SUCCESS) {
            error = "no CUDA device";
            return false;
        }
        char deviceName[256] = {};
        cuda->cuDeviceGetName(deviceName, sizeof deviceName - 1, device_);
        int major = 0;
        int minor = 0;
        cuda->cuDeviceGetAttribute(&major, CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR, device_);
        cuda->cuDeviceGetAttribute(&minor, CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR, device_);
        Log(LogLevel::Info, "nvdec: CUDA driver %d, %d device(s), dev0 '%s' cc %d.%d",
            driverVersion, count, deviceName, major, minor);
        if (!createContext(error)) {
            return false;
        }
        bool ready = false;
        {
            ContextScope scope(cuda, context_);
            if (!scope.pushed()) {
                error = "CUDA context could not be made current";
            } else {
                ready = startParser(error);
            }
        }
        if (!ready) {
            close();
            return false;
        }
        name_ = std::string("NVIDIA NVDEC (") + deviceName + ")";
        return true;
    }

    bool decode(std::span<const std::uint8_t> data, std::int64_t timestampUs, bool /*keyframe*/,
                std::vector<DecodedFrame>& frames) override {
        if (!parser_ || data.empty()) {
            return false;
        }
        ContextScope scope(libs_->cuda, context_);
        CUVIDSOURCEDATAPACKET packet{};
        packet.flags = CUVID_PKT_TIMESTAMP;
        packet.payload_size = static_cast<unsigned long>(data.size());
        packet.payload = data.data();
        packet.timestamp = timestampUs;
        ready_ = &frames;
        CUresult status = libs_->cuvid.parseVideoData(parser_, &packet);
        ready_ = nullptr;
        if (status != CUDA_SUCCESS) {
            Log(LogLevel::Warn, "nvdec: cuvidParseVideoData failed (%s)",
                libs_->cuda->errorText(status).c_str());
            return false;
        }
        return true;
    }

    void flush() override {
        // A parser holds no pictures back (display delay 0); a discontinuity flag resets its state.
        if (parser_) {
            ContextScope scope(libs_->cuda, context_);
            CUVIDSOURCEDATAPACKET packet{};
            packet.flags = CUVID_PKT_DISCONTINUITY;
            libs_->cuvid.parseVideoData(parser_, &packet);
        }
    }

    std::string name() const override { return name_; }
    bool isHardware() const override { return true; }
    std::uint8_t codec() const override { return codec_; }

  private:
    // Capabilities, the context lock and the parser, with the context current.
    bool startParser(std::string& error) {
        CUVIDDECODECAPS caps{};
        caps.eCodecType = cudaCodec();
        caps.eChromaFormat = cudaVideoChromaFormat_420;
        caps.nBitDepthMinus8 = 0;
        if (CUresult s = libs_->cuvid.getDecoderCaps(&caps); s != CUDA_SUCCESS) {
            error = "cuvidGetDecoderCaps failed (" + libs_->cuda->errorText(s) + ")";
            return false;
        }
        if (!caps.bIsSupported) {
            error = "this GPU's NVDEC does not decode this codec";
            return false;
        }
        Log(LogLevel::Info, "nvdec: %s supported, max %ux%u",
            codec_ == kCodecHevc ? "HEVC" : "H.264", caps.nMaxWidth, caps.nMaxHeight);
        if (libs_->cuvid.ctxLockCreate(&lock_, context_) != CUDA_SUCCESS) {
            lock_ = nullptr;
            error = "cuvidCtxLockCreate failed";
            return false;
        }
        CUVIDPARSERPARAMS parser{};
        parser.CodecType = cudaCodec();
        parser.ulMaxNumDecodeSurfaces = 1;  // raised by the sequence callback
        parser.ulMaxDisplayDelay = 0;       // every picture is shown as soon as it is decoded
        parser.pUserData = this;
        parser.pfnSequenceCallback = [](void* self, CUVIDEOFORMAT* format) {
            return static_cast<NvdecDecoder*>(self)->onSequence(format);
        };
        parser.pfnDecodePicture = [](void* self, CUVIDPICPARAMS* picture) {
            return static_cast<NvdecDecoder*>(self)->onDecode(picture);
        };
        parser.pfnDisplayPicture = [](void* self, CUVIDPARSERDISPINFO* info) {
            return static_cast<NvdecDecoder*>(self)->onDisplay(info);
        };
        if (libs_->cuvid.createVideoParser(&parser_, &parser) != CUDA_SUCCESS) {
            parser_ = nullptr;
            error = "cuvidCreateVideoParser failed";
            return false;
        }
        return true;
    }

    cudaVideoCodec cudaCodec() const {
        return codec_ == kCodecHevc ? cudaVideoCodec_HEVC : cudaVideoCodec_H264;
    }

    bool createContext(std::string& error) {
        const CudaDriver* cuda = libs_->cuda;
        CUresult primary = cuda->cuDevicePrimaryCtxRetain(&context_, device_);
        if (primary == CUDA_SUCCESS) {
            primaryContext_ = true;
            Log(LogLevel::Info, "nvdec: got %s CUDA context", "primary");
            return true;
        }
        CUresult priv = cuda->cuCtxCreate(&context_, 0, device_);
        if (priv != CUDA_SUCCESS) {
            context_ = nullptr;
            error = "CUDA context creation failed: primary ctx: " + cuda->errorText(primary) +
                    "; cuCtxCreate: " + cuda->errorText(priv);
            return false;
        }
        CUcontext previous = nullptr;
        cuda->cuCtxPopCurrent(&previous);
        Log(LogLevel::Info, "nvdec: got %s CUDA context", "private");
        return true;
    }

    int onSequence(CUVIDEOFORMAT* format) {
        const int surfaces = std::max<int>(format->min_num_decode_surfaces, 1) + 2;
        if (decoder_) {
            libs_->cuvid.destroyDecoder(decoder_);
            decoder_ = nullptr;
        }
        CUVIDDECODECREATEINFO info{};
        info.ulWidth = format->coded_width;
        info.ulHeight = format->coded_height;
        info.ulMaxWidth = format->coded_width;
        info.ulMaxHeight = format->coded_height;
        info.ulNumDecodeSurfaces = static_cast<unsigned long>(surfaces);
        info.CodecType = format->codec;
        info.ChromaFormat = format->chroma_format;
        info.bitDepthMinus8 = format->bit_depth_luma_minus8;
        info.ulCreationFlags = cudaVideoCreate_PreferCUVID;
        info.OutputFormat = cudaVideoSurfaceFormat_NV12;
        info.DeinterlaceMode = cudaVideoDeinterlaceMode_Weave;
        info.display_area.left = static_cast<short>(format->display_area.left);
        info.display_area.top = static_cast<short>(format->display_area.top);
        info.display_area.right = static_cast<short>(format->display_area.right);
        info.display_area.bottom = static_cast<short>(format->display_area.bottom);
        width_ = (format->display_area.right - format->display_area.left) & ~1;
        height_ = (format->display_area.bottom - format->display_area.top) & ~1;
        info.ulTargetWidth = static_cast<unsigned long>(width_);
        info.ulTargetHeight = static_cast<unsigned long>(height_);
        info.ulNumOutputSurfaces = 2;
        info.vidLock = lock_;
        if (libs_->cuvid.createDecoder(&decoder_, &info) != CUDA_SUCCESS) {
            decoder_ = nullptr;
            Log(LogLevel::Warn, "nvdec: cuvidCreateDecoder failed (%dx%d)",
                static_cast<int>(format->coded_width), static_cast<int>(format->coded_height));
            return 0;
        }
        return surfaces;
    }

    int onDecode(CUVIDPICPARAMS* picture) {
        if (!decoder_ || libs_->cuvid.decodePicture(decoder_, picture) != CUDA_SUCCESS) {
            Log(LogLevel::Warn, "nvdec: cuvidDecodePicture failed");
            return 0;
        }
        return 1;
    }

    int onDisplay(CUVIDPARSERDISPINFO* info) {
        if (!decoder_ || !ready_) {
            return 0;
        }
        CUVIDPROCPARAMS params{};
        params.progressive_frame = info->progressive_frame;
        params.top_field_first = info->top_field_first;
        unsigned long long surface = 0;
        unsigned int pitch = 0;
        if (libs_->cuvid.mapVideoFrame(decoder_, info->picture_index, &surface, &pitch, &params) !=
            CUDA_SUCCESS) {
            Log(LogLevel::Warn, "nvdec: cuvidMapVideoFrame64 failed");
            return 0;
        }
        DecodedFrame frame;
        frame.width = width_;
        frame.height = height_;
        frame.timestampUs = info->timestamp;
        frame.nv12.resize(std::size_t(width_) * height_ * 3 / 2);
        // The chroma plane follows the luma plane of the surface's (even) height.
        bool copied = copyPlane(surface, pitch, frame.nv12.data(), height_) &&
                      copyPlane(surface + std::size_t(pitch) * ((height_ + 1) & ~1), pitch,
                                frame.nv12.data() + std::size_t(width_) * height_, height_ / 2);
        libs_->cuvid.unmapVideoFrame(decoder_, surface);
        if (!copied) {
            Log(LogLevel::Warn, "nvdec: cuMemcpy2D failed");
            return 0;
        }
        ready_->push_back(std::move(frame));
        return 1;
    }

    bool copyPlane(unsigned long long source, unsigned int pitch, std::uint8_t* target,
                   int rows) const {
        CUDA_MEMCPY2D copy{};
        copy.srcMemoryType = CU_MEMORYTYPE_DEVICE;
        copy.srcDevice = source;
        copy.srcPitch = pitch;
        copy.dstMemoryType = CU_MEMORYTYPE_HOST;
        copy.dstHost = target;
        copy.dstPitch = static_cast<std::size_t>(width_);
        copy.WidthInBytes = static_cast<std::size_t>(width_);
        copy.Height = static_cast<std::size_t>(rows);
        return libs_->cuda->cuMemcpy2D(&copy) == CUDA_SUCCESS;
    }

    void close() {
        if (!libs_) {
            return;
        }
        if (parser_) {
            libs_->cuvid.destroyVideoParser(parser_);
            parser_ = nullptr;
        }
        if (decoder_) {
            ContextScope scope(libs_->cuda, context_);
            libs_->cuvid.destroyDecoder(decoder_);
            decoder_ = nullptr;
        }
        if (lock_) {
            libs_->cuvid.ctxLockDestroy(lock_);
            lock_ = nullptr;
        }
        if (context_) {
            if (primaryContext_) {
                libs_->cuda->cuDevicePrimaryCtxRelease(device_);
            } else {
                libs_->cuda->cuCtxDestroy(context_);
            }
            context_ = nullptr;
            primaryContext_ = false;
        }
    }

    std::uint8_t codec_ = kCodecHevc;
    std::string name_;
    const Libraries* libs_ = nullptr;
    CUdevice device_ = 0;
    CUcontext context_ = nullptr;
    bool primaryContext_ = false;
    CUvideoctxlock lock_ = nullptr;
    CUvideoparser parser_ = nullptr;
    CUvideodecoder decoder_ = nullptr;
    int width_ = 0;
    int height_ = 0;
    std::vector<DecodedFrame>* ready_ = nullptr;  // the caller's list while a unit is parsed
};

}  // namespace

std::unique_ptr<VideoDecoder> makeNvdecDecoder() {
    return std::make_unique<NvdecDecoder>();
}

std::string nvdecLibraryReason() {
    return loadLibraries() ? std::string() : "NVIDIA NVDEC libraries are not present";
}

}  // namespace vel::viewer
