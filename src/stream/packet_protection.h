#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>

#include "core/openssl_ptr.h"
#include "stream/packet_header.h"
#include "stream/stream_keys.h"

namespace vel::stream {

class AeadKey;

// Keys the cipher context with the 32 key bytes and keeps the salt.
[[nodiscard]] bool openAeadKey(AeadKey& aead, const DirectionKey& key, std::string& error);

// `packet` starts with the 13-byte header, followed by `payloadSize` plaintext bytes and room for
// the tag. Encrypts the payload in place and writes the tag behind it. Returns the sealed size,
// or 0 when the packet would pass 1200 bytes, the buffer is too small or encryption fails.
[[nodiscard]] std::size_t seal(AeadKey& aead, std::span<std::uint8_t> packet,
                               std::size_t payloadSize);

// Authenticates and decrypts a received datagram in place; the plaintext is then
// datagram[kHeaderSize, kHeaderSize + payloadSize). On failure nothing of it may be used (the
// payload bytes are wiped) and, from 29 bytes on, the failure is counted.
[[nodiscard]] bool open(AeadKey& aead, std::span<std::uint8_t> datagram, std::size_t& payloadSize);

// One direction's AES-256-GCM key. The cipher context is keyed once; a packet only sets its
// nonce, so sealing allocates nothing. Sealing and opening hold the key's own lock.
class AeadKey {
  public:
    AeadKey() = default;
    AeadKey(const AeadKey&) = delete;
    AeadKey& operator=(const AeadKey&) = delete;
    ~AeadKey();

    bool isOpen() const;
    // Datagrams that reached open() and failed to authenticate.
    std::uint64_t openFailures() const { return openFailures_.load(); }

  private:
    friend bool openAeadKey(AeadKey& aead, const DirectionKey& key, std::string& error);
    friend std::size_t seal(AeadKey& aead, std::span<std::uint8_t> packet, std::size_t payloadSize);
    friend bool open(AeadKey& aead, std::span<std::uint8_t> datagram, std::size_t& payloadSize);

    mutable std::mutex mutex_;
    EvpCipherCtxPtr ctx_;                 // guarded by mutex_
    std::array<std::uint8_t, 4> salt_{};  // guarded by mutex_
    std::atomic<std::uint64_t> openFailures_{0};
};

}  // namespace vel::stream
