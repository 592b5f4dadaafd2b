#pragma once

#include <string>
#include <vector>

#include "client/ctap_authenticator.h"
#include "client/security_key.h"

namespace vel::test {

// Software authenticators offered to the client as FIDO devices. libfido2 opens them through its
// I/O hooks and hands them whole CTAPHID messages through its transport hooks, as it does for
// keys it does not reach over hidraw.
class SoftKeySource : public client::DeviceSource {
  public:
    ~SoftKeySource() override;

    // Offers authenticator under path (listed in the order attached). The authenticator must
    // outlive the source.
    void attach(const std::string& path, CtapAuthenticator& authenticator);

    bool list(std::vector<std::string>& paths, std::string& error) override;
    bool prepare(fido_dev_t* device, const std::string& path, std::string& error) override;

  private:
    std::vector<std::string> paths_;
};

}  // namespace vel::test
