// HexDecode on arbitrary text: it must never fail half-way, and what it accepts must survive a
// round trip through the encoder in either case.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/encoding.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    vel::Bytes out;
    vel::Bytes again;
    if (!vel::HexDecode(text, out)) {
        if (!out.empty()) std::abort();
    } else {
        if (out.size() > size / 2) std::abort();
        if (!vel::HexDecode(vel::HexEncode(out), again) || again != out) std::abort();
        if (!vel::HexDecode(vel::HexEncode(out, true), again) || again != out) std::abort();
    }
    return 0;
}
