#pragma once

// A machine with the gate installed as setup installs it: a network namespace plays the machine,
// with nftables enforcing the gate's rules, and the stand-in systemd runs its service there.
// Users sit in namespaces of their own and run velmora-client-softkey, the client library with a
// CTAP2 authenticator behind libfido2 whose state is a file.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "core/json.h"
#include "os/files.h"
#include "os/paths.h"
#include "support/gate_requests.h"
#include "support/http_client.h"
#include "support/process.h"
#include "support/stand_in_systemd.h"
#include "support/temp_dir.h"
#include "support/test_network.h"
#include "support/wait_until.h"

namespace vel::test {

inline constexpr std::uint16_t kInstalledGatePort = 7440;

inline bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The text after label up to the end of its line.
inline std::string LineAfter(const std::string& text, const std::string& label) {
    const std::size_t at = text.find(label);
    if (at == std::string::npos) return {};
    const std::size_t start = at + label.size();
    return text.substr(start, text.find('\n', start) - start);
}

class InstalledGateTest : public ::testing::Test {
  protected:
    explicit InstalledGateTest(std::vector<std::string> subnets) : net_(std::move(subnets)) {}

    void SetUp() override {
        if (VelmoraBinary().empty()) GTEST_SKIP() << "VELMORA_BINARY is not set";
        if (const std::string why = PrepareEnforcingNetwork(net_); !why.empty()) {
            GTEST_SKIP() << why;
        }
        systemd_.addUnit("xrdp.service", true, false);
    }

    std::string dataDirectory() const { return JoinPath(programData_.path(), "Velmora"); }
    std::string gateLog() const {
        std::string text;
        static_cast<void>(ReadFileText(JoinPath(dataDirectory(), "gate.log"), text));
        return text;
    }
    // A gate.json with these keys enrolled, written before setup runs.
    void writeGateJson(const JsonValue& credentials,
                       const JsonValue& config = JsonValue::object()) const {
        ASSERT_TRUE(EnsureDirectory(dataDirectory()));
        ASSERT_TRUE(WriteFileAtomic(
            JoinPath(dataDirectory(), "gate.json"),
            JsonDump(
                JsonObject({{"version", 1}, {"config", config}, {"credentials", credentials}}))));
    }

    // A command run on the machine, with systemd and the data directory of this test.
    ProcessResult onMachine(const std::vector<std::string>& argv,
                            const std::vector<std::string>& extraEnv = {}) const {
        std::vector<std::string> env = systemd_.environment();
        env.push_back("PROGRAMDATA=" + programData_.path());
        env.push_back("INVOCATION_ID=");
        env.insert(env.end(), extraEnv.begin(), extraEnv.end());
        return net_.run(net_.machine(), argv, env);
    }
    ProcessResult velmora(std::vector<std::string> args,
                          const std::vector<std::string>& extraEnv = {}) const {
        args.insert(args.begin(), VelmoraBinary());
        return onMachine(args, extraEnv);
    }

    // One request to the gate, over HTTPS from a client's namespace.
    HttpReply post(const std::string& path, const JsonValue& body, std::size_t client = 0) const {
        HttpReply reply;
        TestNetwork::RunIn(net_.client(client), [&] {
            reply = HttpsRequestTo(net_.machineAddress(client), kInstalledGatePort, "POST", path,
                                   JsonDump(body));
        });
        return reply;
    }
    [[nodiscard]] bool gateAnswers() const {
        return WaitUntil([this] { return post("/v1/hello", JsonValue::object()).status == 200; },
                         std::chrono::seconds(10));
    }
    // Installs the gate and waits for it; the SHA-256 fingerprint of its certificate.
    std::string setUpGate(std::vector<std::string> options = {},
                          const std::vector<std::string>& extraEnv = {}) {
        options.insert(options.begin(), "setup");
        const ProcessResult setup = velmora(options, extraEnv);
        EXPECT_EQ(setup.exitCode, 0) << setup.output;
        EXPECT_TRUE(gateAnswers()) << systemd_.serviceOutput() << gateLog();
        return LineAfter(setup.output, "SHA-256 fingerprint: ");
    }
    std::string issueCode() const {
        const ProcessResult issued = velmora({"code"});
        EXPECT_EQ(issued.exitCode, 0) << issued.output;
        return LineAfter(issued.output, "  Enrollment code: ").substr(0, 14);
    }

    std::string gate() const { return net_.machineAddress(0); }
    // velmora-client-softkey in the first client's namespace, with the software key whose state
    // is in keyFile and this test's configuration folder.
    std::vector<std::string> clientArgs(const std::vector<std::string>& args) const {
        std::vector<std::string> argv = net_.execIn(net_.client(0));
        argv.push_back(VELMORA_SOFTKEY_CLIENT);
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }
    std::vector<std::string> clientEnv(const std::string& keyFile) const {
        return {"VELMORA_TEST_KEY=" + keyFile, "XDG_CONFIG_HOME=" + home_.file("config"),
                "PATH=/usr/bin:/bin"};
    }
    ProcessResult client(const std::vector<std::string>& args, const std::string& keyFile) const {
        return RunProcess(clientArgs(args), clientEnv(keyFile));
    }
    // A fresh software key for velmora-client, without a PIN.
    std::string newKey(const std::string& name) const {
        const std::string path = home_.file(name + ".json");
        EXPECT_TRUE(WriteFileAtomic(path, R"({"pin":""})"));
        return path;
    }

    // Destroyed in reverse: what a test adds, then the gate the stand-in started, then the data
    // directories, then the namespaces.
    TestNetwork net_;
    TempDir programData_;
    TempDir home_;
    StandInSystemd systemd_;
};

}  // namespace vel::test
