#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/bytes.h"
#include "core/json.h"

namespace vel::gate {

// Digits and upper-case letters without 0, 1, I, L and O, which people confuse when typing.
inline constexpr std::string_view kEnrollmentCodeAlphabet = "23456789ABCDEFGHJKMNPQRSTUVWXYZ";
inline constexpr std::size_t kEnrollmentCodeLength = 12;
inline constexpr std::size_t kEnrollmentSaltLength = 16;

// The stored form of one issued code. An empty hash means no code.
struct EnrollmentState {
    Bytes hash;
    Bytes salt;
    std::int64_t expiresAt = 0;

    bool live(std::int64_t now) const { return !hash.empty() && expiresAt > now; }
};

// A code as typed, reduced to what is compared: ASCII letters upper-cased, everything other than
// A-Z and 0-9 dropped.
std::string NormalizeEnrollmentCode(std::string_view typed);

// A new code with a fresh salt, valid for lifetimeSeconds after now. displayed receives the code
// as it is shown ("XXXX-XXXX-XXXX"). Throws vel::Error when the random generator fails.
EnrollmentState NewEnrollmentCode(std::int64_t lifetimeSeconds, std::int64_t now,
                                  std::string& displayed);

// Whether typed is the code behind a live state, compared in constant time.
[[nodiscard]] bool EnrollmentCodeMatches(const EnrollmentState& state, std::string_view typed,
                                         std::int64_t now);

// The file form: {"hash", "salt"} in padded standard base64 and "expiresAt".
JsonValue EnrollmentStateToJson(const EnrollmentState& state);
// Reads that form; a state that is not live reads as no code.
EnrollmentState EnrollmentStateFromJson(const JsonValue& json, std::int64_t now);

}  // namespace vel::gate
