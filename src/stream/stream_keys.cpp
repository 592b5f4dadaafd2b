#include "stream/stream_keys.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>

#include <cstring>
#include <string_view>

#include "core/crypto.h"
#include "core/encoding.h"
#include "stream/openssl_error.h"

namespace vel::stream {

namespace {

constexpr std::string_view kLabel = "velstream v1";
constexpr std::string_view kDevTicketLabel = "velstream dev ticket";
constexpr std::size_t kDirectionKeySize = 36;

// Wipes a byte string when it goes out of scope, whatever the exit path.
class Wiped {
  public:
    explicit Wiped(Bytes& bytes) : bytes_(bytes) {}
    Wiped(const Wiped&) = delete;
    Wiped& operator=(const Wiped&) = delete;
    ~Wiped() {
        if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
    }

  private:
    Bytes& bytes_;
};

void append(Bytes& out, const Bytes& part) {
    out.insert(out.end(), part.begin(), part.end());
}

// HKDF-Expand to 36 bytes, split into key and salt.
DirectionKey expand(const Bytes& prk, std::string_view info) {
    Bytes okm;
    Wiped wipeOkm(okm);
    Bytes block;
    Wiped wipeBlock(block);
    Bytes message;
    Wiped wipeMessage(message);
    // Reserved up front so that no growth leaves an unwiped copy behind.
    okm.reserve(2 * 32);
    message.reserve(32 + info.size() + 1);
    for (std::uint8_t i = 1; okm.size() < kDirectionKeySize; ++i) {
        message.assign(block.begin(), block.end());
        message.insert(message.end(), info.begin(), info.end());
        message.push_back(i);
        OPENSSL_cleanse(block.data(), block.size());
        block = HmacSha256(prk, message);
        append(okm, block);
    }
    DirectionKey key;
    std::memcpy(key.key.data(), okm.data(), key.key.size());
    std::memcpy(key.salt.data(), okm.data() + key.key.size(), key.salt.size());
    return key;
}

}  // namespace

DirectionKey::~DirectionKey() {
    OPENSSL_cleanse(key.data(), key.size());
    OPENSSL_cleanse(salt.data(), salt.size());
}

bool generateKeyPair(StreamKeyPair& pair, std::string& error) {
    EvpPkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    if (!key) {
        error = openSslFailure("EVP_PKEY_Q_keygen(P-256)");
        return false;
    }
    // Generated EC keys export their point uncompressed unless told otherwise.
    Bytes point(kPublicKeySize + 1);
    std::size_t length = 0;
    if (EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                        point.size(), &length) != 1 ||
        length != kPublicKeySize || point[0] != 0x04) {
        error = openSslFailure("EVP_PKEY_get_octet_string_param(pub)");
        return false;
    }
    point.resize(length);
    pair.key_ = std::move(key);
    pair.publicKey_ = std::move(point);
    return true;
}

bool agree(const StreamKeyPair& pair, const Bytes& peerPublic, Bytes& secret, std::string& error) {
    if (!pair.generated()) {
        error = "ECDH key pair was not generated";
        return false;
    }
    if (peerPublic.size() != kPublicKeySize || peerPublic[0] != 0x04) {
        error = "peer public key is not an uncompressed P-256 point";
        return false;
    }
    // Importing decodes the point and refuses one that is not on the curve.
    EvpPkeyCtxPtr importer(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char*>("P-256"), 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY,
                                          const_cast<std::uint8_t*>(peerPublic.data()),
                                          peerPublic.size()),
        OSSL_PARAM_construct_end()};
    EVP_PKEY* rawPeer = nullptr;
    if (!importer || EVP_PKEY_fromdata_init(importer.get()) != 1 ||
        EVP_PKEY_fromdata(importer.get(), &rawPeer, EVP_PKEY_PUBLIC_KEY,
                          const_cast<OSSL_PARAM*>(params)) != 1) {
        error = openSslFailure("EVP_PKEY_fromdata(peer)");
        return false;
    }
    const EvpPkeyPtr peer(rawPeer);

    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pair.key_.get(), nullptr));
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1) {
        error = openSslFailure("EVP_PKEY_derive_init");
        return false;
    }
    if (EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) != 1) {
        error = openSslFailure("EVP_PKEY_derive_set_peer");
        return false;
    }
    std::size_t length = 0;
    if (EVP_PKEY_derive(ctx.get(), nullptr, &length) != 1 || length != kSharedSecretSize) {
        error = openSslFailure("EVP_PKEY_derive(size)");
        return false;
    }
    Bytes out(length);
    if (EVP_PKEY_derive(ctx.get(), out.data(), &length) != 1 || length != kSharedSecretSize) {
        OPENSSL_cleanse(out.data(), out.size());
        error = openSslFailure("EVP_PKEY_derive");
        return false;
    }
    if (!secret.empty()) OPENSSL_cleanse(secret.data(), secret.size());
    secret = std::move(out);
    return true;
}

SessionKeys deriveSessionKeys(const Bytes& secret, const Bytes& ticket, const Bytes& hostPublic,
                              const Bytes& viewerPublic) {
    Bytes saltInput = BytesOf(kLabel);
    append(saltInput, ticket);
    append(saltInput, hostPublic);
    append(saltInput, viewerPublic);
    const Bytes salt = Sha256(saltInput);

    Bytes prk = HmacSha256(salt, secret);
    Wiped wipePrk(prk);
    SessionKeys keys;
    keys.hostToViewer = expand(prk, "host to viewer");
    keys.viewerToHost = expand(prk, "viewer to host");
    return keys;
}

bool deriveDevTicket(const std::string& pskHex, SessionTicket& out, std::string& error) {
    Bytes psk;
    Wiped wipePsk(psk);
    if (!HexDecode(pskHex, psk) || psk.size() < 16) {
        error = "--psk must be at least 32 hex characters";
        return false;
    }
    const Bytes ticket = Sha256(BytesOf(kDevTicketLabel));
    out.keys = deriveSessionKeys(psk, ticket, {}, {});
    Bytes digest = Sha256(psk);
    Wiped wipeDigest(digest);
    out.connId =
        static_cast<std::uint32_t>(digest[0]) | static_cast<std::uint32_t>(digest[1]) << 8 |
        static_cast<std::uint32_t>(digest[2]) << 16 | static_cast<std::uint32_t>(digest[3]) << 24;
    return true;
}

}  // namespace vel::stream
