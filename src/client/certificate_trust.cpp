#include "client/certificate_trust.h"

#include "core/encoding.h"

namespace vel::client {

bool NormalizeFingerprint(const std::string& typed, std::string& out) {
    Bytes digest;
    if (!HexDecode(typed, digest) || digest.size() != 32) return false;
    out = HexEncode(digest, true);
    return true;
}

TrustDecision DecideTrust(const std::string& address, const std::string& saved,
                          const std::string& presented, const TrustOptions& options) {
    TrustDecision decision;
    if (!options.pinnedFingerprint.empty()) {
        std::string pinned;
        if (!NormalizeFingerprint(options.pinnedFingerprint, pinned) || pinned != presented) {
            decision.message = "the certificate of " + address +
                               " has the SHA-256 fingerprint\n  " + presented +
                               "\nnot the one given with --fingerprint; refusing to talk to it";
            return decision;
        }
        decision.trusted = true;
        decision.remember = saved != presented;
        return decision;
    }
    if (saved == presented) {
        decision.trusted = true;
        return decision;
    }
    if (!saved.empty()) {
        if (options.acceptNew) {
            decision.trusted = true;
            decision.remember = true;
            decision.message = "accepting the new certificate of " + address + "\n  was: " + saved +
                               "\n  now: " + presented;
            return decision;
        }
        decision.message =
            "the certificate of " + address +
            " has CHANGED since it was saved\n  saved:     " + saved +
            "\n  presented: " + presented +
            "\nEither the gate was set up again with a new certificate, or someone is intercepting "
            "the connection. Compare the new fingerprint with the one `velmora setup` printed on "
            "the gate; if they match, run the command again with --accept-new-certificate.";
        return decision;
    }
    if (options.firstUseAllowed || options.acceptNew) {
        decision.trusted = true;
        decision.remember = true;
        decision.message = "first connection to " + address +
                           "; trusting its certificate, SHA-256 fingerprint\n  " + presented +
                           "\n(compare it with the one `velmora setup` printed on the gate)";
        return decision;
    }
    decision.message =
        address + " is not a saved gate. Enroll a key first (velmora-client enroll " + address +
        " CODE), or name its certificate with --fingerprint HEX or accept it with "
        "--accept-new-certificate.";
    return decision;
}

}  // namespace vel::client
