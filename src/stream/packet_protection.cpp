#include "stream/packet_protection.h"

#include <openssl/crypto.h>
#include <openssl/err.h>

#include <cstring>

#include "stream/openssl_error.h"

namespace vel::stream {

namespace {

constexpr std::size_t kNonceSize = 12;

// Nonce = salt of the direction || the packet number exactly as it stands in the header.
std::array<std::uint8_t, kNonceSize> nonceFor(const std::array<std::uint8_t, 4>& salt,
                                              const std::uint8_t* header) {
    std::array<std::uint8_t, kNonceSize> nonce;
    std::memcpy(nonce.data(), salt.data(), salt.size());
    std::memcpy(nonce.data() + salt.size(), header + 5, 8);
    return nonce;
}

int asInt(std::size_t size) {
    return static_cast<int>(size);
}

}  // namespace

AeadKey::~AeadKey() {
    OPENSSL_cleanse(salt_.data(), salt_.size());
}

bool AeadKey::isOpen() const {
    const std::lock_guard lock(mutex_);
    return ctx_ != nullptr;
}

bool openAeadKey(AeadKey& aead, const DirectionKey& key, std::string& error) {
    EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx) {
        error = openSslFailure("EVP_CIPHER_CTX_new");
        return false;
    }
    // The direction is chosen per packet (seal or open); only the key is fixed here.
    if (EVP_CipherInit_ex2(ctx.get(), EVP_aes_256_gcm(), key.key.data(), nullptr, 1, nullptr) !=
        1) {
        error = openSslFailure("EVP_CipherInit_ex2(AES-256-GCM)");
        return false;
    }
    const std::lock_guard lock(aead.mutex_);
    aead.ctx_ = std::move(ctx);
    aead.salt_ = key.salt;
    return true;
}

std::size_t seal(AeadKey& aead, std::span<std::uint8_t> packet, std::size_t payloadSize) {
    const std::size_t sealedSize = payloadSize + kPacketOverhead;
    if (sealedSize > kMaxPacketSize || packet.size() < sealedSize) return 0;
    std::uint8_t* header = packet.data();
    std::uint8_t* payload = header + kHeaderSize;

    const std::lock_guard lock(aead.mutex_);
    EVP_CIPHER_CTX* ctx = aead.ctx_.get();
    if (ctx == nullptr) return 0;
    const auto nonce = nonceFor(aead.salt_, header);
    int length = 0;
    int finalLength = 0;
    if (EVP_EncryptInit_ex2(ctx, nullptr, nullptr, nonce.data(), nullptr) != 1 ||
        EVP_EncryptUpdate(ctx, nullptr, &length, header, asInt(kHeaderSize)) != 1 ||
        EVP_EncryptUpdate(ctx, payload, &length, payload, asInt(payloadSize)) != 1 ||
        EVP_EncryptFinal_ex(ctx, payload + length, &finalLength) != 1 ||
        static_cast<std::size_t>(length + finalLength) != payloadSize ||
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, asInt(kTagSize), payload + payloadSize) !=
            1) {
        ERR_clear_error();
        return 0;
    }
    return sealedSize;
}

bool open(AeadKey& aead, std::span<std::uint8_t> datagram, std::size_t& payloadSize) {
    if (datagram.size() < kPacketOverhead || datagram.size() > kMaxPacketSize) {
        if (datagram.size() >= kPacketOverhead) aead.openFailures_.fetch_add(1);
        return false;
    }
    std::uint8_t* header = datagram.data();
    std::uint8_t* payload = header + kHeaderSize;
    const std::size_t size = datagram.size() - kPacketOverhead;
    std::uint8_t* tag = payload + size;

    const std::lock_guard lock(aead.mutex_);
    EVP_CIPHER_CTX* ctx = aead.ctx_.get();
    const auto nonce = nonceFor(aead.salt_, header);
    int length = 0;
    int finalLength = 0;
    if (ctx == nullptr || EVP_DecryptInit_ex2(ctx, nullptr, nullptr, nonce.data(), nullptr) != 1 ||
        EVP_DecryptUpdate(ctx, nullptr, &length, header, asInt(kHeaderSize)) != 1 ||
        EVP_DecryptUpdate(ctx, payload, &length, payload, asInt(size)) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, asInt(kTagSize), tag) != 1 ||
        EVP_DecryptFinal_ex(ctx, payload + length, &finalLength) != 1 ||
        static_cast<std::size_t>(length + finalLength) != size) {
        // GCM decrypts before it verifies: unauthenticated plaintext must not linger.
        OPENSSL_cleanse(payload, size);
        ERR_clear_error();
        aead.openFailures_.fetch_add(1);
        return false;
    }
    payloadSize = size;
    return true;
}

}  // namespace vel::stream
