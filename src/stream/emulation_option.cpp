#include "stream/emulation_option.h"

#include <charconv>
#include <cstdint>
#include <sstream>

namespace vel::stream {
namespace {

template <typename Number>
bool parseNumber(const std::string& text, Number min, Number max, Number& out) {
    Number value{};
    const char* end = text.data() + text.size();
    const auto [at, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || at != end || !(value >= min) || value > max) return false;
    out = value;
    return true;
}

}  // namespace

bool parseEmulation(const std::string& text, NetworkEmulation& out, std::string& error) {
    NetworkEmulation emulation;
    std::stringstream items(text);
    for (std::string item; std::getline(items, item, ',');) {
        const std::size_t eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
        double percent = 0;
        bool ok = false;
        if (key == "loss") {
            ok = parseNumber(value, 0.0, 100.0, percent);
            emulation.loss = percent / 100;
        } else if (key == "delay") {
            ok = parseNumber(value, 0u, 10000u, emulation.delayMs);
        } else if (key == "jitter") {
            ok = parseNumber(value, 0u, 10000u, emulation.jitterMs);
        } else if (key == "rate") {
            ok = parseNumber<std::uint64_t>(value, 0, 1'000'000'000'000, emulation.rateLimit);
        } else if (key == "seed") {
            ok = parseNumber<std::uint64_t>(value, 0, UINT64_MAX, emulation.seed);
        }
        if (!ok) {
            error =
                "--emulate is for testing only: it impairs the datagrams this end sends, "
                "loss=PERCENT,delay=MS,jitter=MS,rate=BITS-PER-SECOND,seed=N; bad item '" +
                item + "'";
            return false;
        }
    }
    out = emulation;
    return true;
}

}  // namespace vel::stream
