#include "client/gate_address.h"

#include <algorithm>
#include <charconv>

namespace vel::client {

namespace {

bool parsePort(const std::string& text, std::uint16_t& port) {
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535) {
        return false;
    }
    port = static_cast<std::uint16_t>(value);
    return true;
}

}  // namespace

std::string GateAddress::text() const {
    const std::string shown = host.find(':') == std::string::npos ? host : "[" + host + "]";
    return shown + ":" + std::to_string(port);
}

bool ParseGateAddress(const std::string& text, GateAddress& out, std::string& error) {
    GateAddress parsed;
    std::string portText;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos) {
            error = "'" + text + "' has no closing bracket";
            return false;
        }
        parsed.host = text.substr(1, close - 1);
        const std::string rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') {
                error = "'" + text + "' has text after the bracket";
                return false;
            }
            portText = rest.substr(1);
            if (portText.empty()) {
                error = "'" + text + "' ends with a colon but names no port";
                return false;
            }
        }
    } else if (std::count(text.begin(), text.end(), ':') == 1) {
        const std::size_t colon = text.find(':');
        parsed.host = text.substr(0, colon);
        portText = text.substr(colon + 1);
        if (portText.empty()) {
            error = "'" + text + "' ends with a colon but names no port";
            return false;
        }
    } else {
        parsed.host = text;
    }
    if (parsed.host.empty()) {
        error = "no host name given";
        return false;
    }
    if (parsed.host.find_first_of(" \t/") != std::string::npos) {
        error = "'" + parsed.host + "' is not a host name or address";
        return false;
    }
    if (!portText.empty() && !parsePort(portText, parsed.port)) {
        error = "'" + portText + "' is not a port number (1-65535)";
        return false;
    }
    out = parsed;
    return true;
}

}  // namespace vel::client
