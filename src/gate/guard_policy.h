#pragma once

#include <cstdint>

namespace vel::gate {

// What the session guard needs of the gate's configuration, read afresh on every use so that
// a changed configuration applies at once.
struct GuardPolicy {
    std::uint16_t listenPort = 7440;
    std::uint16_t rdpPort = 3389;
    std::int32_t grantSeconds = 90;
    bool bindGrantToSourceIp = true;
    std::uint16_t streamPort = 7441;
};

class GuardPolicySource {
  public:
    virtual ~GuardPolicySource() = default;
    virtual GuardPolicy guardPolicy() const = 0;
    // Protection is armed only while some key can still authenticate.
    virtual bool keysEnrolled() const = 0;
};

}  // namespace vel::gate
