#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/json.h"
#include "support/background_process.h"
#include "support/temp_dir.h"

namespace vel::test {

// A port free on loopback at the moment of asking, for TCP or (with SOCK_DGRAM) UDP.
std::uint16_t FreePort(int type);

// The real velmora binary running `velmora run` over a data directory of its own. The gate.json
// it starts with is written by the test (listenPort is filled in).
class GateProcess {
  public:
    // extraConfig members are merged into gate.json's "config" before the start.
    explicit GateProcess(const JsonValue& extraConfig = JsonValue::object());

    // Puts credentials (the gate.json "credentials" array) into gate.json before the start.
    void setCredentials(const JsonValue& credentials);

    // Gives the gate a certificate made the way setup makes it, so that it serves HTTPS only.
    [[nodiscard]] bool useHttps(std::string& error);

    // Starts the gate and waits until it answers; false (with the output so far) when it did not.
    bool start(std::string& output);

    std::uint16_t port() const { return port_; }
    pid_t pid() const { return process_.pid(); }
    std::string dataDirectory() const { return dir_.file("Velmora"); }
    std::string log() const;
    // Runs another velmora command over the same data directory.
    std::string command(const std::vector<std::string>& args, int* exitCode = nullptr) const;

  private:
    TempDir dir_;
    std::uint16_t port_ = 0;
    bool https_ = false;
    std::vector<std::string> env_;
    BackgroundProcess process_;
};

}  // namespace vel::test
