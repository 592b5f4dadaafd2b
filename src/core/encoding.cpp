#include "core/encoding.h"

#include <array>

namespace vel {

namespace {

constexpr std::int8_t kInvalid = -1;
constexpr std::int8_t kSkip = -2;

// Both base64 alphabets in one table, so one decoder reads either.
constexpr std::array<std::int8_t, 256> makeBase64Table() {
    std::array<std::int8_t, 256> table{};
    table.fill(kInvalid);
    for (int i = 0; i < 64; ++i) {
        table[static_cast<unsigned char>(kBase64StdAlphabet[i])] = static_cast<std::int8_t>(i);
        table[static_cast<unsigned char>(kBase64UrlAlphabet[i])] = static_cast<std::int8_t>(i);
    }
    for (char blank : {' ', '\t', '\r', '\n'}) table[static_cast<unsigned char>(blank)] = kSkip;
    return table;
}

constexpr auto kBase64Values = makeBase64Table();

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string Base64Encode(const Bytes& data, std::string_view alphabet, bool pad) {
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        const std::uint32_t v = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += alphabet[v & 63];
    }
    const std::size_t rest = data.size() - i;
    if (rest == 0) return out;
    const std::uint32_t v = (data[i] << 16) | (rest == 2 ? data[i + 1] << 8 : 0);
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    if (rest == 2) out += alphabet[(v >> 6) & 63];
    if (pad) out.append(3 - rest, '=');
    return out;
}

std::string Base64UrlEncode(const Bytes& data) {
    return Base64Encode(data, kBase64UrlAlphabet, false);
}

std::string Base64StdEncode(const Bytes& data) {
    return Base64Encode(data, kBase64StdAlphabet, true);
}

bool Base64Decode(std::string_view text, Bytes& out) {
    out.clear();
    out.reserve(text.size() / 4 * 3 + 2);
    std::uint32_t bits = 0;
    int pending = 0;
    for (char c : text) {
        if (c == '=') break;
        const std::int8_t value = kBase64Values[static_cast<unsigned char>(c)];
        if (value == kSkip) continue;
        if (value == kInvalid) {
            out.clear();
            return false;
        }
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        pending += 6;
        if (pending >= 8) {
            pending -= 8;
            out.push_back(static_cast<std::uint8_t>(bits >> pending));
        }
    }
    // Six pending bits: one lone character after the last full group, which holds no byte.
    if (pending == 6) {
        out.clear();
        return false;
    }
    return true;
}

std::string HexEncode(const Bytes& data, bool upperCase) {
    const char* digits = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string out;
    out.reserve(data.size() * 2);
    for (std::uint8_t b : data) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

bool HexDecode(std::string_view text, Bytes& out) {
    out.clear();
    out.reserve(text.size() / 2);
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ':') continue;
        const int value = hexValue(c);
        if (value < 0) {
            out.clear();
            return false;
        }
        if (high < 0) {
            high = value;
        } else {
            out.push_back(static_cast<std::uint8_t>((high << 4) | value));
            high = -1;
        }
    }
    if (high >= 0) {
        out.clear();
        return false;
    }
    return true;
}

}  // namespace vel

namespace vel {

namespace {

// Length of the well-formed UTF-8 sequence at the start of text, 0 when there is none
// (RFC 3629: no overlong forms, no surrogates, nothing above U+10FFFF).
std::size_t utf8SequenceLength(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t lead = byte(0);
    if (lead < 0x80) return 1;
    std::size_t length;
    std::uint8_t low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 0;
    }
    return length;
}

}  // namespace

std::string ValidUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const std::size_t length = utf8SequenceLength(text);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            text.remove_prefix(1);
        } else {
            out.append(text.substr(0, length));
            text.remove_prefix(length);
        }
    }
    return out;
}

std::string Utf8Prefix(std::string_view text, std::size_t maxBytes) {
    const std::string valid = ValidUtf8(text);
    std::size_t end = 0;
    while (end < valid.size()) {
        const std::size_t length = utf8SequenceLength(std::string_view(valid).substr(end));
        if (end + length > maxBytes) break;
        end += length;
    }
    return valid.substr(0, end);
}

}  // namespace vel
