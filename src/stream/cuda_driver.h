#pragma once

#include <ffnvcodec/dynlink_cuda.h>

#include <string>

namespace vel::stream {

// The entry points of NVIDIA's CUDA driver (libcuda.so.1) that NVENC and NVDEC need, loaded with
// dlopen once per process. Nothing here links against the driver: a machine without it still runs.
struct CudaDriver {
    tcuInit* cuInit = nullptr;
    CUresult(CUDAAPI* cuDriverGetVersion)(int*) = nullptr;
    tcuDeviceGetCount* cuDeviceGetCount = nullptr;
    tcuDeviceGet* cuDeviceGet = nullptr;
    tcuDeviceGetName* cuDeviceGetName = nullptr;
    tcuDeviceGetAttribute* cuDeviceGetAttribute = nullptr;
    tcuGetErrorString* cuGetErrorString = nullptr;
    tcuCtxCreate_v2* cuCtxCreate = nullptr;
    tcuCtxDestroy_v2* cuCtxDestroy = nullptr;
    tcuDevicePrimaryCtxRetain* cuDevicePrimaryCtxRetain = nullptr;
    tcuDevicePrimaryCtxRelease* cuDevicePrimaryCtxRelease = nullptr;
    tcuCtxPushCurrent_v2* cuCtxPushCurrent = nullptr;
    tcuCtxPopCurrent_v2* cuCtxPopCurrent = nullptr;
    tcuMemcpy2D_v2* cuMemcpy2D = nullptr;

    // The driver's text for a status, or its number.
    std::string errorText(CUresult status) const;
};

// The driver, or null with the reason ("libcuda.so.1 is not installed (no NVIDIA driver)" or the
// missing entry point). The outcome stays the same for the life of the process.
const CudaDriver* loadCudaDriver(std::string& error);

// Opens a library by its soname with dlopen and keeps it for the life of the process; resolves
// symbols from it. Null when absent.
void* openDriverLibrary(const char* soname);
void* driverSymbol(void* library, const char* name);

}  // namespace vel::stream
