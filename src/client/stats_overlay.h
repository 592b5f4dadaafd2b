#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "stream/control_messages.h"
#include "viewer/picture.h"
#include "viewer/viewer_engine.h"

namespace vel::client {

// The statistics the viewer shows over the picture, figured per second: picture size and rate,
// received bitrate, frames lost on the way, round trip, the host's and the viewer's shares of
// the delay and the estimated time from the host's capture to the screen.
class StatsOverlay {
  public:
    // Every picture put on screen, with the moment (monotonic microseconds) it was shown.
    void shown(const viewer::ViewerPicture& picture, std::int64_t shownAt);

    // Folds what happened since the last call into the figures when at least a second has
    // passed; true when the text changed.
    bool update(std::int64_t now, const viewer::ViewerStats& stats,
                const stream::QualityRequest& quality);

    // The lines of text to show; empty before the first second is complete.
    const std::vector<std::string>& lines() const { return lines_; }

  private:
    std::int64_t since_ = 0;
    std::uint64_t bytes_ = 0;
    std::uint64_t delivered_ = 0;
    std::uint64_t givenUp_ = 0;
    // Pictures shown in the current second.
    std::uint64_t pictures_ = 0;
    std::int64_t displayUs_ = 0;  // decoded to shown, summed
    std::int64_t networkUs_ = 0;  // complete to shown, summed
    int width_ = 0;
    int height_ = 0;
    std::vector<std::string> lines_;
};

}  // namespace vel::client
