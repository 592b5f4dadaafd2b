#include "client/stream_window.h"

#include <atomic>

#include "os/stop_signals.h"

namespace vel::client {

bool ViewInWindow(viewer::ViewerOptions options, const stream::QualityRequest& quality,
                  const std::string& title, bool fullscreen, StreamWindowResult& result,
                  std::string& error) {
    std::atomic<bool> stop{false};
    StopSignals signals([&] { stop = true; });
    SdlViewWindow window;
    if (!window.open(title, fullscreen, error)) return false;
    options.screen = window.screen();
    options.onPicture = [&window](const std::shared_ptr<const viewer::ViewerPicture>&) {
        window.wake();
    };
    viewer::ViewerEngine engine;
    if (!engine.start(options, error)) {
        error = "the stream could not start: " + error;
        return false;
    }
    static_cast<void>(engine.requestQuality(quality));
    result.end = window.run(engine, quality, stop);
    // The engine's threads end before the window that they wake goes away.
    engine.stop();
    const viewer::ViewerStats stats = engine.stats();
    result.sawPicture = stats.framesDecoded > 0;
    result.endReason = stats.endReason;
    return true;
}

}  // namespace vel::client
