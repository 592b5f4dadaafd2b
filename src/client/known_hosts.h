#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vel::client {

// A key enrolled on a gate from this account.
struct EnrolledKey {
    std::string credentialId;  // base64url, as the gate stores it
    std::string label;
    std::int64_t enrolledAt = 0;  // Unix seconds
};

// A gate this account trusts: the certificate it showed when it was first used.
struct KnownHost {
    std::string address;      // GateAddress::text()
    std::string fingerprint;  // SHA-256 of the certificate's DER, upper-case hex
    std::string machine;      // the name the gate gives itself
    std::vector<EnrolledKey> keys;
};

// $XDG_CONFIG_HOME/velmora/hosts.json, or ~/.config/velmora/hosts.json when XDG_CONFIG_HOME is
// unset or not absolute; empty when neither can be found.
std::string DefaultKnownHostsPath();

// The saved gates, kept in one JSON file (mode 0600, replaced crash-safely).
class KnownHosts {
  public:
    explicit KnownHosts(std::string path) : path_(std::move(path)) {}

    // A missing file is an empty list; a damaged one is an error and is never overwritten.
    [[nodiscard]] bool load(std::string& error);
    [[nodiscard]] bool save(std::string& error) const;

    const std::string& path() const { return path_; }
    const std::vector<KnownHost>& hosts() const { return hosts_; }
    // Null when the address is not saved.
    const KnownHost* find(const std::string& address) const;
    // Records the certificate (and machine name, when given) for an address.
    void trust(const std::string& address, const std::string& fingerprint,
               const std::string& machine);
    // Adds a key to a saved address, replacing one with the same credential id.
    void addKey(const std::string& address, const EnrolledKey& key);

  private:
    KnownHost& entry(const std::string& address);

    std::string path_;
    std::vector<KnownHost> hosts_;
};

}  // namespace vel::client
