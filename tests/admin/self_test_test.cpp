#include "admin/self_test.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <vector>

#include "os/files.h"
#include "support/temp_dir.h"

namespace vel::admin {
namespace {

struct RunOutput {
    int exitCode = -1;
    std::vector<std::string> lines;
};

RunOutput runSelfTest(const std::string& workDirectory, const std::string& invertedCheck = {}) {
    RunOutput run;
    SelfTestOptions options;
    options.print = [&run](std::string_view line) { run.lines.emplace_back(line); };
    options.workDirectory = workDirectory;
    options.invertedCheck = invertedCheck;
    run.exitCode = RunSelfTest(options);
    return run;
}

std::string joined(const std::vector<std::string>& lines) {
    std::ostringstream out;
    for (const std::string& line : lines) out << line << "\n";
    return out.str();
}

// The titles and the check names administrators and scripts read, in the order they appear.
const std::vector<std::string> kFixedLines = {
    "Velmora self-test",
    "=======================",
    "Encoding",
    "  [ ok ] base64 round-trip",
    "  [ ok ] base64url round-trip",
    "  [ ok ] base64url uses the URL alphabet without padding",
    "  [ ok ] base64url rejects invalid characters",
    "  [ ok ] hex round-trip",
    "  [ ok ] hex rejects an odd digit count",
    "  [ ok ] empty input encodes to an empty string",
    "JSON",
    "  [ ok ] round-trip parses",
    "  [ ok ] strings survive escaping",
    "  [ ok ] negative integers survive",
    "  [ ok ] booleans survive",
    "  [ ok ] arrays survive",
    "  [ ok ] a missing key reads as null",
    "  [ ok ] truncated input is rejected",
    "  [ ok ] trailing content is rejected",
    "  [ ok ] surrogate pairs decode to 4-byte UTF-8",
    "CBOR",
    "  [ ok ] COSE EC2 key decodes",
    "  [ ok ] algorithm and curve are read",
    "  [ ok ] the coordinates are read",
    "  [ ok ] the decoder reports the exact consumed length",
    "  [ ok ] a truncated item is rejected",
    "  [ ok ] a non-map COSE key is rejected",
    "Key serialization",
    "  [ ok ] an EC key round-trips through the store",
    "  [ ok ] every field survives",
    "Secret comparison",
    "  [ ok ] identical buffers are equal",
    "  [ ok ] a difference in the last byte is detected",
    "  [ ok ] a difference in the first byte is detected",
    "  [ ok ] different lengths are not equal",
    "Enrollment code",
    "  [ ok ] the code is normalized (case, separators)",
    "  [ ok ] an empty code stays empty",
    "  [ ok ] the service loaded the store",
    "  [ ok ] no code exists yet",
    "  [ ok ] the command line loaded the store",
    "  [ ok ] a code is issued",
    "  [ ok ] the service sees a code issued after it started",
    "  [ ok ] the service sees the code is active",
    "  [ ok ] a wrong code is rejected",
    "  [ ok ] the code is accepted in lower case",
    "  [ ok ] the service wrote a key to gate.json",
    "  [ ok ] the service recorded a key use",
    "  [ ok ] the code SURVIVED the service rewriting gate.json",
    "  [ ok ] the code is consumed",
    "  [ ok ] the same code is not accepted twice",
    "  [ ok ] no code is active after consumption",
    "  [ ok ] consumption is visible to the other process too",
    "  [ ok ] an already-expired code is issued",
    "  [ ok ] an expired code is rejected",
    "Firewall address check",
    "  [ ok ] IPv4 is accepted",
    "  [ ok ] IPv6 is accepted",
    "  [ ok ] an address list is rejected",
    "  [ ok ] a wildcard is rejected",
    "  [ ok ] a subnet mask is rejected",
    "  [ ok ] an empty string is rejected",
    "  [ ok ] a hostname is rejected",
    "Country filter",
    "  [ ok ] IPv4 parses",
    "  [ ok ] IPv6 parses",
    "  [ ok ] garbage is rejected",
    "  [ ok ] an IPv4-mapped address folds to IPv4",
    "  [ ok ] private ranges are recognized (14 cases)",
    "  [ ok ] the country list parses and is uppercased",
    "  [ ok ] a three-letter code is rejected",
    "  [ ok ] a code with a digit is rejected",
    "  [ ok ] the test stats file is written",
    "  [ ok ] the RIR format imports",
    "  [ ok ] exactly 4 ranges parsed, service lines skipped",
    "  [ ok ] the table is saved",
    "  [ ok ] the table reads back without loss",
    "  [ ok ] the filter is enabled and the table is loaded",
    "  [ ok ] an empty list means the filter is off",
    "Registration and assertion",
    "  [ ok ] attestationObject parses",
    "  [ ok ] authenticatorData parses",
    "  [ ok ] the credential id is extracted",
    "  [ ok ] the public key matches the generated one",
    "  [ ok ] the UP and UV flags are read",
    "  [ ok ] the rpId hash matches",
    "  [ ok ] a valid DER signature is accepted",
    "  [ ok ] a raw r||s signature is accepted too",
    "  [ ok ] a tampered signature is rejected",
    "  [ ok ] a tampered message is rejected",
    "  [ ok ] the signature fails with a different key",
    "  [ ok ] an empty signature is rejected",
    "  [ ok ] clientDataJSON passes the check",
    "  [ ok ] a foreign challenge is rejected",
    "  [ ok ] a foreign origin is rejected",
    "  [ ok ] authData from a foreign rpId differs in hash",
    "  [ ok ] the registration counter is read",
    "  [ ok ] the assertion counter is read",
    "  [ ok ] the counter increased - no replay detected",
    "  [ ok ] a truncated authenticatorData is rejected",
    "  [ ok ] trailing bytes are rejected",
    "  [ ok ] an overstated credential id length is rejected",
};

TEST(SelfTest, EveryCheckPassesHereInItsGroupAndTheScratchFoldersAreGone) {
    test::TempDir work;
    const RunOutput run = runSelfTest(work.path());
    const std::string output = joined(run.lines);
    EXPECT_EQ(run.exitCode, 0) << output;
    EXPECT_EQ(output.find("[FAIL]"), std::string::npos) << output;

    ASSERT_GE(run.lines.size(), 3u);
    EXPECT_EQ(run.lines[0], "");
    std::size_t next = 0;
    for (const std::string& expected : kFixedLines) {
        while (next < run.lines.size() && run.lines[next] != expected) ++next;
        ASSERT_LT(next, run.lines.size()) << "missing or out of order: " << expected << "\n"
                                          << output;
    }
    // Every group is introduced by an empty line.
    for (std::size_t i = 3; i < run.lines.size(); ++i) {
        if (run.lines[i].rfind("  ", 0) != 0 && !run.lines[i].empty()) {
            EXPECT_EQ(run.lines[i - 1], "") << run.lines[i];
        }
    }
    int checks = 0;
    for (const std::string& line : run.lines) checks += line.rfind("  [ ok ] ", 0) == 0;
    EXPECT_EQ(run.lines[run.lines.size() - 2], "");
    EXPECT_EQ(run.lines.back(), "Passed: " + std::to_string(checks) + ", failed: 0");

    EXPECT_TRUE(std::filesystem::is_empty(work.path())) << "scratch folders were left behind";
}

TEST(SelfTest, OneFailingCheckMakesTheRunFailAndIsCountedOnce) {
    test::TempDir work;
    const RunOutput healthy = runSelfTest(work.path());
    const RunOutput broken =
        runSelfTest(work.path(), "the code SURVIVED the service rewriting gate.json");
    const std::string output = joined(broken.lines);
    EXPECT_EQ(broken.exitCode, 1) << output;
    EXPECT_NE(output.find("  [FAIL] the code SURVIVED the service rewriting gate.json\n"),
              std::string::npos)
        << output;
    // The run went on past the failure.
    EXPECT_NE(output.find("  [ ok ] the code is consumed\n"), std::string::npos) << output;
    const int total = static_cast<int>(
        std::count_if(healthy.lines.begin(), healthy.lines.end(),
                      [](const std::string& line) { return line.rfind("  [ ok ] ", 0) == 0; }));
    EXPECT_EQ(broken.lines.back(), "Passed: " + std::to_string(total - 1) + ", failed: 1");
    EXPECT_TRUE(std::filesystem::is_empty(work.path()));
}

TEST(SelfTest, AGroupWithoutItsFolderFailsAndTheRunGoesOn) {
    test::TempDir work;
    // A file where the scratch folders should go.
    ASSERT_TRUE(WriteFileAtomic(work.file("blocked"), "not a folder"));
    const RunOutput run = runSelfTest(work.file("blocked"));
    const std::string output = joined(run.lines);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(output.find("  [FAIL] the service loaded the store\n"), std::string::npos) << output;
    EXPECT_NE(output.find("  [FAIL] the test stats file is written\n"), std::string::npos)
        << output;
    EXPECT_NE(output.find("  [ ok ] an overstated credential id length is rejected\n"),
              std::string::npos)
        << output;
}

}  // namespace
}  // namespace vel::admin
