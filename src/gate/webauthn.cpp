#include "gate/webauthn.h"

#include "core/encoding.h"
#include "core/json.h"
#include "gate/cbor.h"
#include "gate/cose_key.h"
#include "gate/relying_party.h"

namespace vel::gate {

namespace {

// rpIdHash (32), flags (1), signCount (4).
constexpr std::size_t kFixedLength = 37;
// ... then aaguid (16) and the credential id length (2).
constexpr std::size_t kAttestedHeaderLength = kFixedLength + 16 + 2;
// Client data holds a handful of members; a peer cannot make the parser build more than this.
constexpr std::size_t kMaxClientDataValues = 256;

std::uint32_t BigEndian32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

bool Fail(std::string* error, const char* text) {
    if (error != nullptr) *error = text;
    return false;
}

}  // namespace

bool ParseAttestationObject(std::span<const std::uint8_t> attestationObject, Bytes& authData,
                            std::string* format) {
    CborValue root;
    if (!CborDecode(attestationObject, root) || root.kind != CborKind::Map) return false;
    const CborValue* data = root.find("authData");
    if (data == nullptr || data->kind != CborKind::Bytes) return false;
    authData = data->bytes;
    if (format != nullptr) {
        const CborValue* fmt = root.find("fmt");
        format->clear();
        if (fmt != nullptr && fmt->kind == CborKind::Text) {
            format->assign(fmt->bytes.begin(), fmt->bytes.end());
        }
    }
    return true;
}

bool ParseAuthenticatorData(std::span<const std::uint8_t> data, AuthenticatorData& out) {
    if (data.size() < kFixedLength) return false;
    AuthenticatorData parsed;
    parsed.rpIdHash.assign(data.begin(), data.begin() + 32);
    parsed.flags = data[32];
    parsed.signCount = BigEndian32(&data[33]);
    std::size_t pos = kFixedLength;

    if ((parsed.flags & kFlagAttestedData) != 0) {
        if (data.size() < kAttestedHeaderLength) return false;
        parsed.hasAttestedData = true;
        parsed.aaguid.assign(data.begin() + 37, data.begin() + 53);
        const std::size_t idLength = (std::size_t{data[53]} << 8) | data[54];
        if (idLength == 0 || idLength > kMaxCredentialIdLength) return false;
        if (data.size() < kAttestedHeaderLength + idLength) return false;
        pos = kAttestedHeaderLength;
        parsed.credentialId.assign(data.begin() + pos, data.begin() + pos + idLength);
        pos += idLength;
        CborValue key;
        std::size_t used = 0;
        if (!CborDecode(data.subspan(pos), key, &used) ||
            !DecodeCoseKey(key, parsed.credentialPublicKey)) {
            return false;
        }
        pos += used;
    }

    if ((parsed.flags & kFlagExtensionData) != 0) {
        std::size_t used = 0;  // nothing reads the extensions, so they are checked, not built
        if (!CborCheck(data.subspan(pos), used)) return false;
        pos += used;
    }

    if (pos != data.size()) return false;
    out = std::move(parsed);
    return true;
}

bool VerifyClientData(std::span<const std::uint8_t> clientDataJson, std::string_view expectedType,
                      const Bytes& expectedChallenge, std::string_view expectedOrigin,
                      std::string* error) {
    JsonValue clientData;
    const std::string_view text(reinterpret_cast<const char*>(clientDataJson.data()),
                                clientDataJson.size());
    std::string parseError;
    if (!JsonParse(text, clientData, parseError, kMaxClientDataValues) || !clientData.isObject()) {
        return Fail(error, "clientData is not JSON");
    }
    if (clientData.get("type").asString() != expectedType) {
        return Fail(error, "clientData type mismatch");
    }
    Bytes challenge;
    if (!Base64Decode(clientData.get("challenge").asString(), challenge)) {
        return Fail(error, "clientData challenge is not base64url");
    }
    if (!ConstantTimeEqual(challenge, expectedChallenge)) {
        return Fail(error, "clientData challenge mismatch");
    }
    if (clientData.get("origin").asString() != expectedOrigin) {
        return Fail(error, "clientData origin mismatch");
    }
    if (clientData.get("crossOrigin").asBool()) {
        return Fail(error, "crossOrigin not allowed");
    }
    return true;
}

Bytes AssertionSignedData(const Bytes& authData, const Bytes& clientDataJson) {
    Bytes signedData = authData;
    const Bytes clientDataHash = Sha256(clientDataJson);
    signedData.insert(signedData.end(), clientDataHash.begin(), clientDataHash.end());
    return signedData;
}

Bytes RpIdHash() {
    return Sha256(BytesOf(kRelyingPartyId));
}

}  // namespace vel::gate
