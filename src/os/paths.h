#pragma once

#include <string>

namespace vel {

// Full path of the running executable (/proc/self/exe); empty on failure.
std::string ExecutablePath();

// ExecutablePath up to, not including, its last separator; empty when there is none.
std::string ExecutableDirectory();

// The data directory: $PROGRAMDATA (when set and non-empty, else /var/lib) joined with "Velmora".
// Created on first use with mode 0700; a failure to create it is left to the first file operation.
std::string DataDirectory();

// Joins two path pieces with exactly one "/" between them; an empty piece yields the other.
std::string JoinPath(const std::string& a, const std::string& b);

// True when path is (or has now been made, with its parents) a directory.
[[nodiscard]] bool EnsureDirectory(const std::string& path);

// True when path exists and is not a directory.
bool FileExists(const std::string& path);

}  // namespace vel
