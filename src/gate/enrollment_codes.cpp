#include "gate/enrollment_codes.h"

#include <openssl/crypto.h>

#include "core/crypto.h"
#include "core/encoding.h"

namespace vel::gate {

namespace {

// SHA-256(salt || normalised code). The code is a secret until it is consumed, so the buffer
// that held it is wiped.
Bytes CodeHash(const Bytes& salt, const std::string& normalized) {
    Bytes input = salt;
    input.insert(input.end(), normalized.begin(), normalized.end());
    Bytes hash = Sha256(input);
    OPENSSL_cleanse(input.data(), input.size());
    return hash;
}

}  // namespace

std::string NormalizeEnrollmentCode(std::string_view typed) {
    std::string normalized;
    for (const char c : typed) {
        if (c >= 'a' && c <= 'z') {
            normalized += static_cast<char>(c - 'a' + 'A');
        } else if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
            normalized += c;
        }
    }
    return normalized;
}

EnrollmentState NewEnrollmentCode(std::int64_t lifetimeSeconds, std::int64_t now,
                                  std::string& displayed) {
    Bytes random = RandomBytes(kEnrollmentCodeLength);
    displayed.clear();
    for (std::size_t i = 0; i < random.size(); ++i) {
        if (i > 0 && i % 4 == 0) displayed += '-';
        displayed += kEnrollmentCodeAlphabet[random[i] % kEnrollmentCodeAlphabet.size()];
    }
    OPENSSL_cleanse(random.data(), random.size());

    EnrollmentState state;
    state.salt = RandomBytes(kEnrollmentSaltLength);
    std::string normalized = NormalizeEnrollmentCode(displayed);
    state.hash = CodeHash(state.salt, normalized);
    OPENSSL_cleanse(normalized.data(), normalized.size());
    state.expiresAt = now + lifetimeSeconds;
    return state;
}

bool EnrollmentCodeMatches(const EnrollmentState& state, std::string_view typed, std::int64_t now) {
    if (!state.live(now)) return false;
    std::string normalized = NormalizeEnrollmentCode(typed);
    if (normalized.empty()) return false;
    const Bytes hash = CodeHash(state.salt, normalized);
    OPENSSL_cleanse(normalized.data(), normalized.size());
    return ConstantTimeEqual(hash, state.hash);
}

JsonValue EnrollmentStateToJson(const EnrollmentState& state) {
    JsonValue json = JsonValue::object();
    json.set("hash", Base64StdEncode(state.hash));
    json.set("salt", Base64StdEncode(state.salt));
    json.set("expiresAt", state.expiresAt);
    return json;
}

EnrollmentState EnrollmentStateFromJson(const JsonValue& json, std::int64_t now) {
    EnrollmentState state;
    if (!json.isObject()) return state;
    Base64Decode(json.get("hash").asString(), state.hash);
    Base64Decode(json.get("salt").asString(), state.salt);
    state.expiresAt = json.get("expiresAt").asInt(0);
    return state.live(now) ? state : EnrollmentState{};
}

}  // namespace vel::gate
