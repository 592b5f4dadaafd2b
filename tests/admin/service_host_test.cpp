#include "admin/service_host.h"

#include <gtest/gtest.h>

#include "os/files.h"
#include "os/log.h"
#include "os/systemd_notify.h"
#include "support/notify_socket.h"
#include "support/temp_dir.h"

namespace vel::admin {
namespace {

class FakeService : public HostedService {
  public:
    bool startupSucceeds = true;
    std::vector<std::string> calls;

    bool startup(std::string& error) override {
        calls.push_back("startup");
        if (!startupSucceeds) error = "port 8443 is taken";
        return startupSucceeds;
    }
    void waitForStop() override { calls.push_back("waitForStop"); }  // as if stopped at once
    void requestStop() override { calls.push_back("requestStop"); }
    void stop() override { calls.push_back("stop"); }
};

TEST(ServiceHost, ReportsReadinessThenStoppingAndStopsTheService) {
    test::TempDir dir;
    test::NotifySocket systemd(dir.file("notify"));
    FakeService service;
    EXPECT_EQ(RunServiceHost(service), 0);
    EXPECT_EQ(service.calls, (std::vector<std::string>{"startup", "waitForStop", "stop"}));
    EXPECT_EQ(systemd.receive(1000), "STATUS=starting");
    EXPECT_EQ(systemd.receive(1000), "READY=1\nSTATUS=running");
    EXPECT_EQ(systemd.receive(1000).rfind("STOPPING=1\n", 0), 0u);
}

TEST(ServiceHost, FailedStartupExitsWithFailureAndLogsTheReason) {
    test::TempDir dir;
    InitLog(dir.path(), "gate");
    test::NotifySocket systemd(dir.file("notify"));
    FakeService service;
    service.startupSucceeds = false;
    EXPECT_EQ(RunServiceHost(service), 1);
    EXPECT_EQ(service.calls, (std::vector<std::string>{"startup", "stop"}));
    EXPECT_EQ(systemd.receive(1000), "STATUS=starting");
    EXPECT_EQ(systemd.receive(1000), "STATUS=startup failed: port 8443 is taken");
    std::string log;
    static_cast<void>(ReadFileText(dir.file("gate.log"), log));
    EXPECT_NE(log.find("[ERROR] service startup failed: port 8443 is taken\n"), std::string::npos);
}

TEST(SystemdNotify, NeedsASocketToTalkTo) {
    ::unsetenv("NOTIFY_SOCKET");
    EXPECT_FALSE(NotifySystemd("READY=1"));
    ::setenv("NOTIFY_SOCKET", "relative/path", 1);
    EXPECT_FALSE(NotifySystemd("READY=1"));
    ::unsetenv("NOTIFY_SOCKET");
}

}  // namespace
}  // namespace vel::admin
