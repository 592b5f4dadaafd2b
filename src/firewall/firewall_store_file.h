#pragma once

#include <mutex>
#include <string>

#include "firewall/firewall_store.h"

namespace vel::firewall {

// The persistent store: "firewall.json" in a directory (the data directory in production).
// Readers hold a shared flock and writers an exclusive one on "firewall.lock" beside it, so the
// service and the command line never interleave a read-modify-write; every write replaces the
// file crash-safely. A missing file is created with DefaultFirewallPolicy on first use.
class FileFirewallStore final : public FirewallStore {
  public:
    explicit FileFirewallStore(std::string directory);

    const std::string& path() const { return path_; }

    [[nodiscard]] bool read(const PolicyVisit& visit, std::string& error) override;
    [[nodiscard]] bool update(const PolicyChange& change, std::string& error) override;

  private:
    std::string directory_;
    std::string path_;
    std::string lockPath_;
    std::once_flag swept_;
};

// The file format, exposed for tests and tools. Parsing rejects wrong types and unknown values
// with a text that names the member; members that are absent take their defaults.
std::string FirewallPolicyToJson(const FirewallPolicy& policy);
[[nodiscard]] bool FirewallPolicyFromJson(const std::string& text, FirewallPolicy& policy,
                                          std::string& error);

}  // namespace vel::firewall
