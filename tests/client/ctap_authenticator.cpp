#include "client/ctap_authenticator.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <stdexcept>

#include "core/crypto.h"
#include "core/encoding.h"
#include "gate/cbor.h"
#include "support/cbor_writer.h"

namespace vel::test {

namespace {

using gate::CborKind;
using gate::CborValue;

constexpr std::uint8_t kInvalidCommand = 0x01;
constexpr std::uint8_t kInvalidCbor = 0x12;
constexpr std::uint8_t kMissingParameter = 0x14;
constexpr std::uint8_t kUnsupportedAlgorithm = 0x26;
constexpr std::uint8_t kUnsupportedOption = 0x2b;
constexpr std::uint8_t kPinAuthInvalid = 0x33;
constexpr std::uint8_t kPinAuthBlocked = 0x34;
constexpr std::uint8_t kPinNotSet = 0x35;
constexpr std::uint8_t kPinRequired = 0x36;

constexpr std::uint8_t kFlagUp = 0x01;
constexpr std::uint8_t kFlagUv = 0x04;
constexpr std::uint8_t kFlagAt = 0x40;

[[noreturn]] void fail(const char* step) {
    throw std::runtime_error(std::string(step) + " failed");
}

EvpPkeyPtr newP256() {
    EvpPkeyPtr key(EVP_EC_gen("P-256"));
    if (!key) fail("EVP_EC_gen");
    return key;
}

// The uncompressed point 04 || x || y of a P-256 key.
Bytes publicPoint(EVP_PKEY* key) {
    Bytes point(65);
    std::size_t length = 0;
    if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(),
                                        &length) != 1 ||
        length != 65) {
        fail("EVP_PKEY_get_octet_string_param");
    }
    return point;
}

Bytes coseKey(EVP_PKEY* key, std::int64_t alg) {
    const Bytes point = publicPoint(key);
    CborWriter cbor;
    cbor.map(5).integer(1).integer(2).integer(3).integer(alg).integer(-1).integer(1);
    cbor.integer(-2).bytes(Bytes(point.begin() + 1, point.begin() + 33));
    cbor.integer(-3).bytes(Bytes(point.begin() + 33, point.end()));
    return cbor.data();
}

EvpPkeyPtr peerKey(const CborValue& cose) {
    const CborValue* x = cose.find(-2);
    const CborValue* y = cose.find(-3);
    if (x == nullptr || y == nullptr || x->bytes.size() != 32 || y->bytes.size() != 32) return {};
    Bytes point{0x04};
    point.insert(point.end(), x->bytes.begin(), x->bytes.end());
    point.insert(point.end(), y->bytes.begin(), y->bytes.end());
    OsslParamBldPtr builder(OSSL_PARAM_BLD_new());
    OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0);
    OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                     point.size());
    OsslParamPtr params(OSSL_PARAM_BLD_to_param(builder.get()));
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
        return {};
    }
    return EvpPkeyPtr(key);
}

// PIN protocol 1: the shared secret is SHA-256 of the ECDH x coordinate.
Bytes sharedSecret(EVP_PKEY* own, EVP_PKEY* peer) {
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(own, nullptr));
    std::size_t length = 0;
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 ||
        EVP_PKEY_derive_set_peer(ctx.get(), peer) != 1 ||
        EVP_PKEY_derive(ctx.get(), nullptr, &length) != 1) {
        fail("EVP_PKEY_derive");
    }
    Bytes z(length);
    if (EVP_PKEY_derive(ctx.get(), z.data(), &length) != 1) fail("EVP_PKEY_derive");
    return Sha256(z);
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

Bytes sign(EVP_PKEY* key, const Bytes& data) {
    EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    std::size_t length = 0;
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &length, data.data(), data.size()) != 1) {
        fail("EVP_DigestSignInit");
    }
    Bytes signature(length);
    if (EVP_DigestSign(ctx.get(), signature.data(), &length, data.data(), data.size()) != 1) {
        fail("EVP_DigestSign");
    }
    signature.resize(length);
    return signature;
}

