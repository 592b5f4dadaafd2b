#pragma once

#include <string>

namespace vel {

// The text for an errno value: strerror's sentence followed by " (errno N)".
std::string SystemErrorText(int error);

// "<operation> failed: <SystemErrorText(error)>", the shape every failing system call reports.
std::string FailedText(const std::string& operation, int error);

}  // namespace vel
