#include <charconv>
#include <cstdio>

#include "client/client_commands.h"
#include "client/command_support.h"
#include "client/stream_open.h"
#include "client/stream_window.h"
#include "stream/udp_socket.h"
#include "viewer/video_decoder.h"

namespace vel::client {

namespace {

bool parseBias(const std::string& text, int& out) {
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [at, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || at != end || value < 0 || value > 100) return false;
    out = value;
    return true;
}

// A free UDP port for the session, known before the stream is opened so that the host can be
// told where to reach the viewer.
std::uint16_t reservePort() {
    stream::UdpSocket probe;
    std::string ignored;
    if (!probe.open(0, ignored)) return 0;
    const std::uint16_t port = probe.port();
    probe.close();
    return port;
}

std::string endSentence(const StreamWindowResult& result, const std::string& address) {
    if (!result.sawPicture) {
        return "the stream from " + address + " ended before its first picture (" +
               result.endReason +
               "); UDP to the host's stream port may be blocked on the way";
    }
    return "the stream ended: " + result.endReason;
}

}  // namespace

int RunGateView(const ClientOptions& options, ClientEnvironment& environment) {
    std::string error;
    StreamChoices choices;
    if (!options.bias.empty() && !parseBias(options.bias, choices.bias)) {
        return Fail("--bias wants a number from 0 to 100");
    }
    choices.automatic = !options.manual;
    choices.audio = options.audioOut != "none";
    JsonValue granted;
    std::optional<GateConnection> gate =
        SignInWithKey(options, environment, true, "signed in", granted, error);
    if (!gate) return Fail(error);
    const GateAddress& address = gate->address();
    const std::string token = granted.get("streamToken").asString();
    if (token.empty()) {
        return Fail(address.text() +
                    " signed you in but handed out no stream token; its gate may predate "
                    "streaming");
    }

    stream::StreamKeyPair own;
    if (!stream::generateKeyPair(own, error)) return Fail(error);
    choices.viewerPort = reservePort();
    JsonValue answer;
    if (!gate->call("/v1/stream/open", StreamOpenRequest(token, own.publicKey(), choices), answer,
                   error)) {
        return Fail(error);
    }
    StreamOffer offer;
    if (!ReadStreamOffer(answer, offer, error)) return Fail(error);
    viewer::ViewerOptions engine;
    if (!ViewerSessionKeys(own, offer, engine.session.keys, error)) return Fail(error);
    engine.session.connId = offer.connId;
    engine.session.localPort = choices.viewerPort;
    engine.session.candidates =
        StreamDestinations(stream::resolveEndpoints(address.host, offer.port), offer);
    engine.audio = choices.audio;
    engine.audioDevice = options.audioOut;
    engine.decodeMode = options.software ? viewer::kDecodeSoftwareOnly : 0;
    std::printf("stream %08X from %s on UDP port %u; Ctrl+Alt+Shift+Q ends it, "
                "Ctrl+Alt+Shift+S shows its statistics\n",
                offer.connId, address.host.c_str(), static_cast<unsigned>(offer.port));
    std::fflush(stdout);

    stream::QualityRequest quality;
    quality.bias = static_cast<std::uint8_t>(choices.bias);
    quality.automatic = choices.automatic;
    StreamWindowResult result;
    if (!ViewInWindow(engine, quality, "Velmora - " + address.text(), options.fullscreen, result,
                      error)) {
        return Fail(error);
    }
    if (result.end != WindowEnd::SessionEnded) return 0;
    if (!result.sawPicture) return Fail(endSentence(result, address.text()));
    std::printf("%s\n", endSentence(result, address.text()).c_str());
    return 0;
}

}  // namespace vel::client
