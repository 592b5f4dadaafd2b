#include "client/client_usage.h"

#include <cstdio>

namespace vel::client {

namespace {

constexpr const char* kUsage[] = {
    "velmora-client - open a Velmora gate with your FIDO2 security key",
    "",
    "  velmora-client enroll HOST[:PORT] CODE [--label TEXT]",
    "        Enroll your security key on the gate with a code from `velmora code`.",
    "        Trusts the gate's certificate and saves it with the host.",
    "",
    "  velmora-client connect HOST[:PORT] [--rdp-command CMD] [--no-rdp]",
    "        Open the gate's RDP port for your address with your key, then start the",
    "        remote desktop: xfreerdp, or CMD run by /bin/sh with $VELMORA_HOST and",
    "        $VELMORA_RDP_PORT set. The port stays open while that session lives.",
    "",
    "  velmora-client revoke HOST[:PORT]   Close the port for your address now",
    "  velmora-client hosts                Saved gates, their certificates and keys",
    "",
    "  velmora-client view HOST[:PORT] [--fullscreen] [--bias N] [--manual]",
    "        [--audio-out SINK|none] [--software]",
    "        Sign in with your key and view the machine's desktop in a window: the host's",
    "        sound plays, your keyboard and mouse control it. In the window:",
    "          Ctrl+Alt+End              Ctrl+Alt+Del on the host",
    "          Ctrl+Alt+Shift+X          fullscreen on or off",
    "          Ctrl+Alt+Shift+S          statistics: bitrate, loss, RTT, decode, latency",
    "          Ctrl+Alt+Shift+Up / Down  sharper picture / lower latency (bias +-25)",
    "          Ctrl+Alt+Shift+A          automatic balance on or off",
    "          Ctrl+Alt+Shift+Q          end the stream (closing the window does too)",
    "",
    "  velmora-client view --psk HEX (--listen PORT | --dial HOST[:PORT]) [--headless]",
    "        [--frames N [--out FILE]] [--type TEXT] [--click X,Y]... [--screen WxH]",
    "        [--bias N] [--manual] [--audio-out SINK|none] [--software] [--timeout S]",
    "        View a host started with `velmora stream dev-listen` or `dev-dial` and the",
    "        same development secret (keys come from it, not from FIDO), in a window as",
    "        above or (--headless) decoded and measured: a status line a second,",
    "        and a summary of frames and audio at the end. The run ends after N decoded",
    "        frames, at the timeout, on Ctrl+C or when the host hangs up.",
    "        --out FILE   the first N frames as YUV4MPEG2 (4:2:0 planar, BT.709 video",
    "                     range; ffplay and ffmpeg read it); frames of another size are",
    "                     left out",
    "        --type TEXT  typed on the host (US keyboard) after the first frame",
    "        --click X,Y  a left click at host screen pixel X,Y after the first frame",
    "        --screen WxH the screen size told to the host (default 1920x1080)",
    "        --bias N     ask for quality bias N (0 fastest .. 100 sharpest); --manual",
    "                     keeps the host from moving it",
    "        --audio-out  the PulseAudio sink for the host's sound; none: measure only",
    "        DIAL's port defaults to 7441.",
    "  velmora-client help                 This text",
    "",
    "  --device PATH             enroll, connect, view: the key to use (default: the first)",
    "  --fingerprint HEX         trust only a gate certificate with this SHA-256 fingerprint",
    "  --accept-new-certificate  accept a gate certificate that differs from the saved one",
    "",
    "  PORT defaults to 7440. Saved gates live in $XDG_CONFIG_HOME/velmora/hosts.json",
    "  (~/.config/velmora/hosts.json when XDG_CONFIG_HOME is not set).",
};

}  // namespace

void PrintClientUsage() {
    for (const char* line : kUsage) std::printf("%s\n", line);
}

}  // namespace vel::client
