#include "stream/control_messages.h"

#include "stream/little_endian.h"

namespace vel::stream {
namespace {

// Appends fields behind the id byte.
class Writer {
  public:
    Writer(std::uint8_t id, std::size_t size) {
        bytes_.reserve(size);
        bytes_.push_back(id);
    }
    Writer& u8(std::uint8_t v) {
        bytes_.push_back(v);
        return *this;
    }
    Writer& u16(std::uint16_t v) {
        std::uint8_t b[2];
        storeLe16(b, v);
        bytes_.insert(bytes_.end(), b, b + 2);
        return *this;
    }
    Writer& u32(std::uint32_t v) {
        std::uint8_t b[4];
        storeLe32(b, v);
        bytes_.insert(bytes_.end(), b, b + 4);
        return *this;
    }
    Message take() { return std::move(bytes_); }

  private:
    Message bytes_;
};

// Reads fields after the id byte; the caller has checked the length.
class Reader {
  public:
    explicit Reader(MessageView message) : p_(message.data() + 1) {}
    std::uint8_t u8() { return *p_++; }
    std::uint16_t u16() {
        const std::uint16_t v = loadLe16(p_);
        p_ += 2;
        return v;
    }
    std::int16_t i16() { return static_cast<std::int16_t>(u16()); }
    std::uint32_t u32() {
        const std::uint32_t v = loadLe32(p_);
        p_ += 4;
        return v;
    }
    std::int32_t i32() { return static_cast<std::int32_t>(u32()); }

