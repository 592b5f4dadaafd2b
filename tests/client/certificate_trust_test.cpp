#include "client/certificate_trust.h"

#include <gtest/gtest.h>

namespace vel::client {
namespace {

const std::string kOld(64, 'A');
const std::string kNew(64, 'B');
const std::string kHost = "gate.example:7440";

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(CertificateTrust, SavedFingerprintMustMatchUnlessTheUserAccepts) {
    TrustDecision same = DecideTrust(kHost, kOld, kOld, {});
    EXPECT_TRUE(same.trusted);
    EXPECT_FALSE(same.remember);

    TrustDecision changed = DecideTrust(kHost, kOld, kNew, {});
    EXPECT_FALSE(changed.trusted);
    EXPECT_TRUE(contains(changed.message, "has CHANGED")) << changed.message;
    EXPECT_TRUE(contains(changed.message, "saved:     " + kOld));
    EXPECT_TRUE(contains(changed.message, "presented: " + kNew));
    EXPECT_TRUE(contains(changed.message, "--accept-new-certificate"));
    // Enrolling again does not silently replace a saved certificate either.
    EXPECT_FALSE(DecideTrust(kHost, kOld, kNew, {"", false, true}).trusted);

    TrustDecision accepted = DecideTrust(kHost, kOld, kNew, {"", true, false});
    EXPECT_TRUE(accepted.trusted);
    EXPECT_TRUE(accepted.remember);
}

TEST(CertificateTrust, FirstUseOnlyOnEnrollmentOrWhenNamed) {
    TrustDecision firstEnroll = DecideTrust(kHost, "", kNew, {"", false, true});
    EXPECT_TRUE(firstEnroll.trusted);
    EXPECT_TRUE(firstEnroll.remember);
    EXPECT_TRUE(contains(firstEnroll.message, kNew));

    TrustDecision unknown = DecideTrust(kHost, "", kNew, {});
    EXPECT_FALSE(unknown.trusted);
    EXPECT_TRUE(contains(unknown.message, "is not a saved gate"));

    // A pinned fingerprint, typed with colons and in lower case, decides alone.
    std::string typed;
    for (int i = 0; i < 32; ++i) typed += std::string(i ? ":" : "") + "bb";
    TrustDecision pinned = DecideTrust(kHost, "", kNew, {typed, false, false});
    EXPECT_TRUE(pinned.trusted);
    EXPECT_TRUE(pinned.remember);
    EXPECT_FALSE(
        DecideTrust(kHost, kNew, kNew, {"aa" + std::string(62, 'a'), false, true}).trusted);
    EXPECT_FALSE(DecideTrust(kHost, "", kNew, {"bbbb", true, true}).trusted);

    std::string normalized;
    EXPECT_TRUE(NormalizeFingerprint(typed, normalized));
    EXPECT_EQ(normalized, kNew);
    EXPECT_FALSE(NormalizeFingerprint(std::string(40, 'a'), normalized));  // a SHA-1 thumbprint
}

}  // namespace
}  // namespace vel::client
