#include "stream/stream_keys.h"

#include <gtest/gtest.h>

#include "core/encoding.h"
#include "stream/crypto_vectors.h"

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

TEST(StreamKeys, KeyScheduleMatchesIndependentVectors) {
    const SessionKeys keys =
        deriveSessionKeys(hex(vectors::kSharedSecret), hex(vectors::kTicket),
                          hex(vectors::kHostPublic), hex(vectors::kViewerPublic));
    EXPECT_EQ(HexEncode(joined(keys.hostToViewer)), vectors::kHostToViewer);
    EXPECT_EQ(HexEncode(joined(keys.viewerToHost)), vectors::kViewerToHost);
}

TEST(StreamKeys, DevTicketMatchesVectorsAndRefusesShortOrNonHexPsk) {
    SessionTicket ticket;
    std::string error;
    ASSERT_TRUE(deriveDevTicket(vectors::kDevPsk, ticket, error)) << error;
    EXPECT_EQ(ticket.connId, vectors::kDevConnId);
    EXPECT_EQ(HexEncode(joined(ticket.keys.hostToViewer)), vectors::kDevHostToViewer);
    EXPECT_EQ(HexEncode(joined(ticket.keys.viewerToHost)), vectors::kDevViewerToHost);
    EXPECT_EQ(ticket.role, 0);

    const std::string psk = vectors::kDevPsk;
    for (const std::string& bad :
         {psk.substr(0, 31), psk.substr(0, 31) + "g", psk.substr(0, 30), std::string()}) {
        SessionTicket refused;
        error.clear();
        EXPECT_FALSE(deriveDevTicket(bad, refused, error)) << bad;
        EXPECT_EQ(error, "--psk must be at least 32 hex characters");
    }
}

TEST(StreamKeys, AgreementRefusesMissingPairsAndMalformedPoints) {
    StreamKeyPair pair;
    Bytes secret;
    std::string error;
    const Bytes viewerPublic = hex(vectors::kViewerPublic);
    EXPECT_FALSE(agree(pair, viewerPublic, secret, error));
    EXPECT_EQ(error, "ECDH key pair was not generated");

    ASSERT_TRUE(generateKeyPair(pair, error)) << error;
    Bytes compressed(viewerPublic.begin(), viewerPublic.begin() + 33);
    compressed[0] = 0x02;
    Bytes tooLong = viewerPublic;
    tooLong.push_back(0);
    for (const Bytes& bad : {compressed, tooLong}) {
        error.clear();
        EXPECT_FALSE(agree(pair, bad, secret, error));
        EXPECT_EQ(error, "peer public key is not an uncompressed P-256 point");
    }

    // Right shape, but not a point of the curve: OpenSSL's import refuses it and is named.
    Bytes offCurve = viewerPublic;
    offCurve[64] ^= 1;
    EXPECT_FALSE(agree(pair, offCurve, secret, error));
    EXPECT_EQ(error.rfind("EVP_PKEY_fromdata(peer) failed: ", 0), 0u) << error;
    EXPECT_TRUE(secret.empty());
}

}  // namespace
}  // namespace vel::stream
