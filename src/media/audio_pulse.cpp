// The sound server seam realised on the PulseAudio client library. Each stream owns a private,
// non-threaded main loop that its audio thread turns itself, so no libpulse thread ever calls back
// into our code and every wait is bounded.
#include <pulse/pulseaudio.h>

#include <chrono>
#include <functional>

#include "media/audio_system.h"

namespace vel::media {
namespace {

constexpr int kServerTimeoutMs = 5000;
constexpr pa_usec_t kCaptureBufferUs = 20000;
constexpr pa_usec_t kPlaybackBufferUs = 30000;

struct MainloopFree {
    void operator()(pa_mainloop* m) const { pa_mainloop_free(m); }
};
struct ContextFree {
    void operator()(pa_context* c) const {
        pa_context_disconnect(c);
        pa_context_unref(c);
    }
};
struct StreamFree {
    void operator()(pa_stream* s) const {
        pa_stream_disconnect(s);
        pa_stream_unref(s);
    }
};
using StreamPtr = std::unique_ptr<pa_stream, StreamFree>;

std::string failure(const char* step, int code) {
    return std::string(step) + " failed: " + pa_strerror(code);
}

// What the stream converter can read directly; any other server format is delivered as float.
AudioFormat streamFormat(const pa_sample_spec& device, pa_sample_spec& requested) {
    requested = device;
    AudioFormat format{static_cast<int>(device.rate), device.channels, 32, false};
    switch (device.format) {
        case PA_SAMPLE_S16LE:
            format.bits = 16;
            break;
        case PA_SAMPLE_S24LE:
            format.bits = 24;
            break;
        case PA_SAMPLE_S32LE:
            break;
        default:
            requested.format = PA_SAMPLE_FLOAT32LE;
            format.isFloat = true;
            break;
    }
    return format;
}

struct DeviceInfo {
    std::string name;
    std::string description;
    std::string monitor;  // sinks only
    pa_sample_spec samples{};
    pa_channel_map map{};
    bool found = false;
};

template <typename Info>
void copyInfo(const Info* info, DeviceInfo& out) {
    out.name = info->name ? info->name : "";
    out.description = info->description ? info->description : out.name;
    out.samples = info->sample_spec;
    out.map = info->channel_map;
    out.found = true;
}

// One connection to the server with its own main loop.
class PulseConnection {
  public:
    [[nodiscard]] bool connect(std::string& error) {
        loop_.reset(pa_mainloop_new());
        if (!loop_) {
            error = failure("pa_mainloop_new", PA_ERR_INTERNAL);
            return false;
        }
        context_.reset(pa_context_new(pa_mainloop_get_api(loop_.get()), "Velmora"));
        if (!context_) {
            error = failure("pa_context_new", PA_ERR_INTERNAL);
            return false;
        }
        if (pa_context_connect(context_.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
            !runUntil([&] { return pa_context_get_state(context_.get()) == PA_CONTEXT_READY; })) {
            error = failure("pa_context_connect", lastError());
            return false;
        }
        return true;
    }

    pa_context* context() const { return context_.get(); }

    int lastError() const {
        const int code = context_ ? pa_context_errno(context_.get()) : PA_ERR_CONNECTIONREFUSED;
        return code == PA_OK ? PA_ERR_TIMEOUT : code;
    }

    bool alive() const { return PA_CONTEXT_IS_GOOD(pa_context_get_state(context_.get())); }

    // Turns the loop until done, the connection fails or the server timeout passes.
    bool runUntil(const std::function<bool()>& done, int timeoutMs = kServerTimeoutMs) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!done()) {
            if (!alive()) return false;
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !iterate(static_cast<int>(left.count()))) return false;
        }
        return true;
    }

    // Waits for events at most timeoutUs and dispatches them.
    bool iterate(int timeoutUs) {
        pa_mainloop* loop = loop_.get();
        return pa_mainloop_prepare(loop, timeoutUs) >= 0 && pa_mainloop_poll(loop) >= 0 &&
               pa_mainloop_dispatch(loop) >= 0;
    }

    // Dispatches whatever is pending without waiting.
    bool pump() { return iterate(0) && alive(); }