Bytes withStatus(std::uint8_t status, const Bytes& body = {}) {
    Bytes out{status};
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// Whether the options map under key sets the boolean option name to value.
bool option(const CborValue& request, std::int64_t key, const char* name, bool value) {
    const CborValue* options = request.find(key);
    const CborValue* found = options != nullptr ? options->find(name) : nullptr;
    return found != nullptr && found->kind == CborKind::Bool && found->boolean == value;
}

}  // namespace

CtapAuthenticator::CtapAuthenticator()
    : aaguid_{0x76, 0x65, 0x6c, 0x6d, 0x6f, 0x72, 0x61, 0x2d,
              0x74, 0x65, 0x73, 0x74, 0x2d, 0x6b, 0x65, 0x79},
      agreementKey_(newP256()),
      pinToken_(RandomBytes(32)) {}

Bytes CtapAuthenticator::handle(const Bytes& request) {
    if (request.empty()) return withStatus(kInvalidCommand);
    const Bytes parameters(request.begin() + 1, request.end());
    switch (request[0]) {
        case 0x01:
            return makeCredential(parameters);
        case 0x02:
            return getAssertion(parameters);
        case 0x04:
            return getInfo();
        case 0x06:
            return clientPin(parameters);
        default:
            return withStatus(kInvalidCommand);
    }
}

Bytes CtapAuthenticator::getInfo() const {
    CborWriter cbor;
    cbor.map(5);
    cbor.integer(1).array(1).text("FIDO_2_0");
    cbor.integer(3).bytes(aaguid_);
    cbor.integer(4).map(4).text("rk").raw({0xf4}).text("up").raw({0xf5});
    cbor.text("plat")
        .raw({0xf4})
        .text("clientPin")
        .raw({pin_.empty() ? std::uint8_t{0xf4} : std::uint8_t{0xf5}});
    cbor.integer(5).integer(1200);
    cbor.integer(6).array(1).integer(1);
    return withStatus(kOk, cbor.data());
}

std::uint8_t CtapAuthenticator::presence() {
    ++touchesAsked_;
    return touched_ ? kOk : kOperationDenied;
}

std::uint8_t CtapAuthenticator::checkPinAuth(const Bytes& pinAuth,
                                             const Bytes& clientDataHash) const {
    if (pin_.empty()) return kPinNotSet;
    Bytes expected = HmacSha256(pinToken_, clientDataHash);
    expected.resize(16);
    return ConstantTimeEqual(expected, pinAuth) ? kOk : kPinAuthInvalid;
}

Bytes CtapAuthenticator::authenticatorData(const Bytes& rpIdHash, std::uint8_t flags,
                                           const Credential* attested) const {
    Bytes data = rpIdHash;
    data.push_back(attested != nullptr ? static_cast<std::uint8_t>(flags | kFlagAt) : flags);
    for (int shift = 24; shift >= 0; shift -= 8) {
        data.push_back(static_cast<std::uint8_t>(signCount_ >> shift));
    }
    if (attested != nullptr) {
        data.insert(data.end(), aaguid_.begin(), aaguid_.end());
        data.push_back(static_cast<std::uint8_t>(attested->id.size() >> 8));
        data.push_back(static_cast<std::uint8_t>(attested->id.size()));
        data.insert(data.end(), attested->id.begin(), attested->id.end());
        const Bytes key = coseKey(attested->key.get(), -7);
        data.insert(data.end(), key.begin(), key.end());
    }
    return data;
}

