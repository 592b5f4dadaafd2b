// VerifySignature with a fixed P-256 key and message and arbitrary signature bytes, to drive the
// DER reader and the raw fallback under the sanitizers. The seed corpus holds a valid signature.
#include <cstdint>
#include <cstdlib>

#include "core/crypto.h"
#include "core/encoding.h"

namespace {

vel::Bytes fromHex(std::string_view text) {
    vel::Bytes out;
    if (!vel::HexDecode(text, out)) std::abort();
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const vel::CoseKey key = [] {
        vel::CoseKey k;
        k.alg = -7;
        k.crv = 1;
        k.x = fromHex("05e79b0583d43a398e75dd3af5129b9761198bfce233d40dc5c95ab7419cdf4f");
        k.y = fromHex("5797b9f009d6d730e5b01700fc8aa3786fb8394b952612c3cc83ce94f1cfb22a");
        return k;
    }();
    static const vel::Bytes message = vel::BytesOf("velmora fuzz message");
    vel::VerifySignature(key, message, vel::Bytes(data, data + size));
    return 0;
}
