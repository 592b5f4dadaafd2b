#include "host/nvenc_encoder.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "host/annex_b.h"
#include "host/frame_queue.h"
#include "host/nvenc_library.h"
#include "os/log.h"
#include "stream/cuda_driver.h"

namespace vel::host {

using stream::CudaDriver;
using stream::loadCudaDriver;
namespace {

bool sameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

const GUID& presetGuid(int preset) {
    return preset == 5   ? NV_ENC_PRESET_P5_GUID
           : preset == 3 ? NV_ENC_PRESET_P3_GUID
                         : NV_ENC_PRESET_P1_GUID;
}

class NvencEncoder final : public VideoEncoder {
  public:
    ~NvencEncoder() override { teardown(); }

    bool open(const EncoderConfig& config, std::string& error,
              EncodedFrameCallback output) override {
        teardown();
        config_ = config;
        output_ = std::move(output);
        library_ = loadNvencLibrary(error);
        if (!library_) {
            return false;
        }
        api_ = &library_->api;
        if (!openCuda(error)) {
            teardown();
            return false;
        }
        // The session and its buffers are made with the context current; the worker then owns it.
        bool ready = startSession(error);
        CUcontext previous = nullptr;
        cuda_->cuCtxPopCurrent(&previous);
        if (!ready) {
            teardown();
            return false;
        }
        name_ = "NVIDIA NVENC (" + adapter_ + ")";
        config_.backend = EncoderBackend::Nvenc;
        Log(LogLevel::Info, "encoder: %s, API %u.%u, %s input, preset P%d %s, %dx%d@%d %u bps",
            name_.c_str(), unsigned{NVENCAPI_MAJOR_VERSION}, unsigned{NVENCAPI_MINOR_VERSION},
            "memory", preset_, config_.codec == VideoCodec::Hevc ? "HEVC" : "H.264",
            static_cast<int>(config_.width), static_cast<int>(config_.height),
            static_cast<int>(config_.fps), config_.bitrate);
        queue_ = std::make_unique<FrameQueue>();
        worker_ = std::thread([this] { work(); });
        return true;
    }

    bool encodeNv12(const std::uint8_t* nv12, std::int64_t timestampUs,
                    bool forceKeyframe) override {
        if (!queue_ || nv12 == nullptr) {
            return false;
        }
        const std::size_t size = std::size_t{config_.width} * config_.height * 3 / 2;
        queue_->push({std::vector<std::uint8_t>(nv12, nv12 + size), timestampUs, forceKeyframe,
                      std::chrono::steady_clock::now()});
        return true;
    }

    bool acceptsTextures() const override { return false; }
    std::int64_t queuedFrames() const override { return queue_ ? queue_->size() : 0; }

    void setBitrate(std::uint32_t bitsPerSecond) override {
        if (bitsPerSecond != 0) {
            std::lock_guard lock(configMutex_);
            pendingBitrate_ = bitsPerSecond;
        }
    }

    std::string name() const override { return name_; }
    bool isHardware() const override { return true; }
    EncoderBackend backend() const override { return EncoderBackend::Nvenc; }
    EncoderConfig config() const override {
        std::lock_guard lock(configMutex_);
        return config_;
    }

  private:
    // The text of a failed call: its name, the status and the driver's last error when it has one.
    std::string failure(const char* call, NVENCSTATUS status) const {
        std::string text = std::string(call) + " failed (" + std::to_string(status) + ")";
        const char* last = encoder_ ? api_->nvEncGetLastErrorString(encoder_) : nullptr;
        if (last && *last) {
            text += std::string(": ") + last;
        }
        return text;
    }

    bool startSession(std::string& error) {
        NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS session{};
        session.version = NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER;
        session.deviceType = NV_ENC_DEVICE_TYPE_CUDA;
        session.device = context_;
        session.apiVersion = NVENCAPI_VERSION;
        if (NVENCSTATUS status = api_->nvEncOpenEncodeSessionEx(&session, &encoder_);
            status != NV_ENC_SUCCESS) {
            error =
                "nvEncOpenEncodeSessionEx failed (" + std::to_string(status) + ") on " + adapter_;
            encoder_ = nullptr;
            return false;
        }
        return initialise(error);
    }

    // Leaves a new context current on this thread.
    bool openCuda(std::string& error) {
        cuda_ = loadCudaDriver(error);
        if (!cuda_) {
            return false;
        }
        int count = 0;
        if (cuda_->cuInit(0) != CUDA_SUCCESS || cuda_->cuDeviceGetCount(&count) != CUDA_SUCCESS ||
            count == 0) {
            error = "no NVIDIA adapter";
            return false;
        }
        CUdevice device = 0;
        char name[256] = {};
        if (cuda_->cuDeviceGet(&device, 0) != CUDA_SUCCESS) {
            error = "no NVIDIA adapter";
            return false;
        }
        adapter_ = cuda_->cuDeviceGetName(name, sizeof name - 1, device) == CUDA_SUCCESS
                       ? name
                       : "unknown adapter";
        if (CUresult status = cuda_->cuCtxCreate(&context_, 0, device); status != CUDA_SUCCESS) {
            context_ = nullptr;
            error = "cuCtxCreate failed: " + cuda_->errorText(status);
            return false;
        }
        return true;
    }

