#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "core/bytes.h"
#include "core/openssl_ptr.h"

namespace vel::stream {

// An uncompressed P-256 point: 0x04, X (32 bytes), Y (32 bytes), both big-endian.
constexpr std::size_t kPublicKeySize = 65;
constexpr std::size_t kSharedSecretSize = 32;

class StreamKeyPair;

// A fresh key pair; false with "<OpenSSL step> failed: <reason>" when OpenSSL refuses.
[[nodiscard]] bool generateKeyPair(StreamKeyPair& pair, std::string& error);

// The 32-byte big-endian X coordinate of the shared point.
[[nodiscard]] bool agree(const StreamKeyPair& pair, const Bytes& peerPublic, Bytes& secret,
                         std::string& error);

// One ECDH P-256 key pair. Move-only; the private key never leaves it.
class StreamKeyPair {
  public:
    StreamKeyPair() = default;
    StreamKeyPair(StreamKeyPair&&) noexcept = default;
    StreamKeyPair& operator=(StreamKeyPair&&) noexcept = default;
    StreamKeyPair(const StreamKeyPair&) = delete;
    StreamKeyPair& operator=(const StreamKeyPair&) = delete;

    bool generated() const { return key_ != nullptr; }
    // The 65-byte uncompressed public point; empty before generation.
    const Bytes& publicKey() const { return publicKey_; }

  private:
    friend bool generateKeyPair(StreamKeyPair& pair, std::string& error);
    friend bool agree(const StreamKeyPair& pair, const Bytes& peerPublic, Bytes& secret,
                      std::string& error);

    EvpPkeyPtr key_;
    Bytes publicKey_;
};

// 32 bytes of AES-256 key, then the 4 salt bytes exactly as the derivation produced them.
struct DirectionKey {
    std::array<std::uint8_t, 32> key{};
    std::array<std::uint8_t, 4> salt{};

    DirectionKey() = default;
    DirectionKey(const DirectionKey&) = default;
    DirectionKey& operator=(const DirectionKey&) = default;
    ~DirectionKey();
    bool operator==(const DirectionKey&) const = default;
};

struct SessionKeys {
    DirectionKey hostToViewer;
    DirectionKey viewerToHost;
};

// What a session needs besides its socket: role (1 host, 2 viewer), connection id and keys.
struct SessionTicket {
    std::uint8_t role = 0;
    std::uint32_t connId = 0;
    SessionKeys keys;
};

// The key schedule: HKDF-SHA-256 over the secret, salted with the hash of the label, the ticket
// and both public keys. Throws vel::Error when hashing fails.
SessionKeys deriveSessionKeys(const Bytes& secret, const Bytes& ticket, const Bytes& hostPublic,
                              const Bytes& viewerPublic);

// Development keys from a pre-shared secret given in hex: fills connId and keys, not the role.
[[nodiscard]] bool deriveDevTicket(const std::string& pskHex, SessionTicket& out,
                                   std::string& error);

}  // namespace vel::stream