Bytes CtapAuthenticator::makeCredential(const Bytes& parameters) {
    CborValue request;
    if (!gate::CborDecode(parameters, request) || request.kind != CborKind::Map) {
        return withStatus(kInvalidCbor);
    }
    const CborValue* clientDataHash = request.find(1);
    const CborValue* rp = request.find(2);
    const CborValue* rpId = rp != nullptr ? rp->find("id") : nullptr;
    const CborValue* algorithms = request.find(4);
    if (clientDataHash == nullptr || rpId == nullptr || request.find(3) == nullptr ||
        algorithms == nullptr) {
        return withStatus(kMissingParameter);
    }
    bool es256 = false;
    for (const CborValue& entry : algorithms->items) {
        std::int64_t alg = 0;
        const CborValue* value = entry.find("alg");
        es256 = es256 || (value != nullptr && value->toInt64(alg) && alg == -7);
    }
    if (!es256) return withStatus(kUnsupportedAlgorithm);
    if (option(request, 7, "uv", true)) return withStatus(kUnsupportedOption);
    std::uint8_t flags = kFlagUp;
    if (const CborValue* pinAuth = request.find(8)) {
        const std::uint8_t status = checkPinAuth(pinAuth->bytes, clientDataHash->bytes);
        if (status != kOk) return withStatus(status);
        flags |= kFlagUv;
    } else if (!pin_.empty()) {
        return withStatus(kPinRequired);
    }
    if (const std::uint8_t status = presence(); status != kOk) return withStatus(status);

    Credential credential{RandomBytes(32), Sha256(rpId->bytes), newP256()};
    ++signCount_;
    const Bytes authData = authenticatorData(credential.rpIdHash, flags, &credential);
    credentials_.push_back(std::move(credential));
    CborWriter cbor;
    cbor.map(3).integer(1).text("none").integer(2).bytes(authData).integer(3).map(0);
    return withStatus(kOk, cbor.data());
}

Bytes CtapAuthenticator::getAssertion(const Bytes& parameters) {
    CborValue request;
    if (!gate::CborDecode(parameters, request) || request.kind != CborKind::Map) {
        return withStatus(kInvalidCbor);
    }
    const CborValue* rpId = request.find(1);
    const CborValue* clientDataHash = request.find(2);
    if (rpId == nullptr || clientDataHash == nullptr) return withStatus(kMissingParameter);
    if (option(request, 5, "uv", true)) return withStatus(kUnsupportedOption);
    std::uint8_t flags = 0;
    if (const CborValue* pinAuth = request.find(6)) {
        const std::uint8_t status = checkPinAuth(pinAuth->bytes, clientDataHash->bytes);
        if (status != kOk) return withStatus(status);
        flags |= kFlagUv;
    }
    const Bytes rpIdHash = Sha256(rpId->bytes);
    const Credential* chosen = nullptr;
    if (const CborValue* allowed = request.find(3)) {
        for (const CborValue& descriptor : allowed->items) {
            const CborValue* id = descriptor.find("id");
            for (const Credential& credential : credentials_) {
                if (chosen == nullptr && id != nullptr && credential.id == id->bytes &&
                    credential.rpIdHash == rpIdHash) {
                    chosen = &credential;
                }
            }
        }
    }
    if (chosen == nullptr) return withStatus(kNoCredentials);
    if (!option(request, 5, "up", false)) {
        if (const std::uint8_t status = presence(); status != kOk) return withStatus(status);
        flags |= kFlagUp;
    }
    ++signCount_;
    const Bytes authData = authenticatorData(rpIdHash, flags, nullptr);
    Bytes signedData = authData;
    signedData.insert(signedData.end(), clientDataHash->bytes.begin(), clientDataHash->bytes.end());
    CborWriter cbor;
    cbor.map(3).integer(1).map(2).text("id").bytes(chosen->id).text("type").text("public-key");
    cbor.integer(2).bytes(authData).integer(3).bytes(sign(chosen->key.get(), signedData));
    return withStatus(kOk, cbor.data());
}

