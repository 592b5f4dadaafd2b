#include "client/stats_overlay.h"

#include <cstdio>

namespace vel::client {

namespace {

std::string format(const char* pattern, auto... values) {
    char text[160];
    std::snprintf(text, sizeof text, pattern, values...);
    return text;
}

}  // namespace

void StatsOverlay::shown(const viewer::ViewerPicture& picture, std::int64_t shownAt) {
    ++pictures_;
    displayUs_ += shownAt - picture.decodedAt;
    networkUs_ += shownAt - picture.receivedAt;
    width_ = picture.width;
    height_ = picture.height;
}

bool StatsOverlay::update(std::int64_t now, const viewer::ViewerStats& stats,
                          const stream::QualityRequest& quality) {
    if (since_ == 0) {
        since_ = now;
        bytes_ = stats.session.bytesReceived;
        delivered_ = stats.session.framesDelivered;
        givenUp_ = stats.session.framesGivenUp;
        pictures_ = 0;
        displayUs_ = networkUs_ = 0;
        return false;
    }
    const std::int64_t elapsed = now - since_;
    if (elapsed < 1'000'000) return false;
    const double seconds = static_cast<double>(elapsed) / 1e6;
    const double mbits = static_cast<double>(stats.session.bytesReceived - bytes_) * 8 / seconds / 1e6;
    const std::uint64_t delivered = stats.session.framesDelivered - delivered_;
    const std::uint64_t givenUp = stats.session.framesGivenUp - givenUp_;
    const double lossPercent =
        delivered + givenUp == 0 ? 0.0 : 100.0 * static_cast<double>(givenUp) / (delivered + givenUp);
    const double rttMs = static_cast<double>(stats.session.smoothedRtt) / 1000.0;
    const double displayMs = pictures_ ? static_cast<double>(displayUs_) / pictures_ / 1000.0 : 0;
    const double receivedToShownMs =
        pictures_ ? static_cast<double>(networkUs_) / pictures_ / 1000.0 : 0;
    const double hostMs =
        stats.host ? (stats.host->convertUs + stats.host->encodeUs) / 1000.0 : 0.0;
    // The host's clock is not ours: the way there is taken as half the round trip.
    const double endToEndMs = hostMs + rttMs / 2 + receivedToShownMs;

    std::vector<std::string> lines;
    lines.push_back(format("%dx%d  %.1f fps  %s", width_, height_, pictures_ / seconds,
                           stats.decoder.empty() ? "no decoder yet" : stats.decoder.c_str()));
    std::string bitrate = format("bitrate %.1f Mbit/s", mbits);
    if (stats.host && stats.host->targetKbps > 0) {
        bitrate += format(" (target %.1f)", stats.host->targetKbps / 1000.0);
    }
    lines.push_back(bitrate + format("  loss %.1f%% of frames  RTT %.1f ms", lossPercent, rttMs));
    lines.push_back(format("host %.1f ms  decode %.1f ms  display %.1f ms  end-to-end ~%.0f ms",
                           hostMs, stats.decodeMs, displayMs, endToEndMs));
    std::string balance = format("bias %u %s", static_cast<unsigned>(quality.bias),
                                 quality.automatic ? "automatic" : "manual");
    if (stats.host) balance += format(", host at %u", static_cast<unsigned>(stats.host->bias));
    lines.push_back(balance + "  (Ctrl+Alt+Shift+S hides this)");

    since_ = now;
    bytes_ = stats.session.bytesReceived;
    delivered_ = stats.session.framesDelivered;
    givenUp_ = stats.session.framesGivenUp;
    pictures_ = 0;
    displayUs_ = networkUs_ = 0;
    const bool changed = lines != lines_;
    lines_ = std::move(lines);
    return changed;
}

}  // namespace vel::client
