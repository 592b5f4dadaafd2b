#pragma once

#include <ffnvcodec/nvEncodeAPI.h>

#include <cstdint>
#include <string>

namespace vel::host {

// NVIDIA's encoder library (libnvidia-encode.so.1), loaded once per process: its function table
// and the highest API version the driver supports (major x 16 + minor).
struct NvencLibrary {
    NV_ENCODE_API_FUNCTION_LIST api{};
    std::uint32_t driverVersion = 0;
};

// The library, or null with the reason. The outcome stays the same for the life of the process.
const NvencLibrary* loadNvencLibrary(std::string& error);

// Empty when a driver reporting `driverVersion` runs the API version this build was made with,
// otherwise the refusal naming both versions.
std::string nvencVersionRefusal(std::uint32_t driverVersion);

}  // namespace vel::host
