#include "gate/cbor.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace vel::gate {

namespace {

constexpr std::uint8_t kBreak = 0xFF;
constexpr std::uint8_t kIndefinite = 31;

double HalfToDouble(std::uint16_t half) {
    const int exponent = (half >> 10) & 0x1F;
    const int mantissa = half & 0x3FF;
    double value;
    if (exponent == 0) {
        value = std::ldexp(mantissa, -24);
    } else if (exponent == 31) {
        value = mantissa == 0 ? std::numeric_limits<double>::infinity()
                              : std::numeric_limits<double>::quiet_NaN();
    } else {
        value = std::ldexp(mantissa + 1024, exponent - 25);
    }
    return (half & 0x8000) != 0 ? -value : value;
}

// Recursive descent over one buffer. Every read is bounds-checked; no length taken from the input
// is trusted before it has been compared with what is left.
class Decoder {
  public:
    // A decoder that does not build walks the items only to check them, holding no more than one
    // scratch item per level.
    Decoder(std::span<const std::uint8_t> data, bool build) : data_(data), build_(build) {}

    std::size_t position() const { return pos_; }

    bool item(CborValue& out, int depth) {
        if (depth > kCborMaxDepth) return false;
        if (build_ && itemsLeft_-- == 0) return false;
        std::uint8_t initial;
        if (!byte(initial)) return false;
        const int major = initial >> 5;
        const std::uint8_t info = initial & 0x1F;
        if (info >= 28 && info <= 30) return false;
        if (info == kIndefinite) return indefinite(major, out, depth);
        std::uint64_t argument;
        if (!readArgument(info, argument)) return false;
        switch (major) {
            case 0:
                out.kind = CborKind::Unsigned;
                out.n = argument;
                return true;
            case 1:
                out.kind = CborKind::Negative;
                out.n = argument;
                return true;
            case 2:
                out.kind = CborKind::Bytes;
                return take(argument, out.bytes);
            case 3:
                out.kind = CborKind::Text;
                return take(argument, out.bytes);
            case 4:
                if (argument > remaining()) return false;
                out.kind = CborKind::Array;
                // Grown item by item, so a count in a header alone never allocates.
                for (std::uint64_t i = 0; i < argument; ++i) {
                    if (!child(out.items, depth + 1)) return false;
                }
                return true;
            case 5:
                if (argument > remaining()) return false;
                out.kind = CborKind::Map;
                for (std::uint64_t i = 0; i < argument; ++i) {
                    if (!child(out.items, depth + 1) ||
                        !child(out.values, depth + 1)) {
                        return false;
                    }
                }
                return true;
            case 6:
                // Tags carry no meaning for WebAuthn; the tagged item stands for itself.
                return item(out, depth + 1);
            default:
                return simple(info, argument, out);
        }
    }

  private:
    bool child(std::vector<CborValue>& into, int depth) {
        if (build_) return item(into.emplace_back(), depth);
        CborValue scratch;
        return item(scratch, depth);
    }

    std::size_t remaining() const { return data_.size() - pos_; }

    bool byte(std::uint8_t& out) {
        if (pos_ >= data_.size()) return false;
        out = data_[pos_++];
        return true;
    }

    bool readArgument(std::uint8_t info, std::uint64_t& out) {
        if (info < 24) {
            out = info;
            return true;
        }
        const std::size_t width = std::size_t{1} << (info - 24);
        if (width > remaining()) return false;
        out = 0;
        for (std::size_t i = 0; i < width; ++i) out = (out << 8) | data_[pos_++];
        return true;
    }

    bool take(std::uint64_t length, Bytes& out) {
        if (length > remaining()) return false;
        if (!build_) {
            pos_ += static_cast<std::size_t>(length);
            return true;
        }
        const auto begin = data_.begin() + static_cast<std::ptrdiff_t>(pos_);
        out.insert(out.end(), begin, begin + static_cast<std::ptrdiff_t>(length));
        pos_ += static_cast<std::size_t>(length);
        return true;
    }

