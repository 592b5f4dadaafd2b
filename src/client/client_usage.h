#pragma once

namespace vel::client {

// Prints the usage text of velmora-client to standard output.
void PrintClientUsage();

}  // namespace vel::client
