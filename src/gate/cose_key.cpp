#include "gate/cose_key.h"

#include <cstdio>
#include <limits>

#include "core/encoding.h"

namespace vel::gate {

namespace {

// COSE labels (RFC 9052, RFC 9053).
constexpr std::int64_t kLabelKty = 1;
constexpr std::int64_t kLabelAlg = 3;
constexpr std::int64_t kLabelCrvOrN = -1;
constexpr std::int64_t kLabelXOrE = -2;
constexpr std::int64_t kLabelY = -3;
constexpr std::int64_t kKtyEc2 = 2;
constexpr std::int64_t kKtyRsa = 3;

// Algorithm and curve identifiers are small; a value outside 32 bits is not a key we know.
bool IntegerEntry(const CborValue& map, std::int64_t label, std::int32_t& out) {
    const CborValue* value = map.find(label);
    std::int64_t number;
    if (value == nullptr || !value->toInt64(number) ||
        number < std::numeric_limits<std::int32_t>::min() ||
        number > std::numeric_limits<std::int32_t>::max()) {
        return false;
    }
    out = static_cast<std::int32_t>(number);
    return true;
}

bool BytesEntry(const CborValue& map, std::int64_t label, Bytes& out) {
    const CborValue* value = map.find(label);
    if (value == nullptr || value->kind != CborKind::Bytes || value->bytes.empty()) return false;
    out = value->bytes;
    return true;
}

bool DecodedMember(const JsonValue& json, std::string_view name, Bytes& out) {
    return Base64Decode(json.get(name).asString(), out) && !out.empty();
}

// The value of a big-endian unsigned integer's significant bytes.
std::span<const std::uint8_t> significant(const Bytes& number) {
    std::size_t first = 0;
    while (first < number.size() && number[first] == 0) ++first;
    return std::span<const std::uint8_t>(number).subspan(first);
}

std::string format(const char* pattern, long value) {
    char text[160];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

}  // namespace

bool CheckCredentialKey(const CoseKey& key, std::string& why) {
    constexpr std::int32_t kEs256 = -7;
    constexpr std::int32_t kRs256 = -257;
    constexpr std::int32_t kP256 = 1;
    constexpr std::size_t kMinRsaBits = 2048;
    if (!key.x.empty()) {
        if (key.alg != kEs256) {
            why = format("an EC2 key must be ES256 (alg -7), not alg %ld", key.alg);
        } else if (key.crv != kP256) {
            why = format("an EC2 key must be on P-256 (crv 1), not crv %ld", key.crv);
        } else if (!IsValidP256Point(key.x, key.y)) {
            why = "the EC2 key is not a valid point on P-256";
        } else {
            return true;
        }
        return false;
    }
    const auto modulus = significant(key.n);
    const auto exponent = significant(key.e);
    std::size_t bits = modulus.size() * 8;
    for (std::uint8_t top = modulus.empty() ? 0 : modulus[0]; bits > 0 && !(top & 0x80); top <<= 1)
        --bits;
    const bool exponent65537 =
        exponent.size() == 3 && exponent[0] == 0x01 && exponent[1] == 0x00 && exponent[2] == 0x01;
    if (key.alg != kRs256) {
        why = format("an RSA key must be RS256 (alg -257), not alg %ld", key.alg);
    } else if (bits < kMinRsaBits) {
        why = format("the RSA key has %ld bits; at least 2048 are required", long(bits));
    } else if (!exponent65537) {
        why = "the RSA key's public exponent must be 65537";
    } else {
        return true;
    }
    return false;
}

bool DecodeCoseKey(const CborValue& map, CoseKey& out) {
    if (map.kind != CborKind::Map) return false;
    std::int32_t kty;
    CoseKey key;
    if (!IntegerEntry(map, kLabelKty, kty) || !IntegerEntry(map, kLabelAlg, key.alg)) return false;
    if (kty == kKtyEc2) {
        if (!IntegerEntry(map, kLabelCrvOrN, key.crv) || !BytesEntry(map, kLabelXOrE, key.x) ||
            !BytesEntry(map, kLabelY, key.y)) {
            return false;
        }
    } else if (kty == kKtyRsa) {
        if (!BytesEntry(map, kLabelCrvOrN, key.n) || !BytesEntry(map, kLabelXOrE, key.e)) {
            return false;
        }
    } else {
        return false;
    }
    out = std::move(key);
    return true;
}

bool DecodeCoseKey(std::span<const std::uint8_t> data, CoseKey& out) {
    CborValue map;
    return CborDecode(data, map) && DecodeCoseKey(map, out);
}

JsonValue CoseKeyToJson(const CoseKey& key) {
    JsonValue json = JsonValue::object();
    json.set("alg", key.alg);
    if (!key.x.empty()) {
        json.set("kty", "EC2");
        json.set("crv", key.crv);
        json.set("x", Base64UrlEncode(key.x));
        json.set("y", Base64UrlEncode(key.y));
    } else {
        json.set("kty", "RSA");
        json.set("n", Base64UrlEncode(key.n));
        json.set("e", Base64UrlEncode(key.e));
    }
    return json;
}

bool CoseKeyFromJson(const JsonValue& json, CoseKey& out) {
    if (!json.isObject()) return false;
    CoseKey key;
    key.alg = static_cast<std::int32_t>(json.get("alg").asInt(-7));
    const std::string kty = json.get("kty").asString();
    if (kty == "EC2") {
        if (!DecodedMember(json, "x", key.x) || !DecodedMember(json, "y", key.y)) return false;
        key.crv = static_cast<std::int32_t>(json.get("crv").asInt(1));
    } else if (kty == "RSA") {
        if (!DecodedMember(json, "n", key.n) || !DecodedMember(json, "e", key.e)) return false;
    } else {
        return false;
    }
    out = std::move(key);
    return true;
}

}  // namespace vel::gate
