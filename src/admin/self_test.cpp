#include "admin/self_test.h"

#include <cstdio>
#include <exception>

namespace vel::admin {

SelfTest::SelfTest(Print print, std::string invertedCheck)
    : print_(std::move(print)), invertedCheck_(std::move(invertedCheck)) {}

void SelfTest::check(bool outcome, std::string_view name) {
    if (!invertedCheck_.empty() && name == invertedCheck_) outcome = !outcome;
    if (outcome) {
        ++passed_;
        print_("  [ ok ] " + std::string(name));
    } else {
        ++failed_;
        print_("  [FAIL] " + std::string(name));
    }
}

void SelfTest::group(std::string_view title) {
    print_("");
    print_(title);
}

void SelfTest::print(std::string_view line) const {
    print_(line);
}

namespace {

// A group that throws (a failing random generator, say) reports that as its own failed check;
// the run goes on with the next group.
template <typename Group>
void runGroup(SelfTest& test, Group&& group) {
    try {
        group();
    } catch (const std::exception& e) {
        test.check(false, std::string("unexpected error: ") + e.what());
    }
}

}  // namespace

int RunSelfTest(const SelfTestOptions& options) {
    SelfTest test(options.print, options.invertedCheck);
    test.print("");
    test.print("Velmora self-test");
    test.print("=======================");
    runGroup(test, [&] { SelfTestEncoding(test); });
    runGroup(test, [&] { SelfTestJson(test); });
    runGroup(test, [&] { SelfTestCbor(test); });
    runGroup(test, [&] { SelfTestKeySerialization(test); });
    runGroup(test, [&] { SelfTestSecretComparison(test); });
    runGroup(test, [&] { SelfTestEnrollmentCode(test, options.workDirectory); });
    runGroup(test, [&] { SelfTestFirewallAddressCheck(test); });
    runGroup(test, [&] { SelfTestCountryFilter(test, options.workDirectory); });
    runGroup(test, [&] { SelfTestRegistration(test); });
    char summary[64];
    std::snprintf(summary, sizeof summary, "Passed: %d, failed: %d", test.passed(), test.failed());
    test.print("");
    test.print(summary);
    return test.failed() == 0 ? 0 : 1;
}

}  // namespace vel::admin
