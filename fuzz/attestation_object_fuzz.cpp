#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "gate/webauthn.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vel::Bytes authData;
    std::string format;
    if (!vel::gate::ParseAttestationObject(std::span(data, size), authData, &format)) return 0;
    if (authData.size() + format.size() > size) __builtin_trap();
    // The endpoints parse what they find inside next.
    vel::gate::AuthenticatorData parsed;
    vel::gate::ParseAuthenticatorData(authData, parsed);
    return 0;
}
