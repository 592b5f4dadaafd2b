#include "stream/cuda_driver.h"

#include <dlfcn.h>

#include <mutex>

namespace vel::stream {

void* openDriverLibrary(const char* soname) {
    return dlopen(soname, RTLD_NOW | RTLD_LOCAL);
}

void* driverSymbol(void* library, const char* name) {
    return dlsym(library, name);
}

std::string CudaDriver::errorText(CUresult status) const {
    const char* text = nullptr;
    if (cuGetErrorString && cuGetErrorString(status, &text) == CUDA_SUCCESS && text) {
        return text;
    }
    return "CUDA error " + std::to_string(static_cast<int>(status));
}

namespace {

template <typename Entry>
bool resolve(void* library, const char* name, Entry*& entry) {
    entry = reinterpret_cast<Entry*>(driverSymbol(library, name));
    return entry != nullptr;
}

}  // namespace

const CudaDriver* loadCudaDriver(std::string& error) {
    static CudaDriver driver;
    static std::string failure;
    static std::once_flag once;
    std::call_once(once, [] {
        // The library stays loaded for the process: its entry points are kept in `driver`.
        void* library = openDriverLibrary("libcuda.so.1");
        if (!library) {
            failure = "libcuda.so.1 is not installed (no NVIDIA driver)";
            return;
        }
        CudaDriver d;
        bool all = resolve(library, "cuInit", d.cuInit) &&
                   resolve(library, "cuDriverGetVersion", d.cuDriverGetVersion) &&
                   resolve(library, "cuDeviceGetCount", d.cuDeviceGetCount) &&
                   resolve(library, "cuDeviceGet", d.cuDeviceGet) &&
                   resolve(library, "cuDeviceGetName", d.cuDeviceGetName) &&
                   resolve(library, "cuDeviceGetAttribute", d.cuDeviceGetAttribute) &&
                   resolve(library, "cuGetErrorString", d.cuGetErrorString) &&
                   resolve(library, "cuCtxCreate_v2", d.cuCtxCreate) &&
                   resolve(library, "cuCtxDestroy_v2", d.cuCtxDestroy) &&
                   resolve(library, "cuDevicePrimaryCtxRetain", d.cuDevicePrimaryCtxRetain) &&
                   resolve(library, "cuDevicePrimaryCtxRelease_v2", d.cuDevicePrimaryCtxRelease) &&
                   resolve(library, "cuCtxPushCurrent_v2", d.cuCtxPushCurrent) &&
                   resolve(library, "cuCtxPopCurrent_v2", d.cuCtxPopCurrent) &&
                   resolve(library, "cuMemcpy2D_v2", d.cuMemcpy2D);
        if (!all) {
            failure = "libcuda.so.1 lacks the expected entry points";
            return;
        }
        driver = d;
    });
    if (!failure.empty()) {
        error = failure;
        return nullptr;
    }
    return &driver;
}

}  // namespace vel::stream
