// Base64Decode on arbitrary text: it must never fail half-way, and what it accepts must survive a
// round trip through both encoders.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/encoding.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    vel::Bytes out;
    vel::Bytes again;
    if (!vel::Base64Decode(text, out)) {
        if (!out.empty()) std::abort();
    } else {
        if (out.size() > size * 3 / 4) std::abort();
        if (!vel::Base64Decode(vel::Base64UrlEncode(out), again) || again != out) std::abort();
        if (!vel::Base64Decode(vel::Base64StdEncode(out), again) || again != out) std::abort();
    }
    const vel::Bytes input(data, data + size);
    if (!vel::Base64Decode(vel::Base64StdEncode(input), again) || again != input) std::abort();
    return 0;
}
