#pragma once

#include <optional>
#include <string>

#include "client/client_main.h"
#include "client/client_options.h"
#include "client/gate_address.h"
#include "client/gate_connection.h"
#include "client/known_hosts.h"
#include "core/json.h"

namespace vel::client {

// Prints "velmora-client: " and the sentence to standard error; returns 1 for `return Fail(...)`.
int Fail(const std::string& sentence);

// Loads the saved gates of environment; false with the reason.
[[nodiscard]] bool LoadKnownHosts(const ClientEnvironment& environment, KnownHosts& hosts,
                                  std::string& error);

// A connection to the gate at address that pins the saved certificate, or trusts a new one as the
// options and firstUse allow. Trust notes go to standard error.
GateConnection ConnectionFor(const GateAddress& address, const KnownHosts& hosts,
                             const ClientOptions& options, bool firstUse);

// Opens the key the options name and signs in to the gate of the first operand, asking for a
// stream token when wanted. A certificate accepted for the first time is saved; failing to save
// it is reported after signedIn ("the port is open") and does not undo the sign-in. Empty, with
// one sentence in error, when any step fails.
std::optional<GateConnection> SignInWithKey(const ClientOptions& options,
                                            ClientEnvironment& environment, bool wantStreamToken,
                                            const std::string& signedIn, JsonValue& granted,
                                            std::string& error);

}  // namespace vel::client
