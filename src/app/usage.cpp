#include "app/usage.h"

#include <cstdio>

#include "core/version.h"
#include "os/console.h"

namespace vel::app {

namespace {

constexpr const char* kUsage[] = {
    "Velmora — a gate that opens the RDP port only on a FIDO key",
    "",
    "  Velmora.exe setup [--uv] [--grant SEC] [--port PORT]",
    "        Full install: certificate, firewall, service.",
    "        --uv     require user verification (PIN/biometrics), not just a touch",
    "        --grant  how many seconds to keep the port open (default 90)",
    "        --code-file PATH  also write the enrollment code and this machine's",
    "                 addresses to PATH (key=value lines; used by the MSI installer)",
    "",
    "  Velmora.exe code [--ttl MINUTES]",
    "        Issue a one-time key enrollment code (default 15 min).",
    "",
    "  Velmora.exe status        State of the service, keys and firewall",
    "  Velmora.exe keys          List enrolled keys",
    "  Velmora.exe remove-key N  Remove a key by its number in the list",
    "  Velmora.exe harden        Check and repair firewall settings",
    "",
    "  Country whitelist:",
    "  Velmora.exe geoip-import FILES   Load the address->country table",
    "  Velmora.exe geo show             Current filter state",
    "  Velmora.exe geo allow RU KZ      Allow only these countries",
    "  Velmora.exe geo test 8.8.8.8     Check a specific address",
    "  Velmora.exe geo clear            Turn the filter off",
    "  Velmora.exe run           Run in the console (for debugging)",
    "  Velmora.exe selftest      Self-test of parsing and signature checks",
    "  Velmora.exe uninstall     Remove the service and rules",
    "",
    "  Velmora.exe check-code CODE Why a code is not accepted",
    "  Velmora.exe diag          Why RDP is unreachable: detailed check",
    "  Velmora.exe unlock        EMERGENCY restore of normal RDP access",
    "                                (if you have lost contact with the machine)",
    "  Velmora.exe stop          Stop the service, by force if needed",
    "  Velmora.exe arm           Re-enable protection after unlock",
    "  Velmora.exe update-apply  Install THIS binary over the running service",
    "                                (run it from the new build; used by auto-update)",
    "",
    "  Velstream host agent (built into this file):",
    "  Velmora.exe stream encoders [--bench]   Encoder backends on this machine",
    "  Velmora.exe stream selftest             Capture -> encode -> decode check",
    "  Velmora.exe stream audio-devices        Playback devices for the microphone",
    "  Velmora.exe stream serve                Started by the service itself",
};

}  // namespace

void PrintUsage() {
    for (const char* line : kUsage) WriteConsoleLine(line);
}

void PrintStreamUsage() {
    std::printf("VelmoraHost %s - Velstream host agent\n\n", kProgramVersion);
    std::printf("Installed: Velmora.exe stream <command>; development build: VelmoraHost.exe <command>\n\n");
    std::printf("  selftest [--frames N] [--hevc] [--encoder auto|nvenc|mf-hw|mf-sw] [--cpu-path] [--out FILE]\n");
    std::printf("  encoders [--bench [--width W --height H] [--hevc]]\n");
    std::printf("  audio-devices\n");
    std::printf("  dev-listen --psk HEX [--port P] [--bias N] [--manual] [--no-input] [--no-audio]\n");
    std::printf("             [--voice-out DEVICE-ID|none]   where the viewer's microphone is played\n");
    std::printf("  dev-dial --psk HEX --viewer HOST:PORT [--bias N] [--manual]\n");
    std::printf("  serve      production mode, started by the gate service with the parameters on stdin\n");
    std::fflush(stdout);
}

}  // namespace vel::app
