#pragma once

#include <cstdint>
#include <string>

#include "net/ip_address.h"

namespace vel::gate {

// The firewall rules of streams: one UDP port opened for one viewer address while its agent
// runs. The session guard implements it; the stream launcher needs nothing else of the guard.
class StreamRules {
  public:
    virtual ~StreamRules() = default;
    // On success ruleName names the rule, for removeStreamRule.
    [[nodiscard]] virtual bool addStreamRule(const net::IpAddress& address, std::uint16_t udpPort,
                                             const std::string& keyName, std::string& ruleName,
                                             std::string& error) = 0;
    // Queues the removal; does not wait and reports nothing.
    virtual void removeStreamRule(const std::string& ruleName) = 0;
};

}  // namespace vel::gate
