#include "host/viewer_messages.h"

#include "host/input_injector.h"
#include "os/log.h"

namespace vel::host {

using namespace vel::stream;

ViewerMessages::ViewerMessages(InputInjector* injector, bool injectInput, Actions actions)
    : injector_(injectInput ? injector : nullptr), actions_(std::move(actions)) {}

void ViewerMessages::handle(Channel channel, MessageView message) {
    if (channel == Channel::Control) {
        handleControl(message);
        return;
    }
    if (injector_ == nullptr) return;
    if (injector_->handleMessage(message.data(), message.size())) {
        std::lock_guard lock(mutex_);
        ++inputs_;
    }
}

void ViewerMessages::handleControl(MessageView message) {
    // The keyframe request (20) is answered inside the session.
    if (const auto quality = decodeQualityRequest(message)) {
        Log(LogLevel::Info, "viewer set quality: bias %u, %s", quality->bias,
            quality->automatic ? "automatic" : "manual");
        std::lock_guard lock(mutex_);
        report_.quality = *quality;
        ++report_.qualityGeneration;
    } else if (const auto decoder = decodeDecoderStatistics(message)) {
        std::lock_guard lock(mutex_);
        report_.decoder = *decoder;
        report_.decoderReceived = true;
    } else if (const auto screen = decodeViewerScreen(message)) {
        std::lock_guard lock(mutex_);
        report_.screen = *screen;
        report_.screenReceived = true;
        ++report_.screenGeneration;
    } else if (isSecureAttentionRequest(message)) {
        if (injector_ != nullptr && actions_.secureAttention) actions_.secureAttention();
    } else if (const auto mode = decodeDisplayModeRequest(message)) {
        if (actions_.displayMode) actions_.displayMode(*mode);
    }
}

ViewerReport ViewerMessages::report() const {
    std::lock_guard lock(mutex_);
    return report_;
}

std::uint64_t ViewerMessages::inputs() const {
    std::lock_guard lock(mutex_);
    return inputs_;
}

}  // namespace vel::host
