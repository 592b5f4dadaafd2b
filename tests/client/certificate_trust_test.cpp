#include "client/certificate_trust.h"

#include <gtest/gtest.h>

namespace vel::client {
namespace {

const std::string kOld(64, 'A');
const std::string kNew(64, 'B');
const std::string kHost = "gate.example:7440";
// kNew as a user may type it: with colons, in lower case.
const std::string kTyped = [] {
    std::string typed = "bb";
    for (int i = 1; i < 32; ++i) typed += ":bb";
    return typed;
}();

// The changed-certificate message is seen end to end; here every way to trust or refuse.
TEST(CertificateTrust, SavedFingerprintMustMatchAndFirstUseNeedsEnrollmentOrAPin) {
    // clang-format off
    const struct {
        const char* name;
        std::string saved;
        TrustOptions options;  // pinned fingerprint, accept a new one, enrolling
        bool trusted;
        bool remember;
    } cases[] = {
        {"same as saved", kNew, {}, true, false},
        {"changed", kOld, {}, false, false},
        {"enrolling again does not replace it", kOld, {"", false, true}, false, false},
        {"changed and accepted", kOld, {"", true, false}, true, true},
        {"first use on enrollment", "", {"", false, true}, true, true},
        {"unknown gate", "", {}, false, false},
        {"pinned as typed", "", {kTyped, false, false}, true, true},
        {"pinned but another", kNew, {"aa" + std::string(62, 'a'), false, true}, false, false},
        {"pinned too short", "", {"bbbb", true, true}, false, false},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TrustDecision decision = DecideTrust(kHost, c.saved, kNew, c.options);
        EXPECT_EQ(decision.trusted, c.trusted) << decision.message;
        EXPECT_EQ(decision.remember, c.remember);
    }
    EXPECT_NE(DecideTrust(kHost, "", kNew, {}).message.find("is not a saved gate"),
              std::string::npos);

    std::string normalized;
    EXPECT_TRUE(NormalizeFingerprint(kTyped, normalized));
    EXPECT_EQ(normalized, kNew);
    EXPECT_FALSE(NormalizeFingerprint(std::string(40, 'a'), normalized));  // a SHA-1 thumbprint
}

}  // namespace
}  // namespace vel::client
