// The gate against an authenticator written by someone else: headless Chromium's virtual
// security key, driven through the browser's own WebAuthn API.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "gate/gate_store.h"
#include "os/files.h"
#include "os/paths.h"
#include "support/gate_process.h"
#include "support/process.h"

namespace vel {
namespace {

std::string FromEnvironment(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

// Why the browser cannot run here, or empty when it can.
std::string MissingPiece(const std::string& node, const std::string& chromium) {
    if (test::VelmoraBinary().empty()) return "VELMORA_BINARY is not set";
    if (::geteuid() != 0) return "velmora run needs root";
    if (::access(node.c_str(), X_OK) != 0) return node + " is missing (Debian package nodejs)";
    if (::access(chromium.c_str(), X_OK) != 0)
        return chromium + " is missing (Debian package chromium)";
    if (!FileExists(JoinPath(VELMORA_BROWSER_DIR, "node_modules/playwright-core/package.json"))) {
        return "playwright-core is not installed (npm ci in tests/browser)";
    }
    return {};
}

// The last line a process printed: the script ends its output with the gate's final answer.
std::string LastLine(const std::string& output) {
    std::string text = output;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    const std::size_t start = text.rfind('\n');
    return start == std::string::npos ? text : text.substr(start + 1);
}

TEST(BrowserWebAuthn, ChromiumVirtualKeyEnrollsAndOpensThePort) {
    const std::string node = FromEnvironment("VELMORA_NODE", "/usr/bin/node");
    const std::string chromium = FromEnvironment("VELMORA_CHROMIUM", "/usr/bin/chromium");
    const std::string missing = MissingPiece(node, chromium);
    if (!missing.empty()) GTEST_SKIP() << missing;

    test::GateProcess gate;
    std::string output;
    ASSERT_TRUE(gate.start(output)) << output << gate.log();
    const std::string storePath = JoinPath(gate.dataDirectory(), "gate.json");
    std::string code, error;
    {
        gate::GateStore store;
        ASSERT_TRUE(store.load(storePath, error)) << error;
        code = store.issueEnrollmentCode(900, error);
        ASSERT_FALSE(code.empty()) << error;
    }

    const test::ProcessResult run =
        test::RunProcess({node, JoinPath(VELMORA_BROWSER_DIR, "webauthn_ceremony.js"),
                          std::to_string(gate.port()), code},
                         {"VELMORA_CHROMIUM=" + chromium});
    ASSERT_EQ(run.exitCode, 0) << run.output << gate.log();

    JsonValue granted;
    ASSERT_TRUE(JsonParse(LastLine(run.output), granted)) << run.output;
    EXPECT_EQ(granted.get("clientIp").asString(), "127.0.0.1");
    EXPECT_GT(granted.get("expiresAt").asInt(), 0);
    EXPECT_EQ(granted.get("replayStatus").asInt(), 403);
    EXPECT_EQ(granted.get("replayError").asString(), "challenge_expired");

    // The browser's key is stored with its counter as of the assertion, and the grant reached the
    // firewall.
    gate::GateStore store;
    ASSERT_TRUE(store.load(storePath, error)) << error;
    const auto credentials = store.credentials();
    ASSERT_EQ(credentials.size(), 1u);
    EXPECT_EQ(credentials[0].label, "Chromium virtual key");
    EXPECT_EQ(credentials[0].useCount, 2);
    EXPECT_EQ(std::int64_t(credentials[0].signCount), granted.get("browserSignCount").asInt());
    std::string rules;
    ASSERT_TRUE(ReadFileText(JoinPath(gate.dataDirectory(), "firewall.json"), rules));
    EXPECT_NE(rules.find("\"127.0.0.1/32\""), std::string::npos) << rules;
}

}  // namespace
}  // namespace vel
