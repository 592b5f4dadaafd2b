#include "host/stream_options.h"

#include <strings.h>

namespace vel::host {

StreamOptions::StreamOptions(int argc, char** argv, int first) {
    for (int i = first; i < argc; ++i) words_.emplace_back(argv[i]);
    claimed_.assign(words_.size(), false);
}

bool StreamOptions::flag(const char* name) {
    bool found = false;
    for (std::size_t i = 0; i < words_.size(); ++i) {
        if (::strcasecmp(words_[i].c_str(), name) == 0) {
            claimed_[i] = true;
            found = true;
        }
    }
    return found;
}

std::optional<std::string> StreamOptions::value(const char* name) {
    std::optional<std::string> found;
    for (std::size_t i = 0; i + 1 < words_.size(); ++i) {
        if (::strcasecmp(words_[i].c_str(), name) == 0) {
            claimed_[i] = claimed_[i + 1] = true;
            found = words_[i + 1];
        }
    }
    return found;
}

int StreamOptions::number(const char* name, int fallback) {
    const std::optional<std::string> text = value(name);
    return text ? std::stoi(*text) : fallback;
}

std::optional<std::string> StreamOptions::unknown() const {
    for (std::size_t i = 0; i < words_.size(); ++i)
        if (!claimed_[i]) return words_[i];
    return std::nullopt;
}

}  // namespace vel::host
