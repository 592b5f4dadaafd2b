#include "client/typed_text.h"

#include <array>
#include <cstdio>

namespace vel::client {
namespace {

constexpr std::uint16_t kLeftShift = 0x2A;

struct KeyOf {
    std::uint16_t scanCode = 0;  // 0: no key types this character
    bool shift = false;
};

// The US layout, row by row: each string lists the characters of consecutive scan codes
// starting at the code beside it, unshifted then shifted.
struct Row {
    std::uint16_t first;
    const char* plain;
    const char* shifted;
};
constexpr std::array<Row, 5> kRows{{
    {0x02, "1234567890-=", "!@#$%^&*()_+"},
    {0x10, "qwertyuiop[]", "QWERTYUIOP{}"},
    {0x1E, "asdfghjkl;'`", "ASDFGHJKL:\"~"},
    {0x2B, "\\zxcvbnm,./", "|ZXCVBNM<>?"},
    {0x39, " ", ""},
}};

KeyOf keyOf(char c) {
    if (c == '\n') return {0x1C, false};
    if (c == '\t') return {0x0F, false};
    for (const Row& row : kRows) {
        for (std::uint16_t i = 0; row.plain[i] != '\0'; ++i) {
            if (row.plain[i] == c) return {static_cast<std::uint16_t>(row.first + i), false};
        }
        for (std::uint16_t i = 0; row.shifted[i] != '\0'; ++i) {
            if (row.shifted[i] == c) return {static_cast<std::uint16_t>(row.first + i), true};
        }
    }
    return {};
}

}  // namespace

bool TextToKeystrokes(const std::string& text, std::vector<Keystroke>& out, std::string& error) {
    std::vector<Keystroke> strokes;
    for (char c : text) {
        const KeyOf key = keyOf(c);
        if (key.scanCode == 0) {
            char shown[8];
            std::snprintf(shown, sizeof shown, "\\x%02X", static_cast<unsigned char>(c));
            error = "--type: no key types '" +
                    (c >= 0x20 && c < 0x7F ? std::string(1, c) : std::string(shown)) + "'";
            return false;
        }
        if (key.shift) strokes.push_back({kLeftShift, true});
        strokes.push_back({key.scanCode, true});
        strokes.push_back({key.scanCode, false});
        if (key.shift) strokes.push_back({kLeftShift, false});
    }
    out = std::move(strokes);
    return true;
}

}  // namespace vel::client
