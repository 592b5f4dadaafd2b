#pragma once

#include <string>

namespace vel::client {

// What the user said about a gate's certificate on the command line.
struct TrustOptions {
    std::string pinnedFingerprint;  // --fingerprint, as typed
    bool acceptNew = false;         // --accept-new-certificate
    bool firstUseAllowed = false;   // enroll may trust a gate it has never seen
};

struct TrustDecision {
    bool trusted = false;
    bool remember = false;  // the presented fingerprint should be saved for the address
    std::string message;    // why it was refused, or a note for the user when it was accepted
};

// Normalises a fingerprint as typed (colons, blanks, either case) to upper-case hex; false when it
// is not 32 bytes of hex.
[[nodiscard]] bool NormalizeFingerprint(const std::string& typed, std::string& out);

// Trust on first use, as ssh does it: a saved fingerprint must match; a new one is accepted only
// when the user says so; a gate never seen is trusted on enrollment or when its fingerprint was
// given. saved is empty for a gate never seen.
TrustDecision DecideTrust(const std::string& address, const std::string& saved,
                          const std::string& presented, const TrustOptions& options);

}  // namespace vel::client