    // Runs an introspection operation to its end; false when it did not complete.
    bool finish(pa_operation* op) {
        if (!op) return false;
        const bool done =
            runUntil([op] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; });
        if (!done) pa_operation_cancel(op);
        pa_operation_unref(op);
        return done;
    }

    bool serverDefaults(std::string& sink, std::string& source) {
        struct Names {
            std::string sink, source;
        } names;
        auto callback = [](pa_context*, const pa_server_info* info, void* user) {
            auto* n = static_cast<Names*>(user);
            if (info->default_sink_name) n->sink = info->default_sink_name;
            if (info->default_source_name) n->source = info->default_source_name;
        };
        if (!finish(pa_context_get_server_info(context(), callback, &names))) return false;
        sink = names.sink;
        source = names.source;
        return true;
    }

    bool sinkInfo(const std::string& name, DeviceInfo& out) {
        auto callback = [](pa_context*, const pa_sink_info* info, int eol, void* user) {
            if (eol != 0 || !info) return;
            auto* d = static_cast<DeviceInfo*>(user);
            copyInfo(info, *d);
            d->monitor = info->monitor_source_name ? info->monitor_source_name : "";
        };
        return !name.empty() &&
               finish(pa_context_get_sink_info_by_name(context(), name.c_str(), callback, &out)) &&
               out.found;
    }

    bool sourceInfo(const std::string& name, DeviceInfo& out) {
        auto callback = [](pa_context*, const pa_source_info* info, int eol, void* user) {
            if (eol != 0 || !info) return;
            copyInfo(info, *static_cast<DeviceInfo*>(user));
        };
        return !name.empty() &&
               finish(
                   pa_context_get_source_info_by_name(context(), name.c_str(), callback, &out)) &&
               out.found;
    }

    // Waits until a stream is ready; false when it failed or the server did not answer.
    bool waitReady(pa_stream* stream) {
        return runUntil([stream] {
                   const pa_stream_state_t state = pa_stream_get_state(stream);
                   return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
               }) &&
               pa_stream_get_state(stream) == PA_STREAM_READY;
    }

    // The error of a lookup that found nothing: the server's, or "no such entity".
    int lookupError() const {
        const int code = pa_context_errno(context_.get());
        return code == PA_OK ? PA_ERR_NOENTITY : code;
    }

  private:
    // Declared first so it outlives the context that uses it.
    std::unique_ptr<pa_mainloop, MainloopFree> loop_;
    std::unique_ptr<pa_context, ContextFree> context_;
};

class PulseCapture final : public AudioCaptureStream {
  public:
    [[nodiscard]] bool open(AudioRole role, const std::string& deviceId, std::string& error) {
        if (!connection_.connect(error)) return false;
        DeviceInfo source;
        if (!deviceId.empty()) {
            if (!connection_.sourceInfo(deviceId, source)) {
                error = failure("audio device by id", connection_.lookupError());
                return false;
            }
        } else {
            const char* step = role == AudioRole::Loopback ? "default playback device (none?)"
                                                           : "default microphone (none?)";
            std::string sink, defaultSource;
            DeviceInfo sinkInfo;
            const bool found =
                connection_.serverDefaults(sink, defaultSource) &&
                (role == AudioRole::Loopback ? connection_.sinkInfo(sink, sinkInfo) &&
                                                   connection_.sourceInfo(sinkInfo.monitor, source)
                                             : connection_.sourceInfo(defaultSource, source));
            if (!found) {
                error = failure(step, connection_.lookupError());
                return false;
            }
        }
        name_ = source.description;
        pa_sample_spec requested;
        format_ = streamFormat(source.samples, requested);
        stream_.reset(
            pa_stream_new(connection_.context(), "Velmora capture", &requested, &source.map));
        if (!stream_) {
            error = failure("pa_stream_new", connection_.lastError());
            return false;
        }
        pa_buffer_attr attr;
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);
        attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(kCaptureBufferUs, &requested));
        if (pa_stream_connect_record(stream_.get(), source.name.c_str(), &attr,
                                     PA_STREAM_ADJUST_LATENCY) < 0 ||
            !connection_.waitReady(stream_.get())) {
            error = failure("pa_stream_connect_record", connection_.lastError());
            return false;
        }
        return true;
    }

    const AudioFormat& format() const override { return format_; }
    const std::string& deviceName() const override { return name_; }

    PacketStatus nextPacket(AudioPacket& packet) override {
        if (!connection_.pump() || pa_stream_get_state(stream_.get()) != PA_STREAM_READY) {
            return PacketStatus::Failed;
        }
        const std::size_t readable = pa_stream_readable_size(stream_.get());
        if (readable == static_cast<std::size_t>(-1)) return PacketStatus::Failed;
        if (readable == 0) return PacketStatus::None;
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(stream_.get(), &data, &bytes) < 0) return PacketStatus::Failed;
        if (bytes == 0) return PacketStatus::None;
        peeked_ = true;
        packet.data = static_cast<const std::uint8_t*>(data);
        packet.frames = bytes / format_.frameBytes();
        return PacketStatus::Packet;
    }

    void release() override {
        if (peeked_) pa_stream_drop(stream_.get());
        peeked_ = false;
    }

  private:
    PulseConnection connection_;  // declared before the stream, which it must outlive
    StreamPtr stream_;
    AudioFormat format_;
    std::string name_;
    bool peeked_ = false;
};

