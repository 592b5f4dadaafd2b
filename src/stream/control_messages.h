#pragma once

// The messages host and viewer exchange on the session's reliable channels. Every message starts
// with its id byte; the fields follow little-endian. A decoder returns nothing for a message of
// another id, of the wrong length, or with a field out of its range, so a malformed message is
// simply ignored by whoever receives it.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vel::stream {

using Message = std::vector<std::uint8_t>;
using MessageView = std::span<const std::uint8_t>;

// Host to viewer, Channel::Control.
constexpr std::uint8_t kMsgHostStatistics = 4;
constexpr std::uint8_t kMsgPointerPosition = 5;
constexpr std::uint8_t kMsgPointerShape = 6;
// Viewer to host, Channel::Control.
constexpr std::uint8_t kMsgKeyframeRequest = 20;
constexpr std::uint8_t kMsgQualityRequest = 21;
constexpr std::uint8_t kMsgDecoderStatistics = 22;
constexpr std::uint8_t kMsgViewerScreen = 23;
constexpr std::uint8_t kMsgSecureAttention = 24;
constexpr std::uint8_t kMsgDisplayMode = 25;
// Viewer to host, Channel::Input.
constexpr std::uint8_t kMsgKey = 40;
constexpr std::uint8_t kMsgPointerMove = 41;
constexpr std::uint8_t kMsgPointerAbsolute = 42;
constexpr std::uint8_t kMsgMouseButton = 43;
constexpr std::uint8_t kMsgWheel = 44;
constexpr std::uint8_t kMsgInputKeepAlive = 45;
constexpr std::uint8_t kMsgReleaseAll = 46;

// The id byte, or nothing for an empty message.
std::optional<std::uint8_t> messageId(MessageView message);

// Id 4, once a second: seven u32 values describing the host's last second.
struct HostStatistics {
    std::uint32_t captureUs = 0;      // mean time to obtain a frame from the capture
    std::uint32_t convertUs = 0;      // mean time to scale and convert it for the encoder
    std::uint32_t encodeUs = 0;       // mean time from submission to the encoded frame
    std::uint32_t framesSent = 0;     // frames handed to the session in the last second
    std::uint32_t framesSkipped = 0;  // frame ticks missed or dropped in the last second
    std::uint32_t targetKbps = 0;     // the session's target bitrate, kbit/s
    std::uint32_t bias = 0;           // the bias of the profile in use, 0..100
    bool operator==(const HostStatistics&) const = default;
};
constexpr std::size_t kHostStatisticsSize = 29;
Message encodeHostStatistics(const HostStatistics& stats);
std::optional<HostStatistics> decodeHostStatistics(MessageView message);

// Id 5, whenever the pointer moves, changes shape or hides: its position relative to the
// captured screen's top-left corner in captured pixels (it may lie outside), and that screen's
// size, so the viewer can scale both to its picture.
struct PointerPosition {
    std::int32_t x = 0;
    std::int32_t y = 0;
    bool visible = false;
    std::uint32_t shapeId = 0;  // 0: no shape sent yet
    std::uint16_t screenWidth = 0;
    std::uint16_t screenHeight = 0;
    bool operator==(const PointerPosition&) const = default;
};
constexpr std::size_t kPointerPositionSize = 18;
Message encodePointerPosition(const PointerPosition& position);
std::optional<PointerPosition> decodePointerPosition(MessageView message);

// Id 6, once per new shape before the position that names it: shape id u32, width u16,
// height u16, hot spot x u16, y u16, then width * height premultiplied BGRA pixels.
constexpr std::uint32_t kMaxPointerSide = 256;
constexpr std::size_t kPointerShapeHeaderSize = 13;
struct PointerShape {
    std::uint32_t id = 0;
    std::uint16_t width = 0;  // 1..256
    std::uint16_t height = 0;
    std::uint16_t hotX = 0;  // inside the image
    std::uint16_t hotY = 0;
    std::vector<std::uint8_t> pixels;  // width * height * 4
    bool operator==(const PointerShape&) const = default;
};
// Nothing when the shape breaks the limits above.
std::optional<Message> encodePointerShape(const PointerShape& shape);
std::optional<PointerShape> decodePointerShape(MessageView message);

// Id 20 and 24 carry nothing but their id.
Message encodeKeyframeRequest();
[[nodiscard]] bool isKeyframeRequest(MessageView message);
Message encodeSecureAttentionRequest();
[[nodiscard]] bool isSecureAttentionRequest(MessageView message);

