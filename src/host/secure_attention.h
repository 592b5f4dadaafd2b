#pragma once

namespace vel::host {

class InputInjector;

// The viewer's Ctrl+Alt+Del request: the three keys pressed and released through the injector,
// for whatever the session binds to them (a lock screen, a log-out dialog). Logs the outcome.
void sendSecureAttention(InputInjector& injector);

}  // namespace vel::host