Bytes CtapAuthenticator::clientPin(const Bytes& parameters) {
    CborValue request;
    std::int64_t protocol = 0;
    std::int64_t subCommand = 0;
    if (!gate::CborDecode(parameters, request) || request.find(1) == nullptr ||
        request.find(2) == nullptr || !request.find(1)->toInt64(protocol) ||
        !request.find(2)->toInt64(subCommand) || protocol != 1) {
        return withStatus(kInvalidCbor);
    }
    CborWriter cbor;
    if (subCommand == 1) {
        cbor.map(1).integer(3).integer(pinRetries_);
        return withStatus(kOk, cbor.data());
    }
    if (subCommand == 2) {
        cbor.map(1).integer(1).raw(coseKey(agreementKey_.get(), -25));
        return withStatus(kOk, cbor.data());
    }
    if (subCommand != 5) return withStatus(kInvalidCommand);
    if (pin_.empty()) return withStatus(kPinNotSet);
    if (pinRetries_ == 0) return withStatus(kPinBlocked);
    if (wrongInARow_ >= 3) return withStatus(kPinAuthBlocked);
    const CborValue* platformKey = request.find(3);
    const CborValue* pinHashEnc = request.find(6);
    if (platformKey == nullptr || pinHashEnc == nullptr) return withStatus(kMissingParameter);
    const EvpPkeyPtr peer = peerKey(*platformKey);
    if (!peer) return withStatus(kInvalidCbor);
    const Bytes shared = sharedSecret(agreementKey_.get(), peer.get());
    agreementKey_ = newP256();
    Bytes pinHash = Sha256(BytesOf(pin_));
    pinHash.resize(16);
    if (aesCbc(shared, pinHashEnc->bytes, false) != pinHash) {
        --pinRetries_;
        ++wrongInARow_;
        if (pinRetries_ == 0) return withStatus(kPinBlocked);
        return withStatus(wrongInARow_ >= 3 ? kPinAuthBlocked : kPinInvalid);
    }
    pinRetries_ = 8;
    wrongInARow_ = 0;
    cbor.map(1).integer(2).bytes(aesCbc(shared, pinToken_, true));
    return withStatus(kOk, cbor.data());
}

JsonValue CtapAuthenticator::save() const {
    JsonValue credentials = JsonValue::array();
    for (const Credential& credential : credentials_) {
        const int length = i2d_PrivateKey(credential.key.get(), nullptr);
        Bytes der(static_cast<std::size_t>(length > 0 ? length : 0));
        unsigned char* cursor = der.data();
        if (length <= 0 || i2d_PrivateKey(credential.key.get(), &cursor) != length) {
            fail("i2d_PrivateKey");
        }
        JsonValue item = JsonValue::object();
        item.set("id", HexEncode(credential.id));
        item.set("rpIdHash", HexEncode(credential.rpIdHash));
        item.set("key", HexEncode(der));
        credentials.push(item);
    }
    JsonValue state = JsonValue::object();
    state.set("pin", pin_);
    state.set("pinRetries", pinRetries_);
    state.set("touched", touched_);
    state.set("signCount", static_cast<std::int64_t>(signCount_));
    state.set("credentials", credentials);
    return state;
}

void CtapAuthenticator::load(const JsonValue& state) {
    pin_ = state.get("pin").asString();
    pinRetries_ = static_cast<int>(state.get("pinRetries").asInt(8));
    touched_ = state.get("touched").asBool(true);
    signCount_ = static_cast<std::uint32_t>(state.get("signCount").asInt());
    credentials_.clear();
    const JsonValue& list = state.get("credentials");
    for (std::size_t i = 0; i < list.size(); ++i) {
        Credential credential;
        Bytes der;
        if (!HexDecode(list.at(i).get("id").asString(), credential.id) ||
            !HexDecode(list.at(i).get("rpIdHash").asString(), credential.rpIdHash) ||
            !HexDecode(list.at(i).get("key").asString(), der)) {
            fail("reading the key's state");
        }
        const unsigned char* cursor = der.data();
        credential.key.reset(d2i_AutoPrivateKey(nullptr, &cursor, static_cast<long>(der.size())));
        if (!credential.key) fail("d2i_AutoPrivateKey");
        credentials_.push_back(std::move(credential));
    }
}

}  // namespace vel::test
