#include "os/system_error.h"

#include <cstring>

namespace vel {

std::string SystemErrorText(int error) {
    char buffer[256];
    // GNU strerror_r returns a pointer that may or may not be the buffer.
    const char* text = strerror_r(error, buffer, sizeof buffer);
    std::string result = (text != nullptr && *text != '\0') ? text : "error";
    return result + " (errno " + std::to_string(error) + ")";
}

std::string FailedText(const std::string& operation, int error) {
    return operation + " failed: " + SystemErrorText(error);
}

}  // namespace vel
