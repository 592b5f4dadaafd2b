// `velmora --service` as systemd runs it: readiness over the notify socket, SIGTERM to stop.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/json.h"
#include "gate/service_runtime.h"
#include "os/files.h"
#include "os/paths.h"
#include "support/gate_process.h"
#include "support/http_client.h"
#include "support/notify_socket.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace vel {
namespace {

pid_t spawnService(const std::string& programData, const std::string& notifySocket) {
    std::vector<std::string> env = test::MergedEnvironment(
        {"PROGRAMDATA=" + programData, "INVOCATION_ID=0123456789abcdef", "NOTIFY_SOCKET=" + notifySocket});
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string binary = test::VelmoraBinary();
    std::string role = "--service";
    char* argv[] = {binary.data(), role.data(), nullptr};
    pid_t pid = -1;
    return ::posix_spawn(&pid, binary.c_str(), nullptr, nullptr, argv, envp.data()) == 0 ? pid : -1;
}

TEST(ServiceRole, ReportsReadyServesAndStopsOnSigterm) {
    if (test::VelmoraBinary().empty()) GTEST_SKIP() << "VELMORA_BINARY is not set";
    test::TempDir dir;
    const std::string data = JoinPath(dir.path(), "Velmora");
    ASSERT_TRUE(EnsureDirectory(data));
    const std::uint16_t port = test::FreeTcpPort();
    ASSERT_TRUE(WriteFileAtomic(JoinPath(data, "gate.json"),
                                R"({"version":1,"config":{"listenPort":)" + std::to_string(port) + "}}"));
    test::NotifySocket systemd(dir.file("notify"));

    const pid_t pid = spawnService(dir.path(), systemd.path());
    ASSERT_GT(pid, 0);
    std::string message;
    for (int i = 0; i < 20 && message.find("READY=1") == std::string::npos; ++i) message = systemd.receive(500);
    EXPECT_NE(message.find("READY=1"), std::string::npos) << message;
    EXPECT_EQ(test::HttpRequestTo("127.0.0.1", port, "POST", "/v1/hello", "").status, 200);

    gate::ServiceRuntime runtime;
    ASSERT_TRUE(gate::ReadServiceRuntime(data, runtime));
    EXPECT_EQ(runtime.pid, pid);
    EXPECT_EQ(runtime.executable, test::VelmoraBinary());

    ::kill(pid, SIGTERM);
    EXPECT_EQ(systemd.receive(10000).rfind("STOPPING=1", 0), 0u);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::string log;
    static_cast<void>(ReadFileText(JoinPath(data, "gate.log"), log));
    EXPECT_NE(log.find("gate stopped"), std::string::npos) << log;
}

TEST(ServiceRole, FailedStartupExitsWithFailureForSystemdToRestart) {
    if (test::VelmoraBinary().empty()) GTEST_SKIP() << "VELMORA_BINARY is not set";
    test::TempDir dir;
    const std::string data = JoinPath(dir.path(), "Velmora");
    ASSERT_TRUE(EnsureDirectory(data));
    ASSERT_TRUE(WriteFileAtomic(JoinPath(data, "gate.json"), "[not an object]"));
    test::NotifySocket systemd(dir.file("notify"));
    const pid_t pid = spawnService(dir.path(), systemd.path());
    ASSERT_GT(pid, 0);
    EXPECT_EQ(systemd.receive(10000), "STATUS=starting");
    EXPECT_EQ(systemd.receive(10000),
              "STATUS=startup failed: gate.json is corrupt or not an object");
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    std::string log;
    static_cast<void>(ReadFileText(JoinPath(data, "gate.log"), log));
    EXPECT_NE(log.find("service startup failed: gate.json is corrupt or not an object"), std::string::npos) << log;
    // The unreadable configuration is left exactly as it was.
    std::string text;
    static_cast<void>(ReadFileText(JoinPath(data, "gate.json"), text));
    EXPECT_EQ(text, "[not an object]");
}

}  // namespace
}  // namespace vel
