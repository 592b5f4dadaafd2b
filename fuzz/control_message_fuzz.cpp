// Every decoder of the messages host and viewer exchange, on the same bytes. A decoder either
// refuses the message or reads it exactly: encoding what it read gives back the same bytes.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "stream/control_messages.h"

namespace {

using namespace vel::stream;

template <typename Decode, typename Encode>
void exact(MessageView message, Decode decode, Encode encode) {
    if (const auto value = decode(message)) {
        const Message bytes = encode(*value);
        if (bytes.size() != message.size() ||
            !std::equal(bytes.begin(), bytes.end(), message.begin()))
            std::abort();
    }
}

// Booleans are read as "non-zero", so only canonical bytes re-encode exactly; decode once more
// instead and compare the values.
template <typename Decode, typename Encode>
void stable(MessageView message, Decode decode, Encode encode) {
    if (const auto value = decode(message)) {
        const Message bytes = encode(*value);
        const auto again = decode(bytes);
        if (!again || !(*again == *value)) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const MessageView message(data, size);
    exact(message, decodeHostStatistics, encodeHostStatistics);
    exact(message, decodeDecoderStatistics, encodeDecoderStatistics);
    exact(message, decodeViewerScreen, encodeViewerScreen);
    exact(message, decodeKeyEvent, encodeKeyEvent);
    exact(message, decodePointerMove, encodePointerMove);
    exact(message, decodePointerAbsolute, encodePointerAbsolute);
    stable(message, decodePointerPosition, encodePointerPosition);
    stable(message, decodeQualityRequest, encodeQualityRequest);
    stable(message, decodeDisplayModeRequest, encodeDisplayModeRequest);
    stable(message, decodeMouseButton, encodeMouseButton);
    stable(message, decodeWheel, encodeWheel);
    if (const auto shape = decodePointerShape(message)) {
        if (shape->width < 1 || shape->width > kMaxPointerSide || shape->height < 1 ||
            shape->height > kMaxPointerSide || shape->hotX >= shape->width ||
            shape->hotY >= shape->height)
            std::abort();
        const auto bytes = encodePointerShape(*shape);
        if (!bytes || *bytes != Message(message.begin(), message.end())) std::abort();
    }
    if (const auto quality = decodeQualityRequest(message); quality && quality->bias > 100)
        std::abort();
    (void)isKeyframeRequest(message);
    (void)isSecureAttentionRequest(message);
    return 0;
}
