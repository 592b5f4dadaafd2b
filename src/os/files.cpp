#include "os/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string_view>
#include <vector>

#include "os/unique_fd.h"

namespace vel {

namespace {

constexpr std::size_t kMaxChunk = 256u * 1024 * 1024;

bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size < kMaxChunk ? size : kMaxChunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Makes a completed rename durable: without it a crash can lose the new directory entry.
void syncDirectoryOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const std::string dir =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) ::fsync(fd.get());
}

}  // namespace

bool ReadFileBytes(const std::string& path, Bytes& out) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return false;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (static_cast<std::uint64_t>(st.st_size) > kMaxReadFileSize) return false;
    Bytes data(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::read(fd.get(), data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    data.resize(done);
    out = std::move(data);
    return true;
}

bool ReadFileText(const std::string& path, std::string& out) {
    Bytes data;
    if (!ReadFileBytes(path, data)) return false;
    out.assign(data.begin(), data.end());
    return true;
}

bool ReadStreamFile(const std::string& path, std::string& out) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return false;
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;
        if (text.size() + static_cast<size_t>(n) > kMaxReadFileSize) return false;
        text.append(buffer, static_cast<size_t>(n));
    }
    out = std::move(text);
    return true;
}

void RemoveStaleTemporaries(const std::string& path) {
    constexpr time_t kStaleSeconds = 10;
    const std::size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string prefix = path.substr(slash == std::string::npos ? 0 : slash + 1) + ".tmp.";
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(directory.c_str()), &::closedir);
    if (!dir) return;
    const time_t now = ::time(nullptr);
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string_view name(entry->d_name);
        if (name.size() != prefix.size() + 6 || name.rfind(prefix, 0) != 0) continue;
        struct stat st {};
        if (::fstatat(::dirfd(dir.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode) && st.st_mtime + kStaleSeconds < now) {
            ::unlinkat(::dirfd(dir.get()), entry->d_name, 0);
        }
    }
}

bool WriteFileAtomic(const std::string& path, const std::uint8_t* data, std::size_t size) {
    RemoveStaleTemporaries(path);
    // A unique temporary name, so that two processes replacing the same file at once never
    // write into each other's temporary file; the last rename wins with a complete file.
    std::string temp = path + ".tmp.XXXXXX";
    std::vector<char> pattern(temp.begin(), temp.end());
    pattern.push_back('\0');
    UniqueFd fd(::mkostemp(pattern.data(), O_CLOEXEC));
    if (!fd) return false;
    temp.assign(pattern.data());
    struct stat st {};
    const mode_t mode = ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0600;
    const bool written =
        ::fchmod(fd.get(), mode) == 0 && writeAll(fd.get(), data, size) && ::fsync(fd.get()) == 0;
    const bool closed = ::close(fd.release()) == 0;
    if (!written || !closed || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    syncDirectoryOf(path);
    return true;
}

bool WriteFileAtomic(const std::string& path, std::string_view text) {
    return WriteFileAtomic(path, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

bool IdentifyFile(const std::string& path, FileIdentity& out) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    out.device = static_cast<std::uint64_t>(st.st_dev);
    out.inode = static_cast<std::uint64_t>(st.st_ino);
    out.size = static_cast<std::int64_t>(st.st_size);
    out.modifiedNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return true;
}

}  // namespace vel
