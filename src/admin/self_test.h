#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace vel::admin {

// The passed and failed counters of one self-test run and the lines it prints.
class SelfTest {
  public:
    using Print = std::function<void(std::string_view)>;

    // invertedCheck, when not empty, names a check whose outcome is reported inverted: the seam
    // through which tests watch a failing run, since a healthy build has no failing check.
    explicit SelfTest(Print print, std::string invertedCheck = {});

    // Counts the outcome and prints "  [ ok ] " or "  [FAIL] " followed by the name.
    void check(bool outcome, std::string_view name);
    // An empty line and the title of the group that follows.
    void group(std::string_view title);
    // Any other line of output.
    void print(std::string_view line) const;

    int passed() const { return passed_; }
    int failed() const { return failed_; }

  private:
    Print print_;
    std::string invertedCheck_;
    int passed_ = 0;
    int failed_ = 0;
};

struct SelfTestOptions {
    SelfTest::Print print;
    // The folder under which the scratch folders "selftest-code" and "selftest" are made and
    // removed again; nothing else in it is touched.
    std::string workDirectory;
    std::string invertedCheck;  // see SelfTest
};

// The whole self-test: banner, the nine groups in order and the summary. Returns the exit code,
// 0 when every check passed, else 1.
int RunSelfTest(const SelfTestOptions& options);

// The groups, one per part of the gate they exercise.
void SelfTestEncoding(SelfTest& test);
void SelfTestJson(SelfTest& test);
void SelfTestCbor(SelfTest& test);
void SelfTestKeySerialization(SelfTest& test);
void SelfTestSecretComparison(SelfTest& test);
void SelfTestEnrollmentCode(SelfTest& test, const std::string& workDirectory);
void SelfTestFirewallAddressCheck(SelfTest& test);
void SelfTestCountryFilter(SelfTest& test, const std::string& workDirectory);
void SelfTestRegistration(SelfTest& test);

}  // namespace vel::admin