    bool atBreak() {
        if (pos_ < data_.size() && data_[pos_] == kBreak) {
            ++pos_;
            return true;
        }
        return false;
    }

    bool indefinite(int major, CborValue& out, int depth) {
        switch (major) {
            case 2:
            case 3:
                out.kind = major == 2 ? CborKind::Bytes : CborKind::Text;
                return chunks(major, out.bytes, depth);
            case 4:
                out.kind = CborKind::Array;
                while (!atBreak()) {
                    if (!child(out.items, depth + 1)) return false;
                }
                return true;
            case 5:
                out.kind = CborKind::Map;
                while (!atBreak()) {
                    if (!child(out.items, depth + 1) ||
                        !child(out.values, depth + 1)) {
                        return false;
                    }
                }
                return true;
            default:
                return false;
        }
    }

    // The chunks of an indefinite string: definite strings of the same major type up to a break.
    bool chunks(int major, Bytes& out, int depth) {
        while (!atBreak()) {
            if (depth + 1 > kCborMaxDepth) return false;
            std::uint8_t initial;
            if (!byte(initial)) return false;
            const std::uint8_t info = initial & 0x1F;
            if ((initial >> 5) != major || info >= 28) return false;
            std::uint64_t length;
            if (!readArgument(info, length) || !take(length, out)) return false;
        }
        return true;
    }

    static bool simple(std::uint8_t info, std::uint64_t argument, CborValue& out) {
        switch (info) {
            case 20:
            case 21:
                out.kind = CborKind::Bool;
                out.boolean = info == 21;
                return true;
            case 22:
                out.kind = CborKind::Null;
                return true;
            case 23:
                out.kind = CborKind::Undefined;
                return true;
            case 25:
                out.kind = CborKind::Float;
                out.number = HalfToDouble(static_cast<std::uint16_t>(argument));
                return true;
            case 26: {
                const auto bits = static_cast<std::uint32_t>(argument);
                float single;
                std::memcpy(&single, &bits, sizeof single);
                out.kind = CborKind::Float;
                out.number = single;
                return true;
            }
            case 27:
                out.kind = CborKind::Float;
                std::memcpy(&out.number, &argument, sizeof out.number);
                return true;
            default:
                return false;
        }
    }

    std::span<const std::uint8_t> data_;
    const bool build_;
    std::size_t pos_ = 0;
    std::size_t itemsLeft_ = kCborMaxItems;
};

}  // namespace

bool CborValue::toInt64(std::int64_t& out) const {
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (!isInteger() || n > kMax) return false;
    const auto magnitude = static_cast<std::int64_t>(n);
    out = kind == CborKind::Unsigned ? magnitude : -1 - magnitude;
    return true;
}

const CborValue* CborValue::find(std::int64_t key) const {
    if (kind != CborKind::Map) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        std::int64_t candidate;
        if (items[i].toInt64(candidate) && candidate == key) return &values[i];
    }
    return nullptr;
}

const CborValue* CborValue::find(std::string_view textKey) const {
    if (kind != CborKind::Map) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const CborValue& k = items[i];
        if (k.kind == CborKind::Text &&
            std::string_view(reinterpret_cast<const char*>(k.bytes.data()), k.bytes.size()) ==
                textKey) {
            return &values[i];
        }
    }
    return nullptr;
}

bool CborCheck(std::span<const std::uint8_t> data, std::size_t& consumed) {
    Decoder decoder(data, false);
    CborValue scratch;
    if (!decoder.item(scratch, 0)) return false;
    consumed = decoder.position();
    return true;
}

bool CborDecode(std::span<const std::uint8_t> data, CborValue& out, std::size_t* consumed) {
    Decoder decoder(data, true);
    CborValue value;
    if (!decoder.item(value, 0)) return false;
    out = std::move(value);
    if (consumed != nullptr) *consumed = decoder.position();
    return true;
}

}  // namespace vel::gate
