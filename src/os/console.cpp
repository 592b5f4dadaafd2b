#include "os/console.h"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace vel {

void WriteConsoleLine(std::string_view text) {
    std::string line(text);
    line += '\n';
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(STDOUT_FILENO, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

}  // namespace vel
