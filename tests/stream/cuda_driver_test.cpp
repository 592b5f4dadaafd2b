#include "stream/cuda_driver.h"

#include <gtest/gtest.h>

namespace vel::stream {
namespace {

TEST(CudaDriver, AbsentDriverIsRefusedTheSameWayEveryTime) {
    std::string error;
    const CudaDriver* driver = loadCudaDriver(error);
    if (driver) {
        GTEST_SKIP() << "NVIDIA's CUDA driver is installed here";
    }
    EXPECT_EQ(error, "libcuda.so.1 is not installed (no NVIDIA driver)");
    std::string again;
    EXPECT_EQ(loadCudaDriver(again), nullptr);
    EXPECT_EQ(again, error);
    EXPECT_EQ(openDriverLibrary("libnvidia-encode.so.1"), nullptr);
}

TEST(CudaDriver, ResolvesSymbolsOfALibraryThatIsThere) {
    void* libc = openDriverLibrary("libc.so.6");
    ASSERT_NE(libc, nullptr);
    EXPECT_NE(driverSymbol(libc, "strlen"), nullptr);
    EXPECT_EQ(driverSymbol(libc, "cuInit"), nullptr);
}

}  // namespace
}  // namespace vel::stream
