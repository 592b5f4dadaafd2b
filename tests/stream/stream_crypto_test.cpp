// The stream's packet protection: key schedule and development tickets against vectors computed
// by crypto_vectors.py, sealing and opening of packets, and the replay window.
#include <gtest/gtest.h>

#include <cstring>

#include "core/encoding.h"
#include "stream/crypto_vectors.h"
#include "stream/packet_protection.h"
#include "stream/replay_window.h"
#include "stream/stream_keys.h"

namespace vel::stream {
namespace {

Bytes hex(const char* text) {
    Bytes out;
    EXPECT_TRUE(HexDecode(text, out)) << text;
    return out;
}

Bytes joined(const DirectionKey& key) {
    Bytes out(key.key.begin(), key.key.end());
    out.insert(out.end(), key.salt.begin(), key.salt.end());
    return out;
}

DirectionKey keyFromHex(const char* text) {
    const Bytes bytes = hex(text);
    DirectionKey key;
    std::memcpy(key.key.data(), bytes.data(), 32);
    std::memcpy(key.salt.data(), bytes.data() + 32, 4);
    return key;
}

TEST(StreamKeys, KeyScheduleAndDevTicketMatchIndependentVectors) {
    const SessionKeys keys =
        deriveSessionKeys(hex(vectors::kSharedSecret), hex(vectors::kTicket),
                          hex(vectors::kHostPublic), hex(vectors::kViewerPublic));
    EXPECT_EQ(HexEncode(joined(keys.hostToViewer)), vectors::kHostToViewer);
    EXPECT_EQ(HexEncode(joined(keys.viewerToHost)), vectors::kViewerToHost);

    SessionTicket ticket;
    std::string error;
    ASSERT_TRUE(deriveDevTicket(vectors::kDevPsk, ticket, error)) << error;
    EXPECT_EQ(ticket.connId, vectors::kDevConnId);
    EXPECT_EQ(HexEncode(joined(ticket.keys.hostToViewer)), vectors::kDevHostToViewer);
    EXPECT_EQ(HexEncode(joined(ticket.keys.viewerToHost)), vectors::kDevViewerToHost);
    EXPECT_EQ(ticket.role, 0);

    // A short secret is the view command test's; a character that is not hex is refused too.
    EXPECT_FALSE(deriveDevTicket(std::string(vectors::kDevPsk, 31) + "g", ticket, error));
    EXPECT_EQ(error, "--psk must be at least 32 hex characters");
}

TEST(StreamKeys, AgreementRefusesMissingPairsAndMalformedPoints) {
    StreamKeyPair pair;
    Bytes secret;
    std::string error;
    const Bytes viewerPublic = hex(vectors::kViewerPublic);
    EXPECT_FALSE(agree(pair, viewerPublic, secret, error));
    EXPECT_EQ(error, "ECDH key pair was not generated");

    // A key of the wrong form is the launcher test's; one of the right form, but not a point of
    // the curve, is refused by OpenSSL's import, which is named.
    ASSERT_TRUE(generateKeyPair(pair, error)) << error;
    Bytes offCurve = viewerPublic;
    offCurve[64] ^= 1;
    EXPECT_FALSE(agree(pair, offCurve, secret, error));
    EXPECT_EQ(error.rfind("EVP_PKEY_fromdata(peer) failed: ", 0), 0u) << error;
    EXPECT_TRUE(secret.empty());
}

struct Keys {
    AeadKey sending;
    AeadKey receiving;
    Keys() {
        std::string error;
        EXPECT_TRUE(openAeadKey(sending, keyFromHex(vectors::kHostToViewer), error)) << error;
        EXPECT_TRUE(openAeadKey(receiving, keyFromHex(vectors::kHostToViewer), error)) << error;
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

TEST(PacketProtection, SealMatchesIndependentAesGcmOpensBackAndStopsAt1200Bytes) {
    Keys keys;
    const Bytes payload = hex(vectors::kSealPayload);
    Bytes packet = sealed(keys.sending, 0x105, payload);
    EXPECT_EQ(HexEncode(packet), vectors::kSealed);

    std::size_t size = 0;
    ASSERT_TRUE(open(keys.receiving, packet, size));
    EXPECT_EQ(Bytes(packet.begin() + kHeaderSize, packet.begin() + kHeaderSize + size), payload);
    EXPECT_EQ(keys.receiving.openFailures(), 0u);

    // Packets stop at 1200 bytes.
    const Bytes largest = sealed(keys.sending, 1, Bytes(kMaxPayloadSize, 1));
    EXPECT_EQ(largest.size(), 1200u);
    EXPECT_TRUE(sealed(keys.sending, 2, Bytes(kMaxPayloadSize + 1, 1)).empty());

    // A buffer without room for the tag is refused rather than overrun.
    Bytes cramped(kHeaderSize + 10 + kTagSize - 1);
    EXPECT_EQ(seal(keys.sending, cramped, 10), 0u);

    AeadKey unopened;
    Bytes roomy(kHeaderSize + 10 + kTagSize);
    EXPECT_EQ(seal(unopened, roomy, 10), 0u);
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

    // Shorter than header and tag: ignored, not counted as a forgery.
    Bytes runt(kPacketOverhead - 1, 0);
    const std::uint64_t before = keys.receiving.openFailures();
    EXPECT_FALSE(open(keys.receiving, runt, size));
    EXPECT_EQ(keys.receiving.openFailures(), before);

    // The untouched packet still opens: failures leave the key usable.
    Bytes copy = original;
    EXPECT_TRUE(open(keys.receiving, copy, size));
    EXPECT_EQ(size, 100u);
}

// What the receive path does: ask, then mark what was accepted.
bool receive(ReplayWindow& window, std::uint64_t number) {
    if (!window.acceptable(number)) return false;
    window.mark(number);
    return true;
}

TEST(ReplayWindow, SlidingReusesSlotsWithoutRememberingOldNumbers) {
    ReplayWindow window;
    ASSERT_TRUE(receive(window, 1));
    ASSERT_TRUE(receive(window, 3));
    // 1025 shares a slot with 1 and 3 with 1027: after sliding to 1030, 1027 must be new.
    EXPECT_TRUE(window.mark(1030));
    EXPECT_TRUE(receive(window, 1027));
    EXPECT_TRUE(receive(window, 1025));
    EXPECT_FALSE(window.mark(1029));
    EXPECT_FALSE(receive(window, 1029));
    // A jump of more than the window forgets everything before it: 99331 shares 1027's slot.
    EXPECT_TRUE(window.mark(100000));
    EXPECT_TRUE(receive(window, 99331));
}

}  // namespace
}  // namespace vel::stream
