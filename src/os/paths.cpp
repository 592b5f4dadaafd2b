#include "os/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace vel {

std::string ExecutablePath() {
    std::vector<char> buffer(260);
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) return {};
        if (static_cast<size_t>(n) < buffer.size()) return std::string(buffer.data(), n);
        buffer.resize(buffer.size() * 2);
    }
}

std::string ExecutableDirectory() {
    const std::string path = ExecutablePath();
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string DataDirectory() {
    const char* programData = std::getenv("PROGRAMDATA");
    std::string base = (programData != nullptr && *programData != '\0') ? programData : "/var/lib";
    const std::string dir = JoinPath(base, "Velmora");
    static_cast<void>(EnsureDirectory(dir));
    return dir;
}

std::string JoinPath(const std::string& a, const std::string& b) {
    if (a.empty()) return b;
    if (b.empty()) return a;
    std::string result = a;
    if (result.back() != '/' && result.back() != '\\') result += '/';
    result.append(b, (b.front() == '/' || b.front() == '\\') ? 1 : 0);
    return result;
}

bool EnsureDirectory(const std::string& path) {
    if (path.empty()) return false;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    const size_t slash = path.find_last_of('/', path.size() - 2);
    if (slash != std::string::npos && slash > 0)
        static_cast<void>(EnsureDirectory(path.substr(0, slash)));
    // The data directory holds keys and the firewall store: owner only.
    if (::mkdir(path.c_str(), 0700) == 0) return true;
    return errno == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

}  // namespace vel
