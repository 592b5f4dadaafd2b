#pragma once

#include <string>

#include "firewall/firewall.h"

namespace vel::admin {

// Why the kernel does not enforce the rule store, for status and diag; empty when it does. Reads
// the kernel's table, not only the store; readable is false when that could not be done (without
// root, for instance), and then nothing is known either way.
std::string KernelExposure(firewall::Firewall& firewall, bool& readable);

}  // namespace vel::admin
