#include "client/client_options.h"

#include <gtest/gtest.h>

#include "client/gate_address.h"
#include "client/gate_errors.h"

namespace vel::client {
namespace {

TEST(ClientOptions, EachCommandTakesItsOwnOperandsAndOptions) {
    ClientOptions options;
    std::string error;
    ASSERT_TRUE(ParseClientOptions(
        {"enroll", "pc:7000", "ABCD-EFGH", "--label", "my key", "--accept-new-certificate"},
        options, error))
        << error;
    EXPECT_EQ(options.operands, (std::vector<std::string>{"pc:7000", "ABCD-EFGH"}));
    EXPECT_EQ(options.label, "my key");
    EXPECT_TRUE(options.acceptNewCertificate);

    ASSERT_TRUE(ParseClientOptions({"connect", "pc", "--rdp-command", "remmina"}, options, error));
    EXPECT_EQ(options.rdpCommand, "remmina");
    ASSERT_TRUE(ParseClientOptions({}, options, error));
    EXPECT_EQ(options.command, "help");

    EXPECT_FALSE(ParseClientOptions({"connect", "pc", "--label", "x"}, options, error));
    EXPECT_EQ(error, "'connect' does not take --label");
    EXPECT_FALSE(ParseClientOptions({"enroll", "pc"}, options, error));
    EXPECT_EQ(error, "usage: velmora-client enroll HOST[:PORT] CODE");
    EXPECT_FALSE(ParseClientOptions({"connect", "pc", "--device"}, options, error));
    EXPECT_EQ(error, "--device needs a value");
    EXPECT_FALSE(
        ParseClientOptions({"connect", "pc", "--no-rdp", "--rdp-command", "x"}, options, error));
    EXPECT_FALSE(ParseClientOptions({"open", "pc"}, options, error));
    EXPECT_FALSE(ParseClientOptions({"revoke", "pc", "--fingerprint", "AB:CD"}, options, error));
    EXPECT_EQ(error, "--fingerprint wants the 64 hex digits of a SHA-256 fingerprint");

    // view names a gate, or meets a development host with --psk; each takes its own options.
    ASSERT_TRUE(ParseClientOptions({"view", "pc", "--fullscreen", "--bias", "20", "--device", "d"},
                                   options, error))
        << error;
    EXPECT_TRUE(options.fullscreen);
    EXPECT_EQ(options.operands, (std::vector<std::string>{"pc"}));
    EXPECT_FALSE(ParseClientOptions({"view"}, options, error));
    EXPECT_EQ(error, "usage: velmora-client view HOST[:PORT]");
    EXPECT_FALSE(ParseClientOptions({"view", "pc", "--headless"}, options, error));
    EXPECT_EQ(error, "view HOST does not take --headless");
    EXPECT_FALSE(ParseClientOptions({"view", "pc", "--psk", "00"}, options, error));
}

TEST(GateAddress, HostsPortsAndBrackets) {
    GateAddress address;
    std::string error;
    ASSERT_TRUE(ParseGateAddress("pc.example", address, error));
    EXPECT_EQ(address.text(), "pc.example:7440");
    ASSERT_TRUE(ParseGateAddress("10.0.0.5:8443", address, error));
    EXPECT_EQ(address.host, "10.0.0.5");
    EXPECT_EQ(address.port, 8443);
    ASSERT_TRUE(ParseGateAddress("[2001:db8::1]:9000", address, error));
    EXPECT_EQ(address.host, "2001:db8::1");
    EXPECT_EQ(address.text(), "[2001:db8::1]:9000");
    ASSERT_TRUE(ParseGateAddress("2001:db8::1", address, error));
    EXPECT_EQ(address.port, kDefaultGatePort);
    for (const char* bad : {"", "pc:", "pc:0", "pc:65536", "pc:80x", "[::1", "[::1]x", ":7440"}) {
        EXPECT_FALSE(ParseGateAddress(bad, address, error)) << bad;
    }
}

}  // namespace
}  // namespace vel::client
