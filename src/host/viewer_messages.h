#pragma once

#include <cstdint>
#include <functional>
#include <mutex>

#include "stream/control_messages.h"
#include "stream/session.h"

namespace vel::host {

class InputInjector;

// What the viewer has told the host, as the video thread reads it.
struct ViewerReport {
    stream::QualityRequest quality;
    std::uint64_t qualityGeneration = 0;  // one more for every accepted quality request
    stream::DecoderStatistics decoder;
    bool decoderReceived = false;
    stream::ViewerScreen screen;
    bool screenReceived = false;
    std::uint64_t screenGeneration = 0;  // one more for every screen message
};

// The host's side of the viewer's control and input messages. Runs on the session's receive
// thread: requests are only stored (under its lock) or handed to a helper; input is injected at
// once under the injector's lock. Malformed messages are ignored.
class ViewerMessages {
  public:
    struct Actions {
        std::function<void()> secureAttention;                              // message 24
        std::function<void(const stream::DisplayModeRequest&)> displayMode;  // message 25
    };

    // Without input (injectInput false or no injector) the viewer's input messages are ignored
    // and not counted, and Ctrl+Alt+Del is refused.
    ViewerMessages(InputInjector* injector, bool injectInput, Actions actions);

    void handle(stream::Channel channel, stream::MessageView message);

    ViewerReport report() const;
    // Input messages accepted for injection.
    std::uint64_t inputs() const;

  private:
    void handleControl(stream::MessageView message);

    InputInjector* const injector_;
    const Actions actions_;
    mutable std::mutex mutex_;
    ViewerReport report_;      // guarded by mutex_
    std::uint64_t inputs_ = 0;  // guarded by mutex_
};

}  // namespace vel::host
