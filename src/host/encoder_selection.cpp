#include "host/encoder_selection.h"

#include "host/avcodec_encoder.h"
#include "host/nvenc_encoder.h"
#include "host/nvenc_library.h"
#include "os/log.h"

namespace vel::host {

std::unique_ptr<VideoEncoder> createVideoEncoder(const EncoderConfig& config, std::string& error,
                                                 EncodedFrameCallback output) {
    std::vector<EncoderBackend> order;
    if (config.backend == EncoderBackend::Nvenc || config.backend == EncoderBackend::MfHw ||
        config.backend == EncoderBackend::MfSw) {
        order.push_back(config.backend);
    } else {
        if (config.allowHardware) {
            order.push_back(EncoderBackend::Nvenc);
            order.push_back(EncoderBackend::MfHw);
        }
        if (!config.hardwareOnly) {
            order.push_back(EncoderBackend::MfSw);
        }
    }
    if (order.empty()) {
        error = "no encoder backend is allowed by the configuration";
        return nullptr;
    }
    std::string reasons;
    auto collect = [&](EncoderBackend backend, const std::string& reason) {
        reasons += (reasons.empty() ? "" : "; ") + std::string(encoderBackendName(backend)) + ": " +
                   reason;
    };
    for (EncoderBackend backend : order) {
        std::unique_ptr<VideoEncoder> encoder;
        std::string reason;
        if (backend == EncoderBackend::Nvenc) {
            // A machine without the driver is ordinary: no object and no warning.
            if (!loadNvencLibrary(reason)) {
                collect(backend, reason);
                continue;
            }
            encoder = makeNvencEncoder();
        } else {
            encoder = makeAvcodecEncoder();
        }
        // Unchanged: the avcodec encoder restricts itself to hardware or software from the
        // configuration, so in auto mode its first attempt may already settle on software.
        if (encoder->open(config, reason, output)) {
            return encoder;
        }
        Log(LogLevel::Warn, "encoder backend %s declined: %s", encoderBackendName(backend),
            reason.c_str());
        collect(backend, reason);
    }
    error = reasons;
    return nullptr;
}

std::vector<EncoderListEntry> listEncoders(VideoCodec codec) {
    std::vector<EncoderListEntry> entries;
    std::string ignored;
    if (loadNvencLibrary(ignored)) {
        entries.push_back({EncoderBackend::Nvenc, "NVIDIA NVENC (driver API)", true});
    }
    for (EncoderListEntry& entry : avcodecEncoders(codec)) {
        entries.push_back(std::move(entry));
    }
    return entries;
}

}  // namespace vel::host