    bool initialise(std::string& error) {
        const bool hevc = config_.codec == VideoCodec::Hevc;
        const GUID codecGuid = hevc ? NV_ENC_CODEC_HEVC_GUID : NV_ENC_CODEC_H264_GUID;
        std::uint32_t count = 0;
        std::vector<GUID> guids;
        if (api_->nvEncGetEncodeGUIDCount(encoder_, &count) == NV_ENC_SUCCESS && count > 0) {
            guids.resize(count);
            if (api_->nvEncGetEncodeGUIDs(encoder_, guids.data(), count, &count) !=
                NV_ENC_SUCCESS) {
                count = 0;
            }
            guids.resize(count);
        }
        if (std::none_of(guids.begin(), guids.end(),
                         [&](const GUID& g) { return sameGuid(g, codecGuid); })) {
            error = std::string("this GPU's NVENC has no ") + (hevc ? "HEVC" : "H.264");
            return false;
        }
        static const int presets[] = {5, 3, 1};
        preset_ = presets[std::clamp(config_.speed, 0, 2)];
        NV_ENC_PRESET_CONFIG presetConfig{};
        presetConfig.version = NV_ENC_PRESET_CONFIG_VER;
        presetConfig.presetCfg.version = NV_ENC_CONFIG_VER;
        if (NVENCSTATUS s = api_->nvEncGetEncodePresetConfigEx(
                encoder_, codecGuid, presetGuid(preset_), NV_ENC_TUNING_INFO_ULTRA_LOW_LATENCY,
                &presetConfig);
            s != NV_ENC_SUCCESS) {
            error = failure("nvEncGetEncodePresetConfigEx", s);
            return false;
        }
        encodeConfig_ = presetConfig.presetCfg;
        NV_ENC_CONFIG& c = encodeConfig_;
        c.version = NV_ENC_CONFIG_VER;
        c.profileGUID = hevc ? NV_ENC_HEVC_PROFILE_MAIN_GUID : NV_ENC_H264_PROFILE_HIGH_GUID;
        c.gopLength = NVENC_INFINITE_GOPLENGTH;
        c.frameIntervalP = 1;
        c.frameFieldMode = NV_ENC_PARAMS_FRAME_FIELD_MODE_FRAME;
        c.rcParams.rateControlMode = NV_ENC_PARAMS_RC_CBR;
        setRate(config_.bitrate);
        c.rcParams.enableLookahead = 0;
        c.rcParams.zeroReorderDelay = 1;
        c.rcParams.multiPass =
            preset_ == 1 ? NV_ENC_MULTI_PASS_DISABLED : NV_ENC_TWO_PASS_QUARTER_RESOLUTION;
        if (hevc) {
            c.encodeCodecConfig.hevcConfig.idrPeriod = NVENC_INFINITE_GOPLENGTH;
            c.encodeCodecConfig.hevcConfig.repeatSPSPPS = 1;
            c.encodeCodecConfig.hevcConfig.chromaFormatIDC = 1;
        } else {
            c.encodeCodecConfig.h264Config.idrPeriod = NVENC_INFINITE_GOPLENGTH;
            c.encodeCodecConfig.h264Config.repeatSPSPPS = 1;
            c.encodeCodecConfig.h264Config.entropyCodingMode =
                NV_ENC_H264_ENTROPY_CODING_MODE_CABAC;
            c.encodeCodecConfig.h264Config.chromaFormatIDC = 1;
        }
        init_ = NV_ENC_INITIALIZE_PARAMS{};
        init_.version = NV_ENC_INITIALIZE_PARAMS_VER;
        init_.encodeGUID = codecGuid;
        init_.presetGUID = presetGuid(preset_);
        init_.encodeWidth = init_.darWidth = init_.maxEncodeWidth = config_.width;
        init_.encodeHeight = init_.darHeight = init_.maxEncodeHeight = config_.height;
        init_.frameRateNum = std::max<std::uint32_t>(config_.fps, 1);
        init_.frameRateDen = 1;
        init_.enableEncodeAsync = 0;
        init_.enablePTD = 1;
        init_.encodeConfig = &encodeConfig_;
        init_.tuningInfo = NV_ENC_TUNING_INFO_ULTRA_LOW_LATENCY;
        if (NVENCSTATUS s = api_->nvEncInitializeEncoder(encoder_, &init_); s != NV_ENC_SUCCESS) {
            error = failure("nvEncInitializeEncoder", s);
            return false;
        }
        for (NV_ENC_OUTPUT_PTR& buffer : bitstreams_) {
            NV_ENC_CREATE_BITSTREAM_BUFFER create{};
            create.version = NV_ENC_CREATE_BITSTREAM_BUFFER_VER;
            if (NVENCSTATUS s = api_->nvEncCreateBitstreamBuffer(encoder_, &create);
                s != NV_ENC_SUCCESS) {
                error = failure("nvEncCreateBitstreamBuffer", s);
                return false;
            }
            buffer = create.bitstreamBuffer;
        }
        NV_ENC_CREATE_INPUT_BUFFER input{};
        input.version = NV_ENC_CREATE_INPUT_BUFFER_VER;
        input.width = config_.width;
        input.height = config_.height;
        input.bufferFmt = NV_ENC_BUFFER_FORMAT_NV12;
        if (NVENCSTATUS s = api_->nvEncCreateInputBuffer(encoder_, &input); s != NV_ENC_SUCCESS) {
            error = failure("nvEncCreateInputBuffer", s);
            return false;
        }
        input_ = input.inputBuffer;
        std::vector<std::uint8_t> sets(1024);
        std::uint32_t written = 0;
        NV_ENC_SEQUENCE_PARAM_PAYLOAD payload{};
        payload.version = NV_ENC_SEQUENCE_PARAM_PAYLOAD_VER;
        payload.inBufferSize = static_cast<std::uint32_t>(sets.size());
        payload.spsppsBuffer = sets.data();
        payload.outSPSPPSPayloadSize = &written;
        if (api_->nvEncGetSequenceParams(encoder_, &payload) == NV_ENC_SUCCESS) {
            sets.resize(std::min<std::size_t>(written, sets.size()));
            parameterSets_ = std::move(sets);
        }
        firstFrame_ = true;
        return true;
    }

