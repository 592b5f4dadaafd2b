#include "client/ctap_authenticator.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <stdexcept>

#include "admin/self_test_support.h"
#include "core/crypto.h"
#include "core/encoding.h"
#include "support/cbor_writer.h"
#include "support/software_authenticator.h"

namespace vel::test {

namespace {

using gate::CborKind;
using gate::CborValue;

constexpr std::uint8_t kOk = 0x00;
constexpr std::uint8_t kInvalidCommand = 0x01;
constexpr std::uint8_t kInvalidCbor = 0x12;
constexpr std::uint8_t kMissingParameter = 0x14;
constexpr std::uint8_t kOperationDenied = 0x27;
constexpr std::uint8_t kUnsupportedOption = 0x2b;
constexpr std::uint8_t kNoCredentials = 0x2e;
constexpr std::uint8_t kPinInvalid = 0x31;
constexpr std::uint8_t kPinAuthInvalid = 0x33;
constexpr std::uint8_t kPinNotSet = 0x35;
constexpr std::uint8_t kPinRequired = 0x36;

constexpr std::uint8_t kFlagUp = 0x01;
constexpr std::uint8_t kFlagUv = 0x04;

const Bytes kAaguid = BytesOf("velmora-test-key");
constexpr std::size_t kTagSize = 16;

[[noreturn]] void fail(const char* step) {
    throw std::runtime_error(std::string(step) + " failed");
}

stream::StreamKeyPair newAgreementKey() {
    stream::StreamKeyPair pair;
    std::string error;
    if (!stream::generateKeyPair(pair, error)) fail("generateKeyPair");
    return pair;
}

// The COSE_Key of the PIN protocol's key agreement (alg -25, ECDH-ES+HKDF-256).
Bytes agreementCoseKey(const Bytes& point) {
    CborWriter cbor;
    cbor.map(5).integer(1).integer(2).integer(3).integer(-25).integer(-1).integer(1);
    cbor.integer(-2).bytes(Bytes(point.begin() + 1, point.begin() + 33));
    cbor.integer(-3).bytes(Bytes(point.begin() + 33, point.end()));
    return cbor.data();
}

// AES-256-CBC with a zero IV and no padding, as PIN protocol 1 uses it.
Bytes aesCbc(const Bytes& key, const Bytes& data, bool encrypt) {
    EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    const unsigned char iv[16] = {};
    Bytes out(data.size() + 16);
    int n = 0;
    int tail = 0;
    if (!ctx ||
        EVP_CipherInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key.data(), iv, encrypt) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
        EVP_CipherUpdate(ctx.get(), out.data(), &n, data.data(), static_cast<int>(data.size())) !=
            1 ||
        EVP_CipherFinal_ex(ctx.get(), out.data() + n, &tail) != 1) {
        return {};
    }
    out.resize(static_cast<std::size_t>(n + tail));
    return out;
}

Bytes withStatus(std::uint8_t status, const Bytes& body = {}) {
    Bytes out{status};
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

std::string textOf(const CborValue* value) {
    return value != nullptr ? std::string(value->bytes.begin(), value->bytes.end()) : "";
}

}  // namespace

CtapAuthenticator::CtapAuthenticator()
    : secret_(RandomBytes(32)), agreementKey_(newAgreementKey()), pinToken_(RandomBytes(32)) {}

Bytes CtapAuthenticator::handle(const Bytes& message) {
    if (message.empty()) return withStatus(kInvalidCommand);
    if (message[0] == 0x04) return getInfo();
    CborValue request;
    if (!gate::CborDecode(std::span(message).subspan(1), request) ||
        request.kind != CborKind::Map) {
        return withStatus(kInvalidCbor);
    }
    switch (message[0]) {
        case 0x01:
            return makeCredential(request);
        case 0x02:
            return getAssertion(request);
        case 0x06:
            return clientPin(request);
        default:
            return withStatus(kInvalidCommand);
    }
}

// What libfido2 reads of it: the version, whether a PIN is set and the PIN protocols.
Bytes CtapAuthenticator::getInfo() const {
    CborWriter cbor;
    cbor.map(3).integer(1).array(1).text("FIDO_2_0");
    cbor.integer(4)
        .map(1)
        .text("clientPin")
        .raw({pin_.empty() ? std::uint8_t{0xf4} : std::uint8_t{0xf5}});
    cbor.integer(6).array(1).integer(1);
    return withStatus(kOk, cbor.data());
}

std::uint8_t CtapAuthenticator::presence() {
    ++touchesAsked_;
    return touched_ ? kOk : kOperationDenied;
}

std::uint8_t CtapAuthenticator::verify(const CborValue& request, std::int64_t optionsKey,
                                       std::int64_t pinAuthKey, const Bytes& clientDataHash,
                                       std::uint8_t& flags) const {
    // This key has no verification of its own, only its PIN.
    const CborValue* options = request.find(optionsKey);
    const CborValue* uv = options != nullptr ? options->find("uv") : nullptr;
    if (uv != nullptr && uv->kind == CborKind::Bool && uv->boolean) return kUnsupportedOption;
    const CborValue* pinAuth = request.find(pinAuthKey);
    if (pinAuth == nullptr) return kOk;
    Bytes expected = HmacSha256(pinToken_, clientDataHash);
    expected.resize(16);
    if (!ConstantTimeEqual(expected, pinAuth->bytes)) return kPinAuthInvalid;
    flags |= kFlagUv;
    return kOk;
}

Bytes CtapAuthenticator::makeCredential(const CborValue& request) {
    const CborValue* clientDataHash = request.find(1);
    const CborValue* rp = request.find(2);
    if (clientDataHash == nullptr || rp == nullptr || rp->find("id") == nullptr) {
        return withStatus(kMissingParameter);
    }
    std::uint8_t flags = kFlagUp;
    if (const std::uint8_t status = verify(request, 7, 8, clientDataHash->bytes, flags)) {
        return withStatus(status);
    }
    if (!pin_.empty() && (flags & kFlagUv) == 0) return withStatus(kPinRequired);
    if (const std::uint8_t status = presence(); status != kOk) return withStatus(status);

    admin::TestKeyPair key;
    if (!admin::MakeP256TestKey(key)) fail("MakeP256TestKey");
    const std::string rpId = textOf(rp->find("id"));
    Bytes id = Sha256(BytesOf(rpId));
    const int length = i2d_PrivateKey(key.key.get(), nullptr);
    id.resize(id.size() + static_cast<std::size_t>(std::max(length, 0)));
    unsigned char* cursor = id.data() + 32;
    if (length <= 0 || i2d_PrivateKey(key.key.get(), &cursor) != length) fail("i2d_PrivateKey");
    const Bytes tag = tagOf(id);
    id.insert(id.end(), tag.begin(), tag.end());
    const Bytes coseKey = admin::CoseKeyBytes(key.x, key.y);
    const Bytes authData =
        BuildAuthenticatorData(rpId, flags, ++signCount_, &kAaguid, &id, &coseKey);
    CborWriter cbor;
    cbor.map(3).integer(1).text("none").integer(2).bytes(authData).integer(3).map(0);
    return withStatus(kOk, cbor.data());
}

Bytes CtapAuthenticator::getAssertion(const CborValue& request) {
    const std::string rpId = textOf(request.find(1));
    const CborValue* clientDataHash = request.find(2);
    if (clientDataHash == nullptr) return withStatus(kMissingParameter);
    std::uint8_t flags = kFlagUp;
    if (const std::uint8_t status = verify(request, 5, 6, clientDataHash->bytes, flags)) {
        return withStatus(status);
    }
    // The first allowed id that this key made for this relying party.
    const Bytes rpIdHash = Sha256(BytesOf(rpId));
    const Bytes* chosen = nullptr;
    EvpPkeyPtr key;
    const CborValue* allowed = request.find(3);
    for (std::size_t i = 0; allowed != nullptr && i < allowed->items.size() && !key; ++i) {
        const CborValue* id = allowed->items[i].find("id");
        if (id == nullptr || id->bytes.size() <= 32 + kTagSize ||
            !std::equal(rpIdHash.begin(), rpIdHash.end(), id->bytes.begin())) {
            continue;
        }
        const Bytes wrapped(id->bytes.begin(), id->bytes.end() - kTagSize);
        if (!ConstantTimeEqual(tagOf(wrapped),
                               Bytes(id->bytes.end() - kTagSize, id->bytes.end()))) {
            continue;
        }
        const unsigned char* cursor = wrapped.data() + 32;
        key.reset(d2i_AutoPrivateKey(nullptr, &cursor, static_cast<long>(wrapped.size() - 32)));
        chosen = &id->bytes;
    }
    if (!key) return withStatus(kNoCredentials);
    if (const std::uint8_t status = presence(); status != kOk) return withStatus(status);
    const Bytes authData = BuildAuthenticatorData(rpId, flags, ++signCount_);
    Bytes signedData = authData;
    signedData.insert(signedData.end(), clientDataHash->bytes.begin(), clientDataHash->bytes.end());
    Bytes signature;
    if (!admin::SignWithTestKey({std::move(key), {}, {}}, signedData, signature)) {
        fail("SignWithTestKey");
    }
    CborWriter cbor;
    cbor.map(3).integer(1).map(2).text("id").bytes(*chosen).text("type").text("public-key");
    cbor.integer(2).bytes(authData).integer(3).bytes(signature);
    return withStatus(kOk, cbor.data());
}

Bytes CtapAuthenticator::clientPin(const CborValue& request) {
    std::int64_t protocol = 0;
    std::int64_t subCommand = 0;
    if (request.find(1) == nullptr || request.find(2) == nullptr ||
        !request.find(1)->toInt64(protocol) || !request.find(2)->toInt64(subCommand) ||
        protocol != 1) {
        return withStatus(kInvalidCbor);
    }
    CborWriter cbor;
    if (subCommand == 1) {  // getRetries
        cbor.map(1).integer(3).integer(pinRetries_);
        return withStatus(kOk, cbor.data());
    }
    if (subCommand == 2) {  // getKeyAgreement
        cbor.map(1).integer(1).raw(agreementCoseKey(agreementKey_.publicKey()));
        return withStatus(kOk, cbor.data());
    }
    if (subCommand != 5) return withStatus(kInvalidCommand);  // only getPINToken
    if (pin_.empty()) return withStatus(kPinNotSet);
    const CborValue* platformKey = request.find(3);
    const CborValue* pinHashEnc = request.find(6);
    if (platformKey == nullptr || pinHashEnc == nullptr) return withStatus(kMissingParameter);
    Bytes point{0x04};
    for (const std::int64_t coordinate : {-2, -3}) {
        const CborValue* value = platformKey->find(coordinate);
        if (value != nullptr) point.insert(point.end(), value->bytes.begin(), value->bytes.end());
    }
    // PIN protocol 1: the shared secret is SHA-256 of the ECDH x coordinate.
    Bytes shared;
    std::string error;
    if (!stream::agree(agreementKey_, point, shared, error)) return withStatus(kInvalidCbor);
    shared = Sha256(shared);
    agreementKey_ = newAgreementKey();
    Bytes pinHash = Sha256(BytesOf(pin_));
    pinHash.resize(16);
    if (aesCbc(shared, pinHashEnc->bytes, false) != pinHash) {
        --pinRetries_;
        return withStatus(kPinInvalid);
    }
    pinRetries_ = 8;
    cbor.map(1).integer(2).bytes(aesCbc(shared, pinToken_, true));
    return withStatus(kOk, cbor.data());
}

Bytes CtapAuthenticator::tagOf(const Bytes& wrapped) const {
    Bytes tag = HmacSha256(secret_, wrapped);
    tag.resize(kTagSize);
    return tag;
}

JsonValue CtapAuthenticator::save() const {
    JsonValue state = JsonValue::object();
    state.set("secret", HexEncode(secret_));
    state.set("pin", pin_);
    state.set("pinRetries", pinRetries_);
    state.set("signCount", static_cast<std::int64_t>(signCount_));
    return state;
}

void CtapAuthenticator::load(const JsonValue& state) {
    // A new key's file names only its PIN; it keeps the secret it was made with.
    if (state.has("secret") && !HexDecode(state.get("secret").asString(), secret_)) {
        fail("reading the key's secret");
    }
    pin_ = state.get("pin").asString();
    pinRetries_ = static_cast<int>(state.get("pinRetries").asInt(8));
    signCount_ = static_cast<std::uint32_t>(state.get("signCount").asInt());
}

}  // namespace vel::test
