#pragma once

#include <string>

#include "client/sdl_view_window.h"
#include "stream/control_messages.h"
#include "viewer/viewer_engine.h"

namespace vel::client {

// How a stream shown in a window ended.
struct StreamWindowResult {
    WindowEnd end = WindowEnd::Closed;
    bool sawPicture = false;  // at least one picture was decoded
    std::string endReason;    // the session's, when it ended by itself
};

// Opens the window, starts the engine with options (its screen and picture hand-over set here),
// asks for quality, and shows the stream until the window is closed, the user quits, the session
// ends, or SIGINT, SIGTERM or SIGHUP arrive. False with a sentence when the window or the engine
// cannot start.
[[nodiscard]] bool ViewInWindow(viewer::ViewerOptions options,
                                const stream::QualityRequest& quality, const std::string& title,
                                bool fullscreen, StreamWindowResult& result, std::string& error);

}  // namespace vel::client