    void setRate(std::uint32_t bitrate) {
        NV_ENC_RC_PARAMS& rc = encodeConfig_.rcParams;
        rc.averageBitRate = rc.maxBitRate = bitrate;
        rc.vbvBufferSize = rc.vbvInitialDelay = encoderBufferBits(bitrate, config_.fps);
    }

    void work() {
        if (cuda_->cuCtxPushCurrent(context_) != CUDA_SUCCESS) {
            Log(LogLevel::Warn, "nvenc: CUDA context could not be made current");
        }
        while (std::optional<EncodeJob> job = queue_->take()) {
            reconfigureIfAsked();
            encode(*job);
        }
        CUcontext previous = nullptr;
        cuda_->cuCtxPopCurrent(&previous);
    }

    void reconfigureIfAsked() {
        std::uint32_t bitrate = 0;
        {
            std::lock_guard lock(configMutex_);
            bitrate = std::exchange(pendingBitrate_, 0);
            if (bitrate != 0) {
                config_.bitrate = bitrate;
            }
        }
        if (bitrate == 0) {
            return;
        }
        setRate(bitrate);
        NV_ENC_RECONFIGURE_PARAMS params{};
        params.version = NV_ENC_RECONFIGURE_PARAMS_VER;
        params.reInitEncodeParams = init_;
        params.resetEncoder = 0;
        params.forceIDR = 0;
        if (NVENCSTATUS s = api_->nvEncReconfigureEncoder(encoder_, &params); s != NV_ENC_SUCCESS) {
            Log(LogLevel::Warn, "%s", failure("nvEncReconfigureEncoder", s).c_str());
        }
    }

