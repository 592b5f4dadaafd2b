#include "viewer/host_audio.h"

#include <chrono>
#include <cmath>

#include "os/log.h"

namespace vel::viewer {
namespace {

constexpr double kAudibleDbfs = -50;

double rmsDbfs(const std::vector<std::int16_t>& samples) {
    if (samples.empty()) return -120;
    double sum = 0;
    for (std::int16_t s : samples) sum += static_cast<double>(s) * s;
    const double rms = std::sqrt(sum / static_cast<double>(samples.size())) / 32768.0;
    return rms > 1e-6 ? 20 * std::log10(rms) : -120;
}

}  // namespace

HostAudio::HostAudio(media::AudioSystem& system, std::string device) : enabled_(device != "none") {
    playback_.system = &system;
    playback_.deviceId = std::move(device);
}

HostAudio::~HostAudio() {
    playback_.stop = true;
    if (thread_.joinable()) thread_.join();
}

void HostAudio::push(std::uint32_t sequence, std::uint8_t codec,
                     std::span<const std::uint8_t> data) {
    if (!media::decodeAudioBlock(codec, data.data(), data.size(), decoded_)) {
        const std::lock_guard lock(mutex_);
        ++stats_.refused;
        return;
    }
    const double level = rmsDbfs(decoded_.samples);
    {
        const std::lock_guard lock(mutex_);
        ++stats_.blocks;
        if (level > kAudibleDbfs) ++stats_.audibleBlocks;
        if (level > stats_.peakRmsDbfs) stats_.peakRmsDbfs = level;
    }
    if (!enabled_ || !media::toPlayableBlock(decoded_, block_)) return;
    playback_.jitter.push(sequence, block_);
    if (!threadStarted_) {
        thread_ = std::thread([this] { media::audioPlaybackThread(playback_); });
        threadStarted_ = true;
    }
}

HostAudioStats HostAudio::stats() {
    HostAudioStats out;
    {
        const std::lock_guard lock(mutex_);
        out = stats_;
    }
    const media::JitterStats jitter = playback_.jitter.stats();
    out.played = jitter.played;
    out.underruns = jitter.underruns;
    out.queuedBlocks = jitter.queued;
    const std::string device =
        playback_.deviceId.empty() ? "the default playback device" : playback_.deviceId;
    if (!enabled_) {
        out.playback = "off";
    } else if (!threadStarted_) {
        out.playback = "starting";
    } else if (playback_.started) {
        out.playback = "playing on " + device;
    } else {
        // The thread writes startupError before it signals, and never after.
        out.playback = playback_.startup.waitFor(std::chrono::milliseconds(0))
                           ? "failed: " + (playback_.startupError.empty()
                                               ? std::string("the device stopped")
                                               : playback_.startupError)
                           : "starting";
    }
    return out;
}

}  // namespace vel::viewer
