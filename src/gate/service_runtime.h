#pragma once

#include <cstdint>
#include <string>

namespace vel::gate {

inline constexpr const char* kServiceRuntimeFile = "service-runtime.json";

// Which build the running service is, for the command line: written at every start.
struct ServiceRuntime {
    std::string version;
    std::string build;
    std::string executable;
    std::int64_t pid = 0;
    std::int64_t startedAt = 0;
};

[[nodiscard]] bool WriteServiceRuntime(const std::string& dataDirectory,
                                       const ServiceRuntime& runtime);
[[nodiscard]] bool ReadServiceRuntime(const std::string& dataDirectory, ServiceRuntime& runtime);

}  // namespace vel::gate
