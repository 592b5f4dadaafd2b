#pragma once

#include <string>
#include <string_view>

#include "core/bytes.h"

namespace vel {

inline constexpr std::string_view kBase64UrlAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
inline constexpr std::string_view kBase64StdAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64Encode(const Bytes& data, std::string_view alphabet, bool pad);
// URL alphabet, no padding.
std::string Base64UrlEncode(const Bytes& data);
// Standard alphabet, "=" padding.
std::string Base64StdEncode(const Bytes& data);
// One lenient decoder for both alphabets; false (and an empty out) on bad input.
bool Base64Decode(std::string_view text, Bytes& out);

std::string HexEncode(const Bytes& data, bool upperCase = false);
// Skips blanks and colons; false (and an empty out) on a bad digit or an odd digit count.
[[nodiscard]] bool HexDecode(std::string_view text, Bytes& out);

// The text with every byte that does not belong to a well-formed UTF-8 sequence (overlong forms,
// surrogates and values above U+10FFFF included) replaced by U+FFFD.
std::string ValidUtf8(std::string_view text);
// The longest prefix of valid UTF-8 text that is at most maxBytes long and ends on a character
// boundary.
std::string Utf8Prefix(std::string_view text, std::size_t maxBytes);

}  // namespace vel
