#include "host/secure_attention.h"

#include "os/log.h"
#include "host/input_injector.h"

namespace vel::host {

void sendSecureAttention(InputInjector& injector) {
    constexpr std::uint8_t kDown = 1, kExtended = 2;
    struct Key {
        std::uint16_t scan;
        std::uint8_t extended;
    };
    constexpr Key kKeys[] = {{0x1D, 0}, {0x38, 0}, {0x53, kExtended}};  // Ctrl, Alt, Delete
    bool ok = true;
    for (const Key& k : kKeys) ok = injector.key(k.scan, k.extended | kDown) && ok;
    for (int i = 2; i >= 0; --i) ok = injector.key(kKeys[i].scan, kKeys[i].extended) && ok;
    if (!ok) {
        Log(LogLevel::Warn, "Ctrl+Alt+Del not sent: %s",
            "the X server did not take the key presses");
        return;
    }
    Log(LogLevel::Info, "secure attention sequence sent (display '%s')",
        injector.displayName().c_str());
}

}  // namespace vel::host
