#include "client/view_settings.h"

#include <gtest/gtest.h>

namespace vel::client {
namespace {

const std::string kPsk = "000102030405060708090a0b0c0d0e0f";

// Parses a view command line; the error when it is refused.
std::string refusal(std::vector<std::string> args) {
    args.insert(args.begin(), "view");
    ClientOptions options;
    ViewSettings settings;
    std::string error;
    if (!ParseClientOptions(args, options, error)) return error;
    if (!ParseViewSettings(options, settings, error)) return error;
    return "";
}

TEST(ViewSettings, ChecksEveryOptionAndNamesTheOneAtFault) {
    // Typed text, clicks and frame counts are seen end to end by the headless viewer's test.
    const std::vector<std::string> args = {
        "view",   "--psk", kPsk,       "--dial",    "127.0.0.1",
        "--bias", "150",   "--manual", "--emulate", "loss=5,rate=2000000,delay=5"};
    ClientOptions options;
    std::string error;
    ASSERT_TRUE(ParseClientOptions(args, options, error)) << error;
    ViewSettings settings;
    ASSERT_TRUE(ParseViewSettings(options, settings, error)) << error;
    ASSERT_EQ(settings.candidates.size(), 1u);
    EXPECT_EQ(stream::toString(settings.candidates[0]), "127.0.0.1:7441");
    ASSERT_TRUE(settings.quality);
    EXPECT_EQ(settings.quality->bias, 100);
    EXPECT_FALSE(settings.quality->automatic);
    EXPECT_DOUBLE_EQ(settings.emulation.loss, 0.05);
    EXPECT_EQ(settings.emulation.rateLimit, 2000000u);

    EXPECT_EQ(refusal({"--listen", "7441", "--headless"}),
              "view needs --psk HEX, the development secret the host was started with");
    EXPECT_EQ(refusal({"--psk", "00ff", "--listen", "7441", "--headless"}),
              "--psk must be at least 32 hex characters");
    EXPECT_EQ(refusal({"--psk", kPsk, "--headless"}),
              "view needs exactly one of --listen PORT and --dial HOST:PORT");
    EXPECT_EQ(refusal({"--psk", kPsk, "--listen", "1", "--dial", "h", "--headless"}),
              "view needs exactly one of --listen PORT and --dial HOST:PORT");
    EXPECT_EQ(refusal({"--psk", kPsk, "--listen", "65536", "--headless"}),
              "--listen wants a UDP port from 1 to 65535");
    EXPECT_EQ(refusal({"--psk", kPsk, "--listen", "7441"}), "");
    EXPECT_EQ(refusal({"--psk", kPsk, "--listen", "7441", "--type", "x"}),
              "--frames, --out, --type, --click and --timeout are for --headless runs");
    EXPECT_EQ(refusal({"--psk", kPsk, "--listen", "7441", "--device", "/dev/hidraw0"}),
              "view --psk does not take --device");
    EXPECT_EQ(refusal({"--psk", kPsk, "--listen", "7441", "--headless", "--frames", "0"}),
              "--frames wants a number from 1 to 1000000");
    EXPECT_EQ(refusal({"--psk", kPsk, "--listen", "7441", "--headless", "--out", "x"}),
              "--out needs --frames: the file holds that many frames");
    EXPECT_EQ(refusal({"--psk", kPsk, "--listen", "7441", "--headless", "--type", "caf\xc3\xa9"}),
              "--type: no key types '\\xC3'");
    EXPECT_EQ(refusal({"--psk", kPsk, "--listen", "7441", "--headless", "--click", "10;20"}),
              "--click wants X,Y in the host's screen pixels, not '10;20'");
}

}  // namespace
}  // namespace vel::client
