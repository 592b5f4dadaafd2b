#include "support/golden.h"

#include <stdexcept>

#include "os/files.h"
#include "os/paths.h"

namespace vel::test {

std::string Golden(std::string_view name) {
    const std::string path = JoinPath(VELMORA_GOLDEN_DIR, std::string(name));
    std::string text;
    if (!ReadFileText(path, text)) throw std::runtime_error("cannot read " + path);
    return text;
}

}  // namespace vel::test
