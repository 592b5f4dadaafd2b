#include "host/nvenc_library.h"

#include <cstdio>
#include <mutex>

#include "stream/cuda_driver.h"

namespace vel::host {

using stream::driverSymbol;
using stream::openDriverLibrary;

std::string nvencVersionRefusal(std::uint32_t driverVersion) {
    constexpr std::uint32_t needed = NVENCAPI_MAJOR_VERSION * 16 + NVENCAPI_MINOR_VERSION;
    if (driverVersion >= needed) {
        return {};
    }
    char text[96];
    std::snprintf(text, sizeof text, "the NVIDIA driver supports NVENC API %u.%u; %u.%u is needed",
                  driverVersion >> 4, driverVersion & 15, unsigned{NVENCAPI_MAJOR_VERSION},
                  unsigned{NVENCAPI_MINOR_VERSION});
    return text;
}

const NvencLibrary* loadNvencLibrary(std::string& error) {
    static NvencLibrary library;
    static std::string failure;
    static std::once_flag once;
    std::call_once(once, [] {
        void* module = openDriverLibrary("libnvidia-encode.so.1");
        if (!module) {
            failure = "libnvidia-encode.so.1 is not installed (no NVIDIA driver)";
            return;
        }
        using GetMaxVersion = NVENCSTATUS(NVENCAPI*)(std::uint32_t*);
        using CreateInstance = NVENCSTATUS(NVENCAPI*)(NV_ENCODE_API_FUNCTION_LIST*);
        auto getMaxVersion = reinterpret_cast<GetMaxVersion>(
            driverSymbol(module, "NvEncodeAPIGetMaxSupportedVersion"));
        auto createInstance =
            reinterpret_cast<CreateInstance>(driverSymbol(module, "NvEncodeAPICreateInstance"));
        if (!getMaxVersion || !createInstance) {
            failure = "libnvidia-encode.so.1 lacks the expected entry points";
            return;
        }
        std::uint32_t version = 0;
        if (getMaxVersion(&version) != NV_ENC_SUCCESS) {
            failure = "NvEncodeAPIGetMaxSupportedVersion failed";
            return;
        }
        if (std::string refusal = nvencVersionRefusal(version); !refusal.empty()) {
            failure = refusal;
            return;
        }
        NvencLibrary loaded;
        loaded.driverVersion = version;
        loaded.api.version = NV_ENCODE_API_FUNCTION_LIST_VER;
        if (createInstance(&loaded.api) != NV_ENC_SUCCESS) {
            failure = "NvEncodeAPICreateInstance failed";
            return;
        }
        library = loaded;
    });
    if (!failure.empty()) {
        error = failure;
        return nullptr;
    }
    return &library;
}

}  // namespace vel::host
