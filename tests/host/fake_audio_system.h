#pragma once

#include <deque>
#include <mutex>
#include <vector>

#include "host/audio_system.h"

namespace vel::host::test {

// A sound server in memory whose capture streams hand out queued packets; it offers no playback.
class FakeAudioSystem final : public AudioSystem {
  public:
    AudioFormat captureFormat{48000, 2, 16, false};

    // A packet of raw device bytes.
    void queuePacket(std::vector<std::uint8_t> bytes) {
        std::lock_guard lock(mutex_);
        packets_.push_back(std::move(bytes));
    }

    std::unique_ptr<AudioCaptureStream> openCapture(AudioRole, const std::string&,
                                                    std::string&) override {
        return std::make_unique<Capture>(*this);
    }

    std::unique_ptr<AudioPlaybackStream> openPlayback(const std::string&,
                                                      std::string& error) override {
        error = "the fake sound server has no playback";
        return nullptr;
    }

    std::vector<AudioDevice> listDevices(bool) override { return {}; }

  private:
    class Capture final : public AudioCaptureStream {
      public:
        explicit Capture(FakeAudioSystem& system) : system_(system) {}
        const AudioFormat& format() const override { return system_.captureFormat; }
        const std::string& deviceName() const override { return name_; }
        PacketStatus nextPacket(AudioPacket& packet) override {
            std::lock_guard lock(system_.mutex_);
            if (system_.packets_.empty()) return PacketStatus::None;
            current_ = std::move(system_.packets_.front());
            system_.packets_.pop_front();
            packet.data = current_.data();
            packet.frames = current_.size() / format().frameBytes();
            return PacketStatus::Packet;
        }
        void release() override { current_ = {}; }

      private:
        FakeAudioSystem& system_;
        std::string name_ = "Fake Monitor";
        std::vector<std::uint8_t> current_;
    };

    std::mutex mutex_;
    std::deque<std::vector<std::uint8_t>> packets_;  // guarded by mutex_
};

}  // namespace vel::host::test