// Id 21: bias u8 (0..100; more is malformed), automatic u8, frame-rate cap u16 (0: none),
// bitrate cap u32 in kbit/s (0: none). The caps narrow the host's own.
struct QualityRequest {
    std::uint8_t bias = 50;
    bool automatic = true;
    std::uint16_t maxFps = 0;
    std::uint32_t maxKbps = 0;
    bool operator==(const QualityRequest&) const = default;
};
constexpr std::size_t kQualityRequestSize = 9;
Message encodeQualityRequest(const QualityRequest& request);
std::optional<QualityRequest> decodeQualityRequest(MessageView message);

// Id 22, the viewer's side of the pipeline, for the host's status line: six u32 values, then
// the decoded picture's width and height as u16.
struct DecoderStatistics {
    std::uint32_t decodeUs = 0;        // mean decode time
    std::uint32_t presentUs = 0;       // mean time from decoded to shown
    std::uint32_t endToEndUs = 0;      // mean capture-to-shown estimate
    std::uint32_t framesDecoded = 0;   // in the last second
    std::uint32_t framesDropped = 0;   // given up or undecodable, in the last second
    std::uint32_t audioBufferMs = 0;   // host audio held in the viewer's jitter buffer
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    bool operator==(const DecoderStatistics&) const = default;
};
constexpr std::size_t kDecoderStatisticsSize = 29;
Message encodeDecoderStatistics(const DecoderStatistics& stats);
std::optional<DecoderStatistics> decodeDecoderStatistics(MessageView message);

// Id 23: the viewer's screen, width u16, height u16, refresh u16 (Hz, 0 unknown), flags u8.
constexpr std::uint8_t kScreenDecodesHevc = 1;   // flags bit 0
constexpr std::uint8_t kScreenWantsNative = 2;   // flags bit 1: native size requested
struct ViewerScreen {
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    std::uint16_t refresh = 0;
    std::uint8_t flags = 0;
    bool operator==(const ViewerScreen&) const = default;
};
constexpr std::size_t kViewerScreenSize = 8;
Message encodeViewerScreen(const ViewerScreen& screen);
std::optional<ViewerScreen> decodeViewerScreen(MessageView message);

// Id 25: width u16, height u16, apply u8 (0: restore the mode from before the change).
struct DisplayModeRequest {
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    bool apply = true;
    bool operator==(const DisplayModeRequest&) const = default;
};
constexpr std::size_t kDisplayModeRequestSize = 6;
Message encodeDisplayModeRequest(const DisplayModeRequest& request);
std::optional<DisplayModeRequest> decodeDisplayModeRequest(MessageView message);

// Input channel.
struct KeyEvent {  // id 40, 4 bytes
    std::uint16_t scanCode = 0;  // set 1
    std::uint8_t flags = 0;      // bit 0 down, bit 1 extended
    bool operator==(const KeyEvent&) const = default;
};
struct PointerMove {  // id 41, 5 bytes
    std::int16_t dx = 0;
    std::int16_t dy = 0;
    bool operator==(const PointerMove&) const = default;
};
struct PointerAbsolute {  // id 42, 5 bytes; 0..65535 across the captured output
    std::uint16_t x = 0;
    std::uint16_t y = 0;
    bool operator==(const PointerAbsolute&) const = default;
};
struct MouseButtonEvent {  // id 43, 3 bytes
    std::uint8_t button = 0;  // 1 left, 2 right, 3 middle, 4 back, 5 forward
    bool down = false;
    bool operator==(const MouseButtonEvent&) const = default;
};
struct WheelEvent {  // id 44, 4 bytes
    std::int16_t delta = 0;  // 120 per notch
    bool horizontal = false;
    bool operator==(const WheelEvent&) const = default;
};
Message encodeKeyEvent(const KeyEvent& event);
Message encodePointerMove(const PointerMove& event);
Message encodePointerAbsolute(const PointerAbsolute& event);
Message encodeMouseButton(const MouseButtonEvent& event);
Message encodeWheel(const WheelEvent& event);
// Ids 45 and 46 are accepted at any length; these send the bare id.
Message encodeInputKeepAlive();
Message encodeReleaseAll();
std::optional<KeyEvent> decodeKeyEvent(MessageView message);
std::optional<PointerMove> decodePointerMove(MessageView message);
std::optional<PointerAbsolute> decodePointerAbsolute(MessageView message);
std::optional<MouseButtonEvent> decodeMouseButton(MessageView message);
std::optional<WheelEvent> decodeWheel(MessageView message);

}  // namespace vel::stream