    void encode(const EncodeJob& job) {
        const auto taken = std::chrono::steady_clock::now();
        NV_ENC_LOCK_INPUT_BUFFER lock{};
        lock.version = NV_ENC_LOCK_INPUT_BUFFER_VER;
        lock.inputBuffer = input_;
        if (NVENCSTATUS s = api_->nvEncLockInputBuffer(encoder_, &lock); s != NV_ENC_SUCCESS) {
            Log(LogLevel::Warn, "%s", failure("nvEncLockInputBuffer", s).c_str());
            return;
        }
        const std::size_t w = config_.width;
        const std::size_t h = config_.height;
        auto* target = static_cast<std::uint8_t*>(lock.bufferDataPtr);
        for (std::size_t row = 0; row < h + h / 2; ++row) {
            std::memcpy(target + row * lock.pitch, job.nv12.data() + row * w, w);
        }
        api_->nvEncUnlockInputBuffer(encoder_, input_);

        NV_ENC_OUTPUT_PTR bitstream = bitstreams_[nextBitstream_];
        nextBitstream_ = (nextBitstream_ + 1) % bitstreams_.size();
        NV_ENC_PIC_PARAMS picture{};
        picture.version = NV_ENC_PIC_PARAMS_VER;
        picture.inputWidth = config_.width;
        picture.inputHeight = config_.height;
        picture.inputPitch = config_.width;
        picture.inputTimeStamp = static_cast<std::uint64_t>(job.timestampUs);
        picture.inputBuffer = input_;
        picture.outputBitstream = bitstream;
        picture.bufferFmt = NV_ENC_BUFFER_FORMAT_NV12;
        picture.pictureStruct = NV_ENC_PIC_STRUCT_FRAME;
        if (job.forceKeyframe || firstFrame_) {
            picture.encodePicFlags = NV_ENC_PIC_FLAG_FORCEIDR | NV_ENC_PIC_FLAG_OUTPUT_SPSPPS;
        }
        if (NVENCSTATUS s = api_->nvEncEncodePicture(encoder_, &picture); s != NV_ENC_SUCCESS) {
            Log(LogLevel::Warn, "%s", failure("nvEncEncodePicture", s).c_str());
            return;
        }
        NV_ENC_LOCK_BITSTREAM locked{};
        locked.version = NV_ENC_LOCK_BITSTREAM_VER;
        locked.outputBitstream = bitstream;
        if (NVENCSTATUS s = api_->nvEncLockBitstream(encoder_, &locked); s != NV_ENC_SUCCESS) {
            Log(LogLevel::Warn, "%s", failure("nvEncLockBitstream", s).c_str());
            return;
        }
        EncodedFrame out;
        const auto* bytes = static_cast<const std::uint8_t*>(locked.bitstreamBufferPtr);
        out.data.assign(bytes, bytes + locked.bitstreamSizeInBytes);
        out.keyframe =
            locked.pictureType == NV_ENC_PIC_TYPE_IDR || locked.pictureType == NV_ENC_PIC_TYPE_I;
        out.timestampUs = static_cast<std::int64_t>(locked.outputTimeStamp);
        api_->nvEncUnlockBitstream(encoder_, bitstream);
        if (out.data.empty()) {
            return;
        }
        firstFrame_ = false;
        out.encodeLatencyUs = elapsedUs32(taken);
        if (out.keyframe) {
            ensureParameterSets(out.data, parameterSets_, config_.codec);
        }
        output_(std::move(out));
    }

    void teardown() {
        if (queue_) {
            queue_->stop();
        }
        if (worker_.joinable()) {
            worker_.join();
        }
        queue_.reset();
        const bool pushed = context_ && cuda_->cuCtxPushCurrent(context_) == CUDA_SUCCESS;
        if (encoder_) {
            for (NV_ENC_OUTPUT_PTR& buffer : bitstreams_) {
                if (buffer) {
                    api_->nvEncDestroyBitstreamBuffer(encoder_, buffer);
                    buffer = nullptr;
                }
            }
            if (input_) {
                api_->nvEncDestroyInputBuffer(encoder_, input_);
                input_ = nullptr;
            }
            api_->nvEncDestroyEncoder(encoder_);
            encoder_ = nullptr;
        }
        if (pushed) {
            CUcontext previous = nullptr;
            cuda_->cuCtxPopCurrent(&previous);
        }
        if (context_) {
            cuda_->cuCtxDestroy(context_);
            context_ = nullptr;
        }
        parameterSets_.clear();
        nextBitstream_ = 0;
        firstFrame_ = true;
    }

    EncoderConfig config_;              // guarded by configMutex_ once the worker runs
    std::uint32_t pendingBitrate_ = 0;  // guarded by configMutex_
    mutable std::mutex configMutex_;
    EncodedFrameCallback output_;
    std::string name_;
    std::string adapter_ = "unknown adapter";
    const NvencLibrary* library_ = nullptr;
    const NV_ENCODE_API_FUNCTION_LIST* api_ = nullptr;
    const CudaDriver* cuda_ = nullptr;
    // The session: used by open, then by the worker alone, then by teardown after the join.
    CUcontext context_ = nullptr;
    void* encoder_ = nullptr;
    NV_ENC_INITIALIZE_PARAMS init_{};
    NV_ENC_CONFIG encodeConfig_{};
    int preset_ = 3;
    std::array<NV_ENC_OUTPUT_PTR, 2> bitstreams_{};
    std::size_t nextBitstream_ = 0;
    NV_ENC_INPUT_PTR input_ = nullptr;
    std::vector<std::uint8_t> parameterSets_;
    bool firstFrame_ = true;
    std::unique_ptr<FrameQueue> queue_;
    std::thread worker_;
};

}  // namespace

std::unique_ptr<VideoEncoder> makeNvencEncoder() {
    return std::make_unique<NvencEncoder>();
}

}  // namespace vel::host
