#include "admin/service_host.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <thread>

#include "os/log.h"
#include "os/stop_signals.h"
#include "os/systemd_notify.h"

namespace vel::admin {

namespace {

constexpr int kShutdownPolls = 250;  // 100 ms each: 25 s in all
constexpr int kPollsPerProgressReport = 50;

}  // namespace

int RunServiceHost(HostedService& service) {
    StopSignals signals([&service] { service.requestStop(); });
    static_cast<void>(NotifySystemd("STATUS=starting"));

    std::string error;
    if (!service.startup(error)) {
        Log(LogLevel::Error, "service startup failed: %s", error.c_str());
        static_cast<void>(NotifySystemd("STATUS=startup failed: " + error));
        service.stop();
        return 1;
    }
    static_cast<void>(NotifySystemd("READY=1\nSTATUS=running"));
    service.waitForStop();

    static_cast<void>(NotifySystemd("STOPPING=1\nEXTEND_TIMEOUT_USEC=30000000"));
    std::atomic<bool> finished{false};
    std::thread shutdown([&] {
        try {
            service.stop();
        } catch (const std::exception& e) {
            Log(LogLevel::Error, "shutdown threw: %s", e.what());
        }
        finished = true;
    });
    for (int poll = 1; poll <= kShutdownPolls && !finished; ++poll) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (poll % kPollsPerProgressReport == 0) {
            static_cast<void>(NotifySystemd("EXTEND_TIMEOUT_USEC=30000000"));
        }
    }
    if (!finished) {
        Log(LogLevel::Error, "shutdown did not finish within 25s; stopping the process anyway");
        ::_exit(0);  // the shutdown thread is stuck; nothing else can end it
    }
    shutdown.join();
    return 0;
}

}  // namespace vel::admin
