#include "os/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "os/paths.h"
#include "os/unique_fd.h"

namespace vel {

namespace {

struct LogState {
    std::mutex mutex;
    std::string path;  // guarded by mutex
    std::atomic<int> minLevel{static_cast<int>(LogLevel::Info)};
};

LogState& state() {
    static LogState instance;
    return instance;
}

const char* levelTag(LogLevel level) {
    switch (level) {
        case LogLevel::Debug:
            return "DEBUG";
        case LogLevel::Warn:
            return "WARN ";
        case LogLevel::Error:
            return "ERROR";
        default:
            return "INFO ";
    }
}

UniqueFd openForAppend(const std::string& path) {
    return UniqueFd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
}

}  // namespace

std::string EscapeControlBytes(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F) {
            out += c;
            continue;
        }
        out += "\\x";
        out += kHex[byte >> 4];
        out += kHex[byte & 0xF];
    }
    return out;
}

bool DebugSwitchOn(const char* value) {
    return value != nullptr && std::strlen(value) <= 7 && value[0] == '1';
}

void InitLog(const std::string& directory, const std::string& baseName) {
    LogState& s = state();
    std::lock_guard lock(s.mutex);
    static_cast<void>(EnsureDirectory(directory));
    s.path = JoinPath(directory, baseName + ".log");
    if (DebugSwitchOn(std::getenv("VELMORA_DEBUG"))) s.minLevel = static_cast<int>(LogLevel::Debug);
}

std::string LogFilePath() {
    LogState& s = state();
    std::lock_guard lock(s.mutex);
    return s.path;
}

void SetLogMinLevel(LogLevel level) {
    state().minLevel = static_cast<int>(level);
}

void Log(LogLevel level, const char* format, ...) {
    LogState& s = state();
    if (static_cast<int>(level) < s.minLevel) return;

    char message[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);  // cuts at 2047 bytes
    va_end(args);

    timeval now{};
    ::gettimeofday(&now, nullptr);
    tm local{};
    ::localtime_r(&now.tv_sec, &local);
    char line[8400];  // room for a message of control bytes, each written as four
    const int length = std::snprintf(
        line, sizeof line, "%04u-%02u-%02u %02u:%02u:%02u.%03u [%s] %s\n",
        unsigned(local.tm_year + 1900), unsigned(local.tm_mon + 1), unsigned(local.tm_mday),
        unsigned(local.tm_hour), unsigned(local.tm_min), unsigned(local.tm_sec),
        unsigned(now.tv_usec / 1000), levelTag(level), EscapeControlBytes(message).c_str());
    if (length <= 0) return;

    std::lock_guard lock(s.mutex);
    if (s.path.empty()) return;
    UniqueFd fd = openForAppend(s.path);
    if (!fd) return;
    struct stat st {};
    if (::fstat(fd.get(), &st) == 0 && static_cast<std::uint64_t>(st.st_size) > kLogRotateSize) {
        fd.reset();
        const std::string older = s.path + ".1";
        ::unlink(older.c_str());
        ::rename(s.path.c_str(), older.c_str());
        fd = openForAppend(s.path);
        if (!fd) return;
    }
    const ssize_t ignored = ::write(fd.get(), line, static_cast<size_t>(length));
    (void)ignored;
}

}  // namespace vel
