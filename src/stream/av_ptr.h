#pragma once

// Owning handles for the libavcodec objects the encoders and decoders hold.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

#include <memory>
#include <string>

namespace vel::stream {

struct AvCodecContextFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct AvFrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct AvPacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct AvBufferUnref {
    void operator()(AVBufferRef* b) const { av_buffer_unref(&b); }
};

using AvCodecContextPtr = std::unique_ptr<AVCodecContext, AvCodecContextFree>;
using AvFramePtr = std::unique_ptr<AVFrame, AvFrameFree>;
using AvPacketPtr = std::unique_ptr<AVPacket, AvPacketFree>;
using AvBufferPtr = std::unique_ptr<AVBufferRef, AvBufferUnref>;

// libav reports on standard error by default; failures reach our log through return codes instead.
inline void quietLibavLog() {
    av_log_set_level(AV_LOG_QUIET);
}

// "<call> failed: <libav's text for the code>".
inline std::string avFailure(const char* call, int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return std::string(call) + " failed: " + text;
}

}  // namespace vel::stream
