// `velmora --service` as systemd runs it: readiness and stopping over the notify socket, and a
// failed startup's exit status, on which systemd restarts it.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>

#include "gate/service_runtime.h"
#include "os/files.h"
#include "os/paths.h"
#include "support/background_process.h"
#include "support/gate_process.h"
#include "support/http_client.h"
#include "support/notify_socket.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace vel {
namespace {

using namespace std::chrono_literals;

class ServiceRole : public ::testing::Test {
  protected:
    void SetUp() override {
        if (test::VelmoraBinary().empty()) GTEST_SKIP() << "VELMORA_BINARY is not set";
        ASSERT_TRUE(EnsureDirectory(data_));
    }
    void start(const std::string& gateJson) {
        ASSERT_TRUE(WriteFileAtomic(JoinPath(data_, "gate.json"), gateJson));
        ASSERT_TRUE(service_.start({test::VelmoraBinary(), "--service"},
                                   {"PROGRAMDATA=" + dir_.path(), "INVOCATION_ID=0123456789abcdef",
                                    "NOTIFY_SOCKET=" + systemd_.path()}));
    }
    std::string log() const {
        std::string text;
        static_cast<void>(ReadFileText(JoinPath(data_, "gate.log"), text));
        return text;
    }

    test::TempDir dir_;
    std::string data_ = JoinPath(dir_.path(), "Velmora");
    test::NotifySocket systemd_{dir_.file("notify")};
    test::BackgroundProcess service_;
};

TEST_F(ServiceRole, ReportsReadyServesAndStopsOnSigterm) {
    const std::uint16_t port = test::FreeTcpPort();
    start(R"({"version":1,"config":{"listenPort":)" + std::to_string(port) + "}}");
    std::string message;
    for (int i = 0; i < 20 && message.find("READY=1") == std::string::npos; ++i)
        message = systemd_.receive(500);
    EXPECT_NE(message.find("READY=1"), std::string::npos) << message;
    EXPECT_EQ(test::HttpRequestTo("127.0.0.1", port, "POST", "/v1/hello", "").status, 200);
    gate::ServiceRuntime runtime;
    ASSERT_TRUE(gate::ReadServiceRuntime(data_, runtime));
    EXPECT_EQ(runtime.pid, service_.pid());
    EXPECT_EQ(runtime.executable, test::VelmoraBinary());

    ASSERT_EQ(::kill(service_.pid(), SIGTERM), 0);
    EXPECT_EQ(systemd_.receive(10000).rfind("STOPPING=1", 0), 0u);
    EXPECT_EQ(service_.waitForExit(30s), 0);
    EXPECT_NE(log().find("gate stopped"), std::string::npos) << log();
}

TEST_F(ServiceRole, FailedStartupExitsWithFailureForSystemdToRestart) {
    start("[not an object]");
    EXPECT_EQ(systemd_.receive(10000), "STATUS=starting");
    EXPECT_EQ(systemd_.receive(10000),
              "STATUS=startup failed: gate.json is corrupt or not an object");
    EXPECT_EQ(service_.waitForExit(30s), 1);
}

}  // namespace
}  // namespace vel