class PulsePlayback final : public AudioPlaybackStream {
  public:
    [[nodiscard]] bool open(const std::string& deviceId, std::string& error) {
        if (!connection_.connect(error)) return false;
        std::string sinkName = deviceId, ignored;
        DeviceInfo sink;
        if ((sinkName.empty() && !connection_.serverDefaults(sinkName, ignored)) ||
            !connection_.sinkInfo(sinkName, sink)) {
            error = failure("audio playback device", connection_.lookupError());
            return false;
        }
        pa_sample_spec requested;
        format_ = streamFormat(sink.samples, requested);
        stream_.reset(
            pa_stream_new(connection_.context(), "Velmora playback", &requested, &sink.map));
        if (!stream_) {
            error = failure("pa_stream_new", connection_.lastError());
            return false;
        }
        pa_buffer_attr attr;
        attr.maxlength = attr.prebuf = attr.minreq = attr.fragsize = static_cast<std::uint32_t>(-1);
        attr.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(kPlaybackBufferUs, &requested));
        if (pa_stream_connect_playback(stream_.get(), sink.name.c_str(), &attr,
                                       PA_STREAM_ADJUST_LATENCY, nullptr, nullptr) < 0 ||
            !connection_.waitReady(stream_.get())) {
            error = failure("pa_stream_connect_playback", connection_.lastError());
            return false;
        }
        const pa_buffer_attr* granted = pa_stream_get_buffer_attr(stream_.get());
        bufferFrames_ = static_cast<std::uint32_t>((granted ? granted->tlength : attr.tlength) /
                                                   format_.frameBytes());
        return true;
    }

    const AudioFormat& format() const override { return format_; }
    std::uint32_t bufferFrames() const override { return bufferFrames_; }

    long waitWritable(int timeoutMs) override {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (!connection_.pump() || pa_stream_get_state(stream_.get()) != PA_STREAM_READY) {
                return -1;
            }
            const std::size_t writable = pa_stream_writable_size(stream_.get());
            if (writable == static_cast<std::size_t>(-1)) return -1;
            if (writable >= format_.frameBytes()) {
                return static_cast<long>(writable / format_.frameBytes());
            }
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return 0;
            if (!connection_.iterate(static_cast<int>(left.count()))) return -1;
        }
    }

    bool write(const std::uint8_t* data, std::size_t frames) override {
        return pa_stream_write(stream_.get(), data, frames * format_.frameBytes(), nullptr, 0,
                               PA_SEEK_RELATIVE) >= 0;
    }

  private:
    PulseConnection connection_;  // declared before the stream, which it must outlive
    StreamPtr stream_;
    AudioFormat format_;
    std::uint32_t bufferFrames_ = 0;
};

// Rows of a device listing as the server reports them.
struct Listing {
    std::string defaultName;
    std::vector<AudioDevice> rows;

    void add(const char* name, const char* description) {
        const std::string id = name ? name : "";
        rows.push_back({id, description ? description : id, id == defaultName});
    }
};

class PulseAudioSystem final : public AudioSystem {
  public:
    std::unique_ptr<AudioCaptureStream> openCapture(AudioRole role, const std::string& deviceId,
                                                    std::string& error) override {
        auto stream = std::make_unique<PulseCapture>();
        if (!stream->open(role, deviceId, error)) return nullptr;
        return stream;
    }

    std::unique_ptr<AudioPlaybackStream> openPlayback(const std::string& deviceId,
                                                      std::string& error) override {
        auto stream = std::make_unique<PulsePlayback>();
        if (!stream->open(deviceId, error)) return nullptr;
        return stream;
    }

    std::vector<AudioDevice> listDevices(bool playback) override {
        PulseConnection connection;
        std::string error, defaultSink, defaultSource;
        if (!connection.connect(error) || !connection.serverDefaults(defaultSink, defaultSource)) {
            return {};
        }
        Listing listing{playback ? defaultSink : defaultSource, {}};
        pa_operation* op = nullptr;
        if (playback) {
            op = pa_context_get_sink_info_list(
                connection.context(),
                [](pa_context*, const pa_sink_info* info, int eol, void* user) {
                    if (eol == 0 && info)
                        static_cast<Listing*>(user)->add(info->name, info->description);
                },
                &listing);
        } else {
            op = pa_context_get_source_info_list(
                connection.context(),
                [](pa_context*, const pa_source_info* info, int eol, void* user) {
                    // A monitor replays a sink; it is not a recording device.
                    if (eol == 0 && info && info->monitor_of_sink == PA_INVALID_INDEX) {
                        static_cast<Listing*>(user)->add(info->name, info->description);
                    }
                },
                &listing);
        }
        connection.finish(op);
        return listing.rows;
    }
};

}  // namespace

AudioSystem& pulseAudioSystem() {
    static PulseAudioSystem system;
    return system;
}

std::vector<AudioDevice> listAudioDevices(bool playback) {
    return pulseAudioSystem().listDevices(playback);
}

}  // namespace vel::media
