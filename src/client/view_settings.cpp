#include "client/view_settings.h"

#include <algorithm>
#include <charconv>

#include "stream/emulation_option.h"

namespace vel::client {
namespace {

constexpr std::uint16_t kDefaultStreamPort = 7441;

template <typename Number>
bool parseNumber(const std::string& text, Number min, Number max, Number& out) {
    Number value{};
    const char* end = text.data() + text.size();
    const auto [at, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || at != end || value < min || value > max) return false;
    out = value;
    return true;
}

bool parsePair(const std::string& text, char separator, int min, int max,
               std::pair<int, int>& out) {
    const std::size_t split = text.find(separator);
    if (split == std::string::npos) return false;
    return parseNumber(text.substr(0, split), min, max, out.first) &&
           parseNumber(text.substr(split + 1), min, max, out.second);
}

}  // namespace

bool ParseViewSettings(const ClientOptions& options, ViewSettings& out, std::string& error) {
    ViewSettings settings;
    if (options.psk.empty()) {
        error = "view needs --psk HEX, the development secret the host was started with";
        return false;
    }
    if (!stream::deriveDevTicket(options.psk, settings.ticket, error)) return false;
    if (options.listen.empty() == options.dial.empty()) {
        error = "view needs exactly one of --listen PORT and --dial HOST:PORT";
        return false;
    }
    if (!options.listen.empty()) {
        settings.listen = true;
        if (!parseNumber<std::uint16_t>(options.listen, 1, 65535, settings.port)) {
            error = "--listen wants a UDP port from 1 to 65535";
            return false;
        }
    } else {
        settings.candidates = stream::resolveEndpoints(options.dial, kDefaultStreamPort);
        if (settings.candidates.empty()) {
            error = "--dial: cannot resolve '" + options.dial + "'";
            return false;
        }
    }
    settings.headless = options.headless;
    if (!options.headless && (!options.frames.empty() || !options.type.empty() ||
                              !options.clicks.empty() || !options.timeout.empty())) {
        error = "--frames, --out, --type, --click and --timeout are for --headless runs";
        return false;
    }
    if (!options.frames.empty() &&
        !parseNumber<std::uint64_t>(options.frames, 1, 1'000'000, settings.frames)) {
        error = "--frames wants a number from 1 to 1000000";
        return false;
    }
    if (!options.out.empty() && settings.frames == 0) {
        error = "--out needs --frames: the file holds that many frames";
        return false;
    }
    settings.out = options.out;
    if (!TextToKeystrokes(options.type, settings.keystrokes, error)) return false;
    for (const std::string& click : options.clicks) {
        std::pair<int, int> at;
        if (!parsePair(click, ',', 0, 65535, at)) {
            error = "--click wants X,Y in the host's screen pixels, not '" + click + "'";
            return false;
        }
        settings.clicks.push_back(at);
    }
    if (!options.screen.empty()) {
        std::pair<int, int> size;
        if (!parsePair(options.screen, 'x', 2, 16384, size)) {
            error = "--screen wants WIDTHxHEIGHT, such as 1920x1080";
            return false;
        }
        settings.screen.width = static_cast<std::uint16_t>(size.first);
        settings.screen.height = static_cast<std::uint16_t>(size.second);
    }
    if (!options.bias.empty() || options.manual) {
        stream::QualityRequest quality;
        int bias = quality.bias;
        if (!options.bias.empty() && !parseNumber(options.bias, -1000000, 1000000, bias)) {
            error = "--bias wants a number from 0 to 100";
            return false;
        }
        quality.bias = static_cast<std::uint8_t>(std::clamp(bias, 0, 100));
        quality.automatic = !options.manual;
        settings.quality = quality;
    }
    settings.audioOut = options.audioOut;
    settings.software = options.software;
    if (!options.timeout.empty() &&
        !parseNumber(options.timeout, 1, 86400, settings.timeoutSeconds)) {
        error = "--timeout wants seconds from 1 to 86400";
        return false;
    }
    if (!options.emulate.empty() && !stream::parseEmulation(options.emulate, settings.emulation, error)) {
        return false;
    }
    out = std::move(settings);
    return true;
}

}  // namespace vel::client
