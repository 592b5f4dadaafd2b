#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "core/bytes.h"
#include "gate/relying_party.h"
#include "gate/webauthn.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const vel::Bytes challenge = {0x00, 0x01, 0xFB, 0xFF, 0x10, 0x20, 0x30, 0x40};
    static const std::string origin = vel::gate::RelyingPartyOrigin();
    std::string error;
    const bool ok = vel::gate::VerifyClientData(std::span(data, size), "webauthn.get", challenge,
                                                origin, &error);
    // A pass leaves the error text alone; a refusal always says why.
    if (ok != error.empty()) __builtin_trap();
    return 0;
}
