#include "client/client_options.h"

#include <algorithm>
#include <array>

#include "client/certificate_trust.h"

namespace vel::client {

namespace {

struct CommandShape {
    const char* name;
    std::size_t operands;
    const char* operandText;
    std::vector<std::string> options;
};

const std::array<CommandShape, 6>& commands() {
    static const std::array<CommandShape, 6> shapes{{
        {"enroll",
         2,
         "HOST[:PORT] CODE",
         {"--label", "--device", "--fingerprint", "--accept-new-certificate"}},
        {"connect",
         1,
         "HOST[:PORT]",
         {"--device", "--fingerprint", "--accept-new-certificate", "--rdp-command", "--no-rdp"}},
        {"revoke", 1, "HOST[:PORT]", {"--fingerprint", "--accept-new-certificate"}},
        {"hosts", 0, "", {}},
        {"view",
         1,
         "HOST[:PORT]",
         {"--device", "--fingerprint", "--accept-new-certificate", "--fullscreen", "--psk", "--listen", "--dial", "--headless", "--frames", "--out", "--type", "--click",
          "--screen", "--bias", "--manual", "--audio-out", "--software", "--timeout",
          "--emulate"}},
        {"help", 0, "", {}},
    }};
    return shapes;
}

bool takesValue(const std::string& option) {
    static const std::array<const char*, 16> valued{
        "--label", "--device", "--fingerprint", "--rdp-command", "--psk",  "--listen",
        "--dial",  "--frames", "--out",         "--type",        "--click", "--screen",
        "--bias",  "--audio-out", "--timeout",  "--emulate"};
    return std::find_if(valued.begin(), valued.end(),
                        [&](const char* v) { return option == v; }) != valued.end();
}

// The first of the given words that only the other kind of view takes, or null.
const char* firstOf(const std::vector<std::string>& args,
                    std::initializer_list<const char*> options) {
    for (const char* option : options) {
        if (std::find(args.begin(), args.end(), option) != args.end()) return option;
    }
    return nullptr;
}

const char* gateOnlyViewOption(const std::vector<std::string>& args) {
    return firstOf(args, {"--device", "--fingerprint", "--accept-new-certificate"});
}

const char* directOnlyViewOption(const std::vector<std::string>& args) {
    return firstOf(args, {"--listen", "--dial", "--headless", "--frames", "--out", "--type",
                          "--click", "--screen", "--timeout", "--emulate"});
}

}  // namespace

bool ParseClientOptions(const std::vector<std::string>& args, ClientOptions& out,
                        std::string& error) {
    ClientOptions parsed;
    if (args.empty()) {
        parsed.command = "help";
        out = parsed;
        return true;
    }
    parsed.command = args.front() == "--help" || args.front() == "-h" ? "help" : args.front();
    const auto shape =
        std::find_if(commands().begin(), commands().end(),
                     [&](const CommandShape& s) { return parsed.command == s.name; });
    if (shape == commands().end()) {
        error = "unknown command '" + parsed.command + "'";
        return false;
    }
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (word.rfind("--", 0) != 0) {
            parsed.operands.push_back(word);
            continue;
        }
        if (std::find(shape->options.begin(), shape->options.end(), word) == shape->options.end()) {
            error = "'" + parsed.command + "' does not take " + word;
            return false;
        }
        std::string value;
        if (takesValue(word)) {
            if (i + 1 >= args.size()) {
                error = word + " needs a value";
                return false;
            }
            value = args[++i];
        }
        if (word == "--label") parsed.label = value;
        if (word == "--device") parsed.device = value;
        if (word == "--fingerprint") parsed.fingerprint = value;
        if (word == "--rdp-command") parsed.rdpCommand = value;
        if (word == "--accept-new-certificate") parsed.acceptNewCertificate = true;
        if (word == "--no-rdp") parsed.noRdp = true;
        if (word == "--psk") parsed.psk = value;
        if (word == "--listen") parsed.listen = value;
        if (word == "--dial") parsed.dial = value;
        if (word == "--frames") parsed.frames = value;
        if (word == "--out") parsed.out = value;
        if (word == "--type") parsed.type = value;
        if (word == "--click") parsed.clicks.push_back(value);
        if (word == "--screen") parsed.screen = value;
        if (word == "--bias") parsed.bias = value;
        if (word == "--audio-out") parsed.audioOut = value;
        if (word == "--timeout") parsed.timeout = value;
        if (word == "--emulate") parsed.emulate = value;
        if (word == "--headless") parsed.headless = true;
        if (word == "--fullscreen") parsed.fullscreen = true;
        if (word == "--manual") parsed.manual = true;
        if (word == "--software") parsed.software = true;
    }
    // `view --psk` meets a development host directly, without a gate to name.
    const bool direct = parsed.command == "view" && !parsed.psk.empty();
    if (parsed.command == "view" && !direct && parsed.operands.empty() &&
        directOnlyViewOption(args) != nullptr) {
        error = "view needs --psk HEX, the development secret the host was started with";
        return false;
    }
    if (parsed.operands.size() != (direct ? 0 : shape->operands)) {
        error = "usage: velmora-client " + parsed.command +
                (shape->operands == 0 ? std::string() : " " + std::string(shape->operandText));
        return false;
    }
    if (parsed.command == "view") {
        const char* misplaced = direct ? gateOnlyViewOption(args) : directOnlyViewOption(args);
        if (misplaced != nullptr) {
            error = std::string(direct ? "view --psk" : "view HOST") + " does not take " + misplaced;
            return false;
        }
    }
    std::string fingerprint;
    if (!parsed.fingerprint.empty() && !NormalizeFingerprint(parsed.fingerprint, fingerprint)) {
        error = "--fingerprint wants the 64 hex digits of a SHA-256 fingerprint";
        return false;
    }
    if (parsed.noRdp && !parsed.rdpCommand.empty()) {
        error = "--no-rdp and --rdp-command exclude each other";
        return false;
    }
    out = parsed;
    return true;
}

}  // namespace vel::client
