#include "host/stream_commands.h"

#include <strings.h>

#include <cstdio>
#include <stdexcept>

#include "media/audio_system.h"

namespace vel::host {
namespace {

constexpr int kUsageExit = 2;

bool is(const char* word, const char* name) {
    return ::strcasecmp(word, name) == 0;
}

}  // namespace

int CmdAudioDevices() {
    for (const bool playback : {true, false}) {
        std::printf("%s devices:\n", playback ? "playback" : "recording");
        const std::vector<media::AudioDevice> devices = media::listAudioDevices(playback);
        for (const media::AudioDevice& device : devices)
            std::printf("  %s %s\n     id: %s\n", device.isDefault ? "*" : " ",
                        device.friendlyName.c_str(), device.id.c_str());
        if (devices.empty()) std::printf("  (none)\n");
    }
    std::printf(
        "\n'*' marks the default. Pass an id to --voice-out to route the viewer's microphone "
        "there.\n");
    return 0;
}

int runStreamCommand(int argc, char** argv, void (*printUsage)()) {
    const char* sub = argc >= 3 ? argv[2] : "";
    try {
        if (is(sub, "selftest")) return CmdSelftest(argc, argv);
        if (is(sub, "encoders")) return CmdEncoders(argc, argv);
        if (is(sub, "audio-devices")) return CmdAudioDevices();
        if (is(sub, "dev-listen")) return CmdDevSession(argc, argv, true);
        if (is(sub, "dev-dial")) return CmdDevSession(argc, argv, false);
        if (is(sub, "serve")) return serveCommand();
    } catch (const std::out_of_range&) {
        std::printf("stoi argument out of range\n");
        return 1;
    } catch (const std::invalid_argument&) {
        std::printf("stoi invalid argument\n");
        return 1;
    }
    printUsage();
    return kUsageExit;
}

}  // namespace vel::host
