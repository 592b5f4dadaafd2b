#include "stream/packet_protection.h"

#include <gtest/gtest.h>

#include <cstring>

#include "core/encoding.h"
#include "stream/crypto_vectors.h"

namespace vel::stream {
namespace {

DirectionKey keyFromHex(const char* text) {
    Bytes bytes;
    EXPECT_TRUE(HexDecode(text, bytes));
    DirectionKey key;
    std::memcpy(key.key.data(), bytes.data(), 32);
    std::memcpy(key.salt.data(), bytes.data() + 32, 4);
    return key;
}

struct Keys {
    AeadKey sending;
    AeadKey receiving;
    explicit Keys(const char* hexKey = vectors::kHostToViewer) {
        std::string error;
        EXPECT_TRUE(openAeadKey(sending, keyFromHex(hexKey), error)) << error;
        EXPECT_TRUE(openAeadKey(receiving, keyFromHex(hexKey), error)) << error;
    }
};

// A packet of the given number holding `payload`, sealed; empty when seal refused it.
Bytes sealed(AeadKey& key, std::uint64_t number, const Bytes& payload) {
    Bytes packet(kHeaderSize + payload.size() + kTagSize + 8);
    writeHeader({2, 0x01020304, number}, packet.data());
    std::copy(payload.begin(), payload.end(), packet.begin() + kHeaderSize);
    const std::size_t size = seal(key, packet, payload.size());
    packet.resize(size);
    return packet;
}

TEST(PacketProtection, SealMatchesIndependentAesGcmAndOpensBack) {
    Keys keys;
    Bytes payload;
    ASSERT_TRUE(HexDecode(vectors::kSealPayload, payload));
    Bytes packet = sealed(keys.sending, 0x105, payload);
    EXPECT_EQ(HexEncode(packet), vectors::kSealed);

    std::size_t size = 0;
    ASSERT_TRUE(open(keys.receiving, packet, size));
    EXPECT_EQ(Bytes(packet.begin() + kHeaderSize, packet.begin() + kHeaderSize + size), payload);
    EXPECT_EQ(keys.receiving.openFailures(), 0u);
}

TEST(PacketProtection, AnyAlteredByteFailsToOpenAndIsCounted) {
    Keys keys;
    const Bytes original = sealed(keys.sending, 77, Bytes(100, 0x5A));
    // Type byte, connection id, packet number, ciphertext, tag.
    std::uint64_t expectedFailures = 0;
    for (std::size_t position : {0u, 1u, 5u, 12u, 20u, 120u}) {
        Bytes altered = original;
        altered[position] ^= 0x01;
        std::size_t size = 0;
        EXPECT_FALSE(open(keys.receiving, altered, size)) << position;
        EXPECT_EQ(keys.receiving.openFailures(), ++expectedFailures);
        // Nothing unauthenticated is left behind in the buffer.
        EXPECT_EQ(Bytes(altered.begin() + kHeaderSize, altered.end() - kTagSize),
                  Bytes(original.size() - kPacketOverhead, 0));
    }
    std::size_t size = 0;

    // The other direction's key does not open it either.
    Keys other(vectors::kViewerToHost);
    Bytes copy = original;
    EXPECT_FALSE(open(other.receiving, copy, size));

    // Shorter than header and tag: ignored, not counted as a forgery.
    Bytes runt(kPacketOverhead - 1, 0);
    const std::uint64_t before = keys.receiving.openFailures();
    EXPECT_FALSE(open(keys.receiving, runt, size));
    EXPECT_EQ(keys.receiving.openFailures(), before);

    // The untouched packet still opens: failures leave the key usable.
    copy = original;
    EXPECT_TRUE(open(keys.receiving, copy, size));
    EXPECT_EQ(size, 100u);
}

TEST(PacketProtection, PacketsStopAt1200Bytes) {
    Keys keys;
    const Bytes largest = sealed(keys.sending, 1, Bytes(kMaxPayloadSize, 1));
    EXPECT_EQ(largest.size(), 1200u);
    EXPECT_TRUE(sealed(keys.sending, 2, Bytes(kMaxPayloadSize + 1, 1)).empty());

    // A buffer without room for the tag is refused rather than overrun.
    Bytes cramped(kHeaderSize + 10 + kTagSize - 1);
    EXPECT_EQ(seal(keys.sending, cramped, 10), 0u);

    AeadKey unopened;
    Bytes packet(kHeaderSize + 10 + kTagSize);
    EXPECT_EQ(seal(unopened, packet, 10), 0u);
}

}  // namespace
}  // namespace vel::stream
