#include "host/stream_options.h"

#include <strings.h>

#include <cstdlib>
#include <sstream>

namespace vel::host {
namespace {

const std::string kEmulateHelp =
    "--emulate is for testing only: it impairs the datagrams this end sends, "
    "loss=PERCENT,delay=MS,jitter=MS,rate=BITS-PER-SECOND,seed=N";

}  // namespace

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

bool parseEmulation(const std::string& text, stream::NetworkEmulation& out, std::string& error) {
    stream::NetworkEmulation settings;
    std::stringstream items(text);
    for (std::string item; std::getline(items, item, ',');) {
        const std::size_t eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const char* value = eq == std::string::npos ? "" : item.c_str() + eq + 1;
        char* end = nullptr;
        const double number = std::strtod(value, &end);
        if (eq == std::string::npos || end == value || *end != '\0' || !(number >= 0)) {
            error = kEmulateHelp + ("; bad item '" + item + "'");
            return false;
        }
        if (key == "loss" && number <= 100)
            settings.loss = number / 100;
        else if (key == "delay" && number <= 10000)
            settings.delayMs = static_cast<std::uint32_t>(number);
        else if (key == "jitter" && number <= 10000)
            settings.jitterMs = static_cast<std::uint32_t>(number);
        else if (key == "rate" && number <= 1e12)
            settings.rateLimit = static_cast<std::uint64_t>(number);
        else if (key == "seed" && number <= 1.8e19)
            settings.seed = static_cast<std::uint64_t>(number);
        else {
            error = kEmulateHelp + ("; bad item '" + item + "'");
            return false;
        }
    }
    out = settings;
    return true;
}

}  // namespace vel::host