  private:
    const std::uint8_t* p_;
};

bool fits(MessageView message, std::uint8_t id, std::size_t size) {
    return message.size() == size && message[0] == id;
}

}  // namespace

std::optional<std::uint8_t> messageId(MessageView message) {
    if (message.empty()) return std::nullopt;
    return message[0];
}

Message encodeHostStatistics(const HostStatistics& s) {
    return Writer(kMsgHostStatistics, kHostStatisticsSize)
        .u32(s.captureUs)
        .u32(s.convertUs)
        .u32(s.encodeUs)
        .u32(s.framesSent)
        .u32(s.framesSkipped)
        .u32(s.targetKbps)
        .u32(s.bias)
        .take();
}

std::optional<HostStatistics> decodeHostStatistics(MessageView message) {
    if (!fits(message, kMsgHostStatistics, kHostStatisticsSize)) return std::nullopt;
    Reader r(message);
    HostStatistics s;
    s.captureUs = r.u32();
    s.convertUs = r.u32();
    s.encodeUs = r.u32();
    s.framesSent = r.u32();
    s.framesSkipped = r.u32();
    s.targetKbps = r.u32();
    s.bias = r.u32();
    return s;
}

Message encodePointerPosition(const PointerPosition& p) {
    return Writer(kMsgPointerPosition, kPointerPositionSize)
        .u32(static_cast<std::uint32_t>(p.x))
        .u32(static_cast<std::uint32_t>(p.y))
        .u8(p.visible ? 1 : 0)
        .u32(p.shapeId)
        .u16(p.screenWidth)
        .u16(p.screenHeight)
        .take();
}

std::optional<PointerPosition> decodePointerPosition(MessageView message) {
    if (!fits(message, kMsgPointerPosition, kPointerPositionSize)) return std::nullopt;
    Reader r(message);
    PointerPosition p;
    p.x = r.i32();
    p.y = r.i32();
    p.visible = r.u8() != 0;
    p.shapeId = r.u32();
    p.screenWidth = r.u16();
    p.screenHeight = r.u16();
    return p;
}

namespace {
bool shapeValid(std::uint32_t width, std::uint32_t height, std::uint32_t hotX,
                std::uint32_t hotY) {
    return width >= 1 && width <= kMaxPointerSide && height >= 1 && height <= kMaxPointerSide &&
           hotX < width && hotY < height;
}
}  // namespace

std::optional<Message> encodePointerShape(const PointerShape& s) {
    if (!shapeValid(s.width, s.height, s.hotX, s.hotY) ||
        s.pixels.size() != std::size_t{s.width} * s.height * 4)
        return std::nullopt;
    Writer w(kMsgPointerShape, kPointerShapeHeaderSize + s.pixels.size());
    w.u32(s.id).u16(s.width).u16(s.height).u16(s.hotX).u16(s.hotY);
    Message bytes = w.take();
    bytes.insert(bytes.end(), s.pixels.begin(), s.pixels.end());
    return bytes;
}

std::optional<PointerShape> decodePointerShape(MessageView message) {
    if (message.size() < kPointerShapeHeaderSize || message[0] != kMsgPointerShape)
        return std::nullopt;
    Reader r(message);
    PointerShape s;
    s.id = r.u32();
    s.width = r.u16();
    s.height = r.u16();
    s.hotX = r.u16();
    s.hotY = r.u16();
    if (!shapeValid(s.width, s.height, s.hotX, s.hotY) ||
        message.size() != kPointerShapeHeaderSize + std::size_t{s.width} * s.height * 4)
        return std::nullopt;
    s.pixels.assign(message.begin() + kPointerShapeHeaderSize, message.end());
    return s;
}

Message encodeKeyframeRequest() {
    return {kMsgKeyframeRequest};
}
bool isKeyframeRequest(MessageView message) {
    return fits(message, kMsgKeyframeRequest, 1);
}
Message encodeSecureAttentionRequest() {
    return {kMsgSecureAttention};
}
bool isSecureAttentionRequest(MessageView message) {
    return fits(message, kMsgSecureAttention, 1);
}

Message encodeQualityRequest(const QualityRequest& q) {
    return Writer(kMsgQualityRequest, kQualityRequestSize)
        .u8(q.bias)
        .u8(q.automatic ? 1 : 0)
        .u16(q.maxFps)
        .u32(q.maxKbps)
        .take();
}

std::optional<QualityRequest> decodeQualityRequest(MessageView message) {
    if (!fits(message, kMsgQualityRequest, kQualityRequestSize)) return std::nullopt;
    Reader r(message);
    QualityRequest q;
    q.bias = r.u8();
    if (q.bias > 100) return std::nullopt;
    q.automatic = r.u8() != 0;
    q.maxFps = r.u16();
    q.maxKbps = r.u32();
    return q;
}

Message encodeDecoderStatistics(const DecoderStatistics& s) {
    return Writer(kMsgDecoderStatistics, kDecoderStatisticsSize)
        .u32(s.decodeUs)
        .u32(s.presentUs)
        .u32(s.endToEndUs)
        .u32(s.framesDecoded)
        .u32(s.framesDropped)
        .u32(s.audioBufferMs)
        .u16(s.width)
        .u16(s.height)
        .take();
}

std::optional<DecoderStatistics> decodeDecoderStatistics(MessageView message) {
    if (!fits(message, kMsgDecoderStatistics, kDecoderStatisticsSize)) return std::nullopt;
    Reader r(message);
    DecoderStatistics s;
    s.decodeUs = r.u32();
    s.presentUs = r.u32();
    s.endToEndUs = r.u32();
    s.framesDecoded = r.u32();
    s.framesDropped = r.u32();
    s.audioBufferMs = r.u32();
    s.width = r.u16();
    s.height = r.u16();
    return s;
}

Message encodeViewerScreen(const ViewerScreen& s) {
    return Writer(kMsgViewerScreen, kViewerScreenSize)
        .u16(s.width)
        .u16(s.height)
        .u16(s.refresh)
        .u8(s.flags)
        .take();
}

std::optional<ViewerScreen> decodeViewerScreen(MessageView message) {
    if (!fits(message, kMsgViewerScreen, kViewerScreenSize)) return std::nullopt;
    Reader r(message);
    ViewerScreen s;
    s.width = r.u16();
    s.height = r.u16();
    s.refresh = r.u16();
    s.flags = r.u8();
    return s;
}

Message encodeDisplayModeRequest(const DisplayModeRequest& d) {
    return Writer(kMsgDisplayMode, kDisplayModeRequestSize)
        .u16(d.width)
        .u16(d.height)
        .u8(d.apply ? 1 : 0)
        .take();
}

std::optional<DisplayModeRequest> decodeDisplayModeRequest(MessageView message) {
    if (!fits(message, kMsgDisplayMode, kDisplayModeRequestSize)) return std::nullopt;
    Reader r(message);
    DisplayModeRequest d;
    d.width = r.u16();
    d.height = r.u16();
    d.apply = r.u8() != 0;
    return d;
}

Message encodeKeyEvent(const KeyEvent& e) {
    return Writer(kMsgKey, 4).u16(e.scanCode).u8(e.flags).take();
}
Message encodePointerMove(const PointerMove& e) {
    return Writer(kMsgPointerMove, 5)
        .u16(static_cast<std::uint16_t>(e.dx))
        .u16(static_cast<std::uint16_t>(e.dy))
        .take();
}
Message encodePointerAbsolute(const PointerAbsolute& e) {
    return Writer(kMsgPointerAbsolute, 5).u16(e.x).u16(e.y).take();
}
Message encodeMouseButton(const MouseButtonEvent& e) {
    return Writer(kMsgMouseButton, 3).u8(e.button).u8(e.down ? 1 : 0).take();
}
Message encodeWheel(const WheelEvent& e) {
    return Writer(kMsgWheel, 4)
        .u16(static_cast<std::uint16_t>(e.delta))
        .u8(e.horizontal ? 1 : 0)
        .take();
}
Message encodeInputKeepAlive() {
    return {kMsgInputKeepAlive};
}
Message encodeReleaseAll() {
    return {kMsgReleaseAll};
}

std::optional<KeyEvent> decodeKeyEvent(MessageView message) {
    if (!fits(message, kMsgKey, 4)) return std::nullopt;
    Reader r(message);
    KeyEvent e;
    e.scanCode = r.u16();
    e.flags = r.u8();
    return e;
}

std::optional<PointerMove> decodePointerMove(MessageView message) {
    if (!fits(message, kMsgPointerMove, 5)) return std::nullopt;
    Reader r(message);
    PointerMove e;
    e.dx = r.i16();
    e.dy = r.i16();
    return e;
}

std::optional<PointerAbsolute> decodePointerAbsolute(MessageView message) {
    if (!fits(message, kMsgPointerAbsolute, 5)) return std::nullopt;
    Reader r(message);
    PointerAbsolute e;
    e.x = r.u16();
    e.y = r.u16();
    return e;
}

std::optional<MouseButtonEvent> decodeMouseButton(MessageView message) {
    if (!fits(message, kMsgMouseButton, 3)) return std::nullopt;
    Reader r(message);
    MouseButtonEvent e;
    e.button = r.u8();
    e.down = r.u8() != 0;
    return e;
}

std::optional<WheelEvent> decodeWheel(MessageView message) {
    if (!fits(message, kMsgWheel, 4)) return std::nullopt;
    Reader r(message);
    WheelEvent e;
    e.delta = r.i16();
    e.horizontal = r.u8() != 0;
    return e;
}

}  // namespace vel::stream
