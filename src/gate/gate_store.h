#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/crypto.h"
#include "core/time.h"
#include "gate/enrollment_codes.h"
#include "gate/guard_policy.h"
#include "os/files.h"

namespace vel::gate {

inline constexpr std::int32_t kMinGrantSeconds = 15;
inline constexpr std::int32_t kMaxGrantSeconds = 600;

struct GateConfig {
    std::uint16_t listenPort = 7440;
    std::uint16_t rdpPort = 3389;
    std::int32_t grantSeconds = 90;
    bool requireUserVerification = false;
    bool bindGrantToSourceIp = true;
    std::string certThumbprint;
    std::string machineName;  // the computer name unless gate.json names another
    bool streamEnabled = true;
    std::uint16_t streamPort = 7441;
    std::string streamVoiceDevice;
    std::string gateId;                      // 32 lower-case hex digits once assigned
    std::set<std::string> allowedCountries;  // two-letter upper-case codes; empty = filter off
    bool allowPrivateAddresses = true;
    // The remote-desktop server's systemd unit.
    std::string rdpService = "xrdp.service";
};

// A service unit name systemctl takes as one plain name: letters, digits and ":-_.@\\",
// ending in ".service", not starting with "-".
bool IsServiceUnitName(const std::string& name);

struct Credential {
    std::string id;  // base64url without padding, as received at enrollment
    CoseKey publicKey;
    std::uint32_t signCount = 0;
    std::string label;
    std::string aaguid;  // 32 lower-case hex digits
    std::int64_t createdAt = 0;
    std::int64_t lastUsedAt = 0;  // 0 = never
    std::int64_t useCount = 0;
    bool disabled = false;  // kept, but never accepted
};

inline constexpr std::size_t kMaxLabelBytes = 64;

enum class AddCredentialResult {
    Added,     // a new credential id
    Replaced,  // a known id with the same public key: label and counter replaced, enabled again
    Conflict,  // a known id with another public key: nothing changed
    Failed,    // gate.json could not be read or written; error says why
};

// The gate's configuration and enrolled credentials (gate.json) and the current enrollment code
// (enrollment.json beside it). The service and the administration commands each keep their own
// store over the same files. What one process changes, the others see:
// - the credentials and the gate id are read again from gate.json whenever the file changed
//   (device, inode, size or modification time) before a credential is looked up or listed;
// - every write is a read-modify-write under an exclusive flock on "gate.lock" beside gate.json:
//   the writer applies its own change (a key's use, a new key, a removal, a configuration save)
//   to what is on disk, so no process undoes another's change;
// - the rest of the configuration is what load read (the service applies it at start) until the
//   process itself calls setConfig;
// - the enrollment state is checked on every query and read again whenever enrollment.json (or,
//   without it, gate.json) changed, so a code issued by another process counts at once.
// Every method is thread-safe.
class GateStore final : public GuardPolicySource {
  public:
    // The clock dates key use and enrollment codes.
    explicit GateStore(const Clock& clock = SystemClock()) : clock_(clock) {}

    // Reads gate.json at path, or creates it with the defaults when it does not exist. A file
    // that exists but cannot be read or parsed fails the load and is never written afterwards.
    [[nodiscard]] bool load(const std::string& path, std::string& error);
    // Writes this store's configuration into gate.json, keeping the credentials on disk.
    [[nodiscard]] bool save(std::string& error);

    GateConfig config() const;
    // In memory only; the caller saves.
    void setConfig(const GateConfig& config);

    std::vector<Credential> credentials() const;
    std::size_t activeCredentialCount() const;
    GuardPolicy guardPolicy() const override;
    bool keysEnrolled() const override { return activeCredentialCount() > 0; }
    // True only for a stored credential that is not disabled.
    [[nodiscard]] bool findCredential(const std::string& id, Credential& out) const;
    // Appends the credential, or for a known id with the same public key replaces its label and
    // counter and enables it again (its history stays). The label is made valid UTF-8 and cut
    // to kMaxLabelBytes on a character boundary.
    [[nodiscard]] AddCredentialResult addCredential(const Credential& credential,
                                                    std::string& error);
    // False for an unknown id or a failed write.
    [[nodiscard]] bool removeCredential(const std::string& id);
    // Records a successful assertion; false for an unknown id or a failed write.
    [[nodiscard]] bool recordUse(const std::string& id, std::uint32_t signCount);

    // Replaces any earlier code. Returns the displayed code, or an empty text and error.
    std::string issueEnrollmentCode(std::int64_t lifetimeSeconds, std::string& error);
    bool enrollmentOpen();
    std::int64_t enrollmentExpiresAt();
    [[nodiscard]] bool checkEnrollmentCode(std::string_view code);
    // A matching code is used up: it is deleted and no process will accept it again.
    [[nodiscard]] bool consumeEnrollmentCode(std::string_view code);

  private:
    struct Document {
        GateConfig config;
        std::vector<Credential> credentials;
    };
    // Applies change to the document on disk under the exclusive file lock and writes the result
    // when change returns true. The credentials and gate id in memory follow the disk either way.
    // Called holding writeMutex_ and, in lock, mutex_, which it releases while the file is written.
    [[nodiscard]] bool update(std::unique_lock<std::mutex>& lock,
                              const std::function<bool(Document&)>& change, std::string& error);
    // Follows gate.json when another process replaced it.
    void refresh() const;
    void adopt(const Document& document, const FileIdentity& identity) const;
    GateConfig defaults() const;
    void reloadEnrollment();
    [[nodiscard]] bool saveEnrollment(std::string& error);

    const Clock& clock_;
    // Taken before mutex_ by every writer of gate.json, and held while the file is written, so
    // that writers take turns while readers wait only for mutex_.
    std::mutex writeMutex_;
    mutable std::mutex mutex_;
    std::string path_;            // guarded by mutex_
    std::string lockPath_;        // guarded by mutex_
    std::string enrollmentPath_;  // guarded by mutex_
    // The credentials and gate id follow the file, so const lookups may refresh them.
    mutable GateConfig config_;                    // guarded by mutex_
    mutable std::vector<Credential> credentials_;  // guarded by mutex_
    mutable FileIdentity identity_;                // guarded by mutex_; of the version in memory
    mutable FileIdentity unreadable_;              // guarded by mutex_; last version that failed
    EnrollmentState enrollment_;                   // guarded by mutex_
    // The enrollment document last read, and the files it came from; gateFile is examined only
    // while enrollment.json is absent. Reused only when settled (see reloadEnrollment).
    struct EnrollmentSource {
        FileIdentity enrollmentFile;
        FileIdentity gateFile;
        JsonValue document;
        bool settled = false;
    };
    EnrollmentSource enrollmentSource_;  // guarded by mutex_
    // Set when gate.json exists but could not be loaded: saving would destroy what it holds.
    bool writeRefused_ = false;  // guarded by mutex_
};

}  // namespace vel::gate
