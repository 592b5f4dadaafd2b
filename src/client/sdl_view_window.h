#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "stream/control_messages.h"
#include "viewer/viewer_engine.h"

namespace vel::client {

// Why a window's run ended.
enum class WindowEnd { Closed, Quit, SessionEnded, Stopped };

// The desktop's window, made with SDL2 (which stays inside this unit): the latest picture scaled
// to the window, the host's pointer drawn from its shape, the statistics overlay, and the
// window's keyboard and mouse sent to the host through ViewControls.
class SdlViewWindow {
  public:
    SdlViewWindow();
    ~SdlViewWindow();
    SdlViewWindow(const SdlViewWindow&) = delete;
    SdlViewWindow& operator=(const SdlViewWindow&) = delete;

    // Opens the window; false with a sentence when there is no display to open it on.
    [[nodiscard]] bool open(const std::string& title, bool fullscreen, std::string& error);
    // The screen the window is on, as the host is told about it.
    stream::ViewerScreen screen() const;
    // Wakes the window's loop; any thread may call it (the engine, for each new picture).
    void wake();
    // Shows the engine's stream until the window is closed, the user quits, the session ends or
    // stop becomes true. quality is what the stream was opened with.
    WindowEnd run(viewer::ViewerEngine& engine, const stream::QualityRequest& quality,
                  const std::atomic<bool>& stop);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vel::client
