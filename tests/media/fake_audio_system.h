#pragma once

#include <atomic>
#include <deque>
#include <mutex>
#include <vector>

#include "media/audio_system.h"

namespace vel::media::test {

// A sound server in memory: capture streams hand out queued packets, playback streams record what
// is written and offer room for 480 frames at a time until they have taken enough frames.
class FakeAudioSystem final : public AudioSystem {
  public:
    AudioFormat captureFormat{48000, 2, 16, false};
    AudioFormat playbackFormat{48000, 2, 16, false};
    std::size_t playbackFrames = 0;  // after this many frames the playback stream fails

    // A packet of raw device bytes, or a gap when empty (frames given separately).
    void queuePacket(std::vector<std::uint8_t> bytes, std::size_t gapFrames = 0) {
        std::lock_guard lock(mutex_);
        packets_.push_back({std::move(bytes), gapFrames});
    }
    void failCapture() { captureFails_ = true; }

    std::vector<std::uint8_t> written() const {
        std::lock_guard lock(mutex_);
        return written_;
    }

    std::unique_ptr<AudioCaptureStream> openCapture(AudioRole role, const std::string& deviceId,
                                                    std::string&) override {
        openedRole = role;
        openedDevice = deviceId;
        return std::make_unique<Capture>(*this);
    }

    std::unique_ptr<AudioPlaybackStream> openPlayback(const std::string&, std::string&) override {
        return std::make_unique<Playback>(*this);
    }

    std::vector<AudioDevice> listDevices(bool) override { return {}; }

    AudioRole openedRole = AudioRole::Loopback;
    std::string openedDevice;

  private:
    struct Packet {
        std::vector<std::uint8_t> bytes;
        std::size_t gapFrames;
    };

    class Capture final : public AudioCaptureStream {
      public:
        explicit Capture(FakeAudioSystem& system) : system_(system) {}
        const AudioFormat& format() const override { return system_.captureFormat; }
        const std::string& deviceName() const override { return name_; }
        PacketStatus nextPacket(AudioPacket& packet) override {
            std::lock_guard lock(system_.mutex_);
            if (system_.packets_.empty()) {
                return system_.captureFails_ ? PacketStatus::Failed : PacketStatus::None;
            }
            current_ = std::move(system_.packets_.front());
            system_.packets_.pop_front();
            packet.data = current_.bytes.empty() ? nullptr : current_.bytes.data();
            packet.frames = current_.bytes.empty() ? current_.gapFrames
                                                   : current_.bytes.size() / format().frameBytes();
            return PacketStatus::Packet;
        }
        void release() override { current_ = {}; }

      private:
        FakeAudioSystem& system_;
        std::string name_ = "Fake Monitor";
        Packet current_;
    };

    class Playback final : public AudioPlaybackStream {
      public:
        explicit Playback(FakeAudioSystem& system) : system_(system) {}
        const AudioFormat& format() const override { return system_.playbackFormat; }
        std::uint32_t bufferFrames() const override { return 1440; }
        long waitWritable(int) override {
            std::lock_guard lock(system_.mutex_);
            const std::size_t frames = system_.written_.size() / format().frameBytes();
            if (frames >= system_.playbackFrames) return -1;
            return static_cast<long>(std::min<std::size_t>(480, system_.playbackFrames - frames));
        }
        bool write(const std::uint8_t* data, std::size_t frames) override {
            std::lock_guard lock(system_.mutex_);
            system_.written_.insert(system_.written_.end(), data,
                                    data + frames * format().frameBytes());
            return true;
        }

      private:
        FakeAudioSystem& system_;
    };

    mutable std::mutex mutex_;
    std::deque<Packet> packets_;         // guarded by mutex_
    std::vector<std::uint8_t> written_;  // guarded by mutex_
    std::atomic<bool> captureFails_{false};
};

}  // namespace vel::media::test
