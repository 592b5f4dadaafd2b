#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vel::host {

struct DisplayMode {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t bitsPerPixel = 0;
    std::uint32_t refreshHz = 0;
    std::uint64_t id = 0;  // the display system's own handle for the mode
};

// The display system's modes and how to switch them (XRandR, or a test's list).
class DisplaySystem {
  public:
    virtual ~DisplaySystem() = default;
    // The primary output's name; empty when there is none.
    virtual std::string primaryOutput() = 0;
    [[nodiscard]] virtual bool currentMode(const std::string& output, DisplayMode& mode) = 0;
    virtual std::vector<DisplayMode> modes(const std::string& output) = 0;
    // A result code of the displayChangeText table (0 is success).
    virtual long setMode(const std::string& output, const DisplayMode& mode) = 0;
};

// XRandR on the display named by DISPLAY; the connection is made on first use.
std::unique_ptr<DisplaySystem> newXRandrDisplay();

// "ok", "driver failed", ... for a setMode result.
std::string displayChangeText(long result);

// The mode that suits a viewer of viewerWidth x viewerHeight best: 32 bits per pixel, no larger
// than the viewer, at least 640 x 480; the exact size first, then a matching aspect (within 2%),
// then the larger area, then the higher refresh rate; the earlier mode on a full tie.
std::optional<DisplayMode> chooseDisplayMode(const std::vector<DisplayMode>& modes, int viewerWidth,
                                             int viewerHeight);

// Changes the primary output's mode to suit the viewer and puts it back afterwards. Safe to call
// from several threads.
class DisplayModeAdapter {
  public:
    explicit DisplayModeAdapter(std::unique_ptr<DisplaySystem> system);
    // A change still in place when the stream ends is undone.
    ~DisplayModeAdapter();
    DisplayModeAdapter(const DisplayModeAdapter&) = delete;
    DisplayModeAdapter& operator=(const DisplayModeAdapter&) = delete;

    // apply false restores. Returns the result text that was logged.
    std::string apply(int viewerWidth, int viewerHeight, bool apply);
    // Back to the mode from before the first change, if one was made.
    void restore();

  private:
    std::mutex mutex_;
    std::unique_ptr<DisplaySystem> system_;  // guarded by mutex_
    bool changed_ = false;                   // mutex_
    std::string output_;                     // mutex_: the output whose mode was changed
    DisplayMode original_;                   // mutex_
};

}  // namespace vel::host
