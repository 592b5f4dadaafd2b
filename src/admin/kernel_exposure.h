#pragma once

#include <string>

#include "firewall/firewall.h"

namespace vel::admin {

// Why the kernel does not enforce the rule store, for status, diag and harden; empty when it
// does. Reads the kernel's table, not only the store.
std::string KernelExposure(firewall::Firewall& firewall);

}  // namespace vel::admin
