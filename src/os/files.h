#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/bytes.h"

namespace vel {

// Largest file ReadFileBytes accepts.
constexpr std::size_t kMaxReadFileSize = 64u * 1024 * 1024;

// Reads a whole file of at most 64 MiB. On failure returns false and leaves out unchanged.
[[nodiscard]] bool ReadFileBytes(const std::string& path, Bytes& out);
[[nodiscard]] bool ReadFileText(const std::string& path, std::string& out);

// Reads a file whose size is not known in advance (such as those under /proc) up to 64 MiB.
[[nodiscard]] bool ReadStreamFile(const std::string& path, std::string& out);

// What tells one version of a file from the next: every crash-safe replacement makes a new inode
// and a new modification time, so a reader can skip parsing a file it has already read.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = -1;
    std::int64_t modifiedNs = 0;

    bool operator==(const FileIdentity&) const = default;
};

// False when path cannot be examined (typically because it does not exist).
[[nodiscard]] bool IdentifyFile(const std::string& path, FileIdentity& out);

// Replaces path crash-safely: the bytes go to a temporary file beside it, are flushed to disk and
// renamed over path, and the directory entry is flushed. A process killed at any instant leaves
// either the old or the complete new content. New files get mode 0600. Temporary files of path
// left by killed writers are removed once they are ten seconds old.
[[nodiscard]] bool WriteFileAtomic(const std::string& path, const std::uint8_t* data,
                                   std::size_t size);
[[nodiscard]] bool WriteFileAtomic(const std::string& path, std::string_view text);

// Removes the temporary files of path (as WriteFileAtomic names them) that are ten seconds old,
// so that a concurrent writer's file is never touched.
void RemoveStaleTemporaries(const std::string& path);

}  // namespace vel
