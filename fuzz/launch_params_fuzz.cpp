// Launch parameters as the agent reads them from standard input. Whatever arrives: the parser
// either refuses it or yields values inside their ranges, and what it yields serialises to a
// document that parses back to the same serialisation.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "stream/launch_params.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    vel::stream::LaunchParams params;
    std::string error;
    if (!vel::stream::parseLaunchParams(text, params, error)) {
        if (error.empty()) std::abort();
        return 0;
    }
    if (params.bias < 0 || params.bias > 100) std::abort();
    if (params.role != 1 && params.role != 2) std::abort();
    if (params.encoder.empty() || params.decoder.empty()) std::abort();
    const std::string once = vel::stream::serializeLaunchParams(params);
    vel::stream::LaunchParams again;
    if (!vel::stream::parseLaunchParams(once, again, error)) std::abort();
    if (vel::stream::serializeLaunchParams(again) != once) std::abort();
    return 0;
}
