#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vel {

enum class LogLevel { Debug = 0, Info = 1, Warn = 2, Error = 3 };

// A log file grows to this size before it is moved aside to "<file>.1".
constexpr std::uint64_t kLogRotateSize = 4u * 1024 * 1024;

// Points the process-wide log at <directory>/<baseName>.log (creating the directory) and applies
// the VELMORA_DEBUG switch.
void InitLog(const std::string& directory, const std::string& baseName);

// The current log file, empty when none is set.
std::string LogFilePath();

void SetLogMinLevel(LogLevel level);

// Appends one line "YYYY-MM-DD hh:mm:ss.mmm [LEVEL] message" in local time. Control bytes in the
// message (which may carry client-supplied text) are written as \xNN, so one event is one line. The file is opened and
// closed for every line so the service and the command line can share it. Never fails.
void Log(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// text with every byte below 0x20 and 0x7F written as \xNN (lower-case hex).
std::string EscapeControlBytes(std::string_view text);

// True when VELMORA_DEBUG holds a value of at most seven characters that begins with "1".
bool DebugSwitchOn(const char* value);

}  // namespace vel
