#pragma once

#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "media/audio_system.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace vel::media::test {

// A private PulseAudio daemon with a null sink "velmora_test" (44.1 kHz float, like a desktop's
// mixer) and a null source "velmora_mic", reached on its own socket. While it lives, PULSE_SERVER
// points this process's libpulse clients at it.
class PulseDaemon {
  public:
    PulseDaemon() {
        std::filesystem::create_directories(dir_.file("runtime"));
        std::filesystem::create_directories(dir_.file("home"));
        const std::string socket = dir_.file("runtime/native");
        std::vector<std::string> args{
            "pulseaudio",
            "-n",
            "--daemonize=no",
            "--exit-idle-time=-1",
            "--use-pid-file=no",
            "--log-target=file:" + dir_.file("pulseaudio.log"),
            "-L",
            "module-null-sink sink_name=velmora_test rate=44100 format=float32le channels=2 "
            "sink_properties=device.description=Velmora-Test",
            "-L",
            "module-null-source source_name=velmora_mic description=Velmora-Mic",
            "-L",
            "module-native-protocol-unix auth-anonymous=1 socket=" + socket};
        std::vector<std::string> env = vel::test::MergedEnvironment(
            {"XDG_RUNTIME_DIR=" + dir_.file("runtime"), "HOME=" + dir_.file("home"),
             "XDG_CONFIG_HOME=" + dir_.file("home/.config")});
        std::vector<char*> argp, envp;
        for (auto& a : args) argp.push_back(a.data());
        argp.push_back(nullptr);
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        if (::posix_spawnp(&pid_, argp[0], nullptr, nullptr, argp.data(), envp.data()) != 0) {
            pid_ = -1;
            reason_ = "pulseaudio is not installed";
            return;
        }
        ::setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (std::chrono::steady_clock::now() < deadline) {
            int status;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                reason_ = "pulseaudio exited at start: " + logTail();
                return;
            }
            if (std::filesystem::exists(socket) && !pulseAudioSystem().listDevices(true).empty()) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        reason_ = "pulseaudio did not answer within 15 s: " + logTail();
    }

    ~PulseDaemon() {
        ::unsetenv("PULSE_SERVER");
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        int status;
        for (int i = 0; i < 100; ++i) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
    }

    PulseDaemon(const PulseDaemon&) = delete;
    PulseDaemon& operator=(const PulseDaemon&) = delete;

    // Empty when the daemon runs; otherwise why it does not.
    const std::string& unavailable() const { return reason_; }

    const vel::test::TempDir& dir() const { return dir_; }

  private:
    std::string logTail() const {
        std::ifstream in(dir_.file("pulseaudio.log"));
        std::stringstream text;
        text << in.rdbuf();
        const std::string all = text.str();
        return all.size() > 400 ? all.substr(all.size() - 400) : all;
    }

    vel::test::TempDir dir_;
    std::string reason_;
    pid_t pid_ = -1;
};

}  // namespace vel::media::test
