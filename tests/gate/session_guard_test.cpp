#include "gate/session_guard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <regex>
#include <thread>

#include "core/time.h"
#include "firewall/firewall.h"
#include "os/files.h"
#include "os/log.h"
#include "os/paths.h"
#include "support/firewall_rules.h"
#include "support/manual_clock.h"
#include "support/memory_firewall_store.h"
#include "support/temp_dir.h"

namespace vel::gate {

using firewall::FirewallPolicy;
using firewall::FirewallProfile;
using firewall::FirewallRule;
using firewall::FirewallStore;
using firewall::kBuiltInRemoteDesktopRuleName;
using firewall::kGrantGroup;
using firewall::kProtocolTcp;
using firewall::kServiceRuleName;

namespace {

using namespace std::chrono_literals;

constexpr std::int64_t kT0 = test::ManualClock::kStart;
constexpr const char* kNftFailure = "nft failed: Error: Could not process rule";

// Waits, generously, for something the worker does on its own schedule.
template <typename Predicate>
bool eventually(Predicate predicate) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// Passes calls to a memory store, except that it can hold changes, like a firewall service that
// stops answering. Reads pass, so that the idle worker's maintenance of a clean policy is never the
// call that gets stuck.
class HoldingStore final : public FirewallStore {
  public:
    explicit HoldingStore(FirewallStore& inner) : inner_(inner) {}

    bool read(const PolicyVisit& visit, std::string& error) override {
        return inner_.read(visit, error);
    }
    bool update(const PolicyChange& change, std::string& error) override {
        {
            std::unique_lock lock(mutex_);
            ++waiting_;
            changed_.notify_all();
            changed_.wait(lock, [this] { return !held_; });
            --waiting_;
        }
        return inner_.update(change, error);
    }

    void hold(bool held) {
        std::lock_guard lock(mutex_);
        held_ = held;
        changed_.notify_all();
    }
    // Returns once a change is stuck in the store.
    void waitForHeldCall() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return waiting_ > 0; });
    }

  private:
    FirewallStore& inner_;
    std::mutex mutex_;
    std::condition_variable changed_;  // with mutex_
    bool held_ = false;                // guarded by mutex_
    int waiting_ = 0;                  // guarded by mutex_
};

// Stands in for the RDP server's TCP table: the test says which client is connected.
class FakeTcpTable final : public TcpTable {
  public:
    std::vector<TcpRow> rows() const override {
        std::lock_guard lock(mutex_);
        return rows_;
    }
    void connect(const net::IpAddress& client, std::uint16_t port) {
        std::lock_guard lock(mutex_);
        rows_.push_back(TcpRow{{}, port, client, 50000, kTcpEstablished});
    }
    void disconnect() {
        std::lock_guard lock(mutex_);
        rows_.clear();
    }

  private:
    mutable std::mutex mutex_;
    std::vector<TcpRow> rows_;  // guarded by mutex_
};

// The gate's configuration as the guard reads it, changed by the test at will.
class FakePolicy final : public GuardPolicySource {
  public:
    GuardPolicy guardPolicy() const override {
        std::lock_guard lock(mutex_);
        return policy_;
    }
    bool keysEnrolled() const override { return keys_; }
    void change(const std::function<void(GuardPolicy&)>& edit) {
        std::lock_guard lock(mutex_);
        edit(policy_);
    }
    void enrollKey() { keys_ = true; }

  private:
    mutable std::mutex mutex_;
    GuardPolicy policy_;  // guarded by mutex_
    std::atomic<bool> keys_{false};
};

net::IpAddress ip(const std::string& text) {
    net::IpAddress address;
    EXPECT_TRUE(net::parseIpAddress(text, address)) << text;
    return address;
}

class SessionGuardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        InitLog(dir_.path(), "gate");
        options_.clock = &clock_;
        options_.tcpTable = &tcp_;
        options_.worker.idleWait = 5ms;
    }

    SessionGuard& guard() {
        if (!guard_) {
            guard_ = std::make_unique<SessionGuard>(policy_, holding_, nft_, dir_.path(), options_);
        }
        return *guard_;
    }
    void start() {
        std::string error;
        ASSERT_TRUE(guard().start(error)) << error;
    }

    void changePolicy(const std::function<void(FirewallPolicy&)>& change) {
        firewall_.edit(change);
    }

    std::vector<FirewallRule> grantRules() const {
        std::vector<FirewallRule> rules;
        for (const FirewallRule& rule : firewall_.policy().rules) {
            if (rule.grouping == kGrantGroup) rules.push_back(rule);
        }
        return rules;
    }
    FirewallRule rule(const std::string& name) const {
        const FirewallPolicy policy = firewall_.policy();
        const FirewallRule* found = test::FindRule(policy.rules, name);
        EXPECT_NE(found, nullptr) << "no rule named " << name;
        return found != nullptr ? *found : FirewallRule{};
    }
    bool hasRule(const std::string& name) const {
        return test::FindRule(firewall_.policy().rules, name) != nullptr;
    }
    bool sessionSeen() {
        const GuardStatus status = guard().status();
        return !status.grants.empty() && status.grants[0].sessionSeen;
    }
    bool remoteDesktopEnabled() const { return rule(kBuiltInRemoteDesktopRuleName).enabled; }

    bool logged(const std::string& line) const {
        std::string text;
        static_cast<void>(ReadFileText(JoinPath(dir_.path(), "gate.log"), text));
        return text.find(line) != std::string::npos;
    }

    bool grant(const std::string& address, std::int64_t& expiresAt, std::string& error) {
        return guard().grant(ip(address), "key A", expiresAt, error);
    }
    bool grant(const std::string& address) {
        std::int64_t expiresAt = 0;
        std::string error;
        const bool granted = grant(address, expiresAt, error);
        EXPECT_TRUE(granted) << error;
        return granted;
    }

    test::TempDir dir_;
    FakePolicy policy_;
    test::ManualClock clock_;
    FakeTcpTable tcp_;
    test::MemoryFirewallStore firewall_;
    HoldingStore holding_{firewall_};
    test::RecordingNftRunner nft_;
    SessionGuardOptions options_;
    std::unique_ptr<SessionGuard> guard_;
};

TEST_F(SessionGuardTest, AGrantOpensTheRdpPortForOneAddressAndASecondOneReplacesIt) {
    changePolicy([](FirewallPolicy& policy) { policy.enforcement.enabled = true; });
    start();
    std::int64_t expiresAt = 0;
    std::string error;
    ASSERT_TRUE(grant("203.0.113.5", expiresAt, error)) << error;
    EXPECT_EQ(expiresAt, kT0 + 90);
    std::vector<FirewallRule> rules = grantRules();
    ASSERT_EQ(rules.size(), 1u);
    EXPECT_TRUE(std::regex_match(rules[0].name,
                                 std::regex(R"(Velmora - allow 203\.0\.113\.5 \[[0-9a-f]{8}\])")))
        << rules[0].name;
    EXPECT_EQ(rules[0].remoteAddresses, "203.0.113.5/32");
    EXPECT_EQ(rules[0].description,
              "Temporary RDP access for 203.0.113.5, authorised by FIDO key "
              "'key A'. Expires " +
                  FormatLocalTime(kT0 + 90) + ".");
    EXPECT_TRUE(logged("granted RDP access to 203.0.113.5 for 90s via key 'key A'"));
    // Another client learns that the port is open to someone else; the built-in rule is foreign.
    EXPECT_EQ(guard().exposure("198.51.100.7").otherGrants, 1u);
    EXPECT_EQ(guard().exposure("203.0.113.5").otherGrants, 0u);

    // A second grant for the address replaces the first in one write and restarts its lifetime.
    const int writes = firewall_.updates();
    clock_.wall = kT0 + 40;
    ASSERT_TRUE(grant("203.0.113.5", expiresAt, error)) << error;
    EXPECT_EQ(expiresAt, kT0 + 130);
    EXPECT_EQ(firewall_.updates() - writes, 1);
    EXPECT_EQ(grantRules().size(), 1u);

    // Unbound grants open the port to any address.
    policy_.change([](GuardPolicy& p) { p.bindGrantToSourceIp = false; });
    ASSERT_TRUE(grant("198.51.100.9", expiresAt, error)) << error;
    rules = grantRules();
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_TRUE(rules[0].remoteAddresses == "*" || rules[1].remoteAddresses == "*");
}

TEST_F(SessionGuardTest, AnEstablishedRdpConnectionKeepsItsGrantForAtMostADay) {
    start();
    ASSERT_TRUE(grant("127.0.0.1"));
    tcp_.connect(ip("127.0.0.1"), 3389);

    clock_.wall = kT0 + 90;
    ASSERT_TRUE(eventually([&] { return sessionSeen(); }));
    EXPECT_EQ(grantRules().size(), 1u);
    EXPECT_TRUE(logged("session with 127.0.0.1 is active - keeping the rule until it ends"));

    // However long the session lasts, the rule goes one day after it was granted.
    clock_.wall = kT0 + 86'400;
    ASSERT_TRUE(eventually([&] { return guard().status().grants.empty(); }));
    EXPECT_TRUE(grantRules().empty());
    EXPECT_TRUE(logged("session with 127.0.0.1 has lasted over a day; removing the rule anyway"));

    // A fresh grant lingers while the session lives and goes once it has closed.
    ASSERT_TRUE(grant("127.0.0.1"));
    clock_.wall = kT0 + 86'400 + 90;
    ASSERT_TRUE(eventually([&] { return sessionSeen(); }));
    tcp_.disconnect();
    clock_.wall = kT0 + 86'400 + 95;
    ASSERT_TRUE(eventually([&] { return grantRules().empty(); }));
    EXPECT_TRUE(logged("session with 127.0.0.1 ended - closing the port"));
}

TEST_F(SessionGuardTest, StreamRulesStayBoundToTheViewerAndStopRemovesEveryRule) {
    start();
    ASSERT_TRUE(grant("198.51.100.7"));
    std::string ruleName;
    std::string error;
    // Unbound grants do not widen a stream's port beyond its viewer.
    policy_.change([](GuardPolicy& p) { p.bindGrantToSourceIp = false; });
    ASSERT_TRUE(guard().addStreamRule(ip("203.0.113.5"), 7441, "key A", ruleName, error)) << error;
    const FirewallRule stream = rule(ruleName);
    EXPECT_EQ(stream.remoteAddresses, "203.0.113.5/32");
    EXPECT_EQ(stream.description,
              "Velstream (UDP 7441) for 203.0.113.5, authorised by FIDO key 'key A'. Removed when "
              "the session ends.");

    guard().stop();
    EXPECT_TRUE(grantRules().empty());
    EXPECT_FALSE(hasRule(ruleName));
    EXPECT_TRUE(guard().status().grants.empty());
    EXPECT_TRUE(hasRule(kServiceRuleName));
}

TEST_F(SessionGuardTest, ATaskLeftWaitingPastTheDeadlineNeverRuns) {
    options_.worker.responseTimeout = 500ms;
    // No maintenance pass: the held store call must be the first grant's, not a pass's.
    options_.worker.idleWait = std::chrono::hours(1);
    start();
    holding_.hold(true);
    std::int64_t expiresAt = 0;
    std::string error;
    // The first task is stuck inside the firewall; the second waits behind it and is given up.
    EXPECT_FALSE(grant("203.0.113.5", expiresAt, error));
    clock_.steady += 42'000;
    EXPECT_FALSE(grant("198.51.100.7", expiresAt, error));
    EXPECT_EQ(error,
              "the firewall worker did not respond in time (it has been inside one Windows "
              "Firewall call for 42s)");

    holding_.hold(false);
    ASSERT_TRUE(grant("192.0.2.9"));  // queued after the abandoned task, so that one is settled
    std::vector<std::string> addresses;
    for (const Grant& g : guard().status().grants) addresses.push_back(g.address);
    // The stuck task finished once the firewall answered; the abandoned one never ran.
    EXPECT_EQ(addresses, (std::vector<std::string>{"192.0.2.9", "203.0.113.5"}));
}

TEST_F(SessionGuardTest, TheWatchdogEndsAProcessStuckInOneFirewallCallFor90Seconds) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    options_.worker.watchdogPeriod = 5ms;
    EXPECT_EXIT(
        {
            start();
            holding_.hold(true);
            std::thread caller([this] {
                std::int64_t expiresAt = 0;
                std::string error;
                static_cast<void>(grant("203.0.113.5", expiresAt, error));
            });
            holding_.waitForHeldCall();
            clock_.steady += 89'999;
            std::this_thread::sleep_for(200ms);
            std::fprintf(stderr, "alive after 89.999 s\n");
            clock_.steady += 1;
            caller.join();  // the grant gives up after 20 s; the watchdog must end us first
        },
        ::testing::ExitedWithCode(180), "alive after 89.999 s");
}

TEST_F(SessionGuardTest, StartAndMaintenanceClearLeftoversAndRepairWhatReappeared) {
    policy_.enrollKey();
    changePolicy([](FirewallPolicy& policy) {
        policy.rules.push_back(test::InboundRule("Velmora - allow 192.0.2.1 [0badf00d]",
                                                 kGrantGroup, kProtocolTcp, "3389", true));
    });
    start();
    EXPECT_TRUE(grantRules().empty());
    EXPECT_FALSE(remoteDesktopEnabled());

    // How each profile is repaired is the firewall test's; the guard's passes report it.
    changePolicy([](FirewallPolicy& policy) {
        policy.profile(FirewallProfile::Domain).firewallEnabled = false;
        std::erase_if(policy.rules,
                      [](const FirewallRule& r) { return r.name == kServiceRuleName; });
        for (FirewallRule& r : policy.rules) r.enabled = true;
    });
    clock_.wall = kT0 + 30;
    ASSERT_TRUE(eventually([&] {
        return !remoteDesktopEnabled() && hasRule(kServiceRuleName) &&
               logged("re-closed 1 allow rule(s) that had reappeared for port 3389") &&
               logged("the gate's own port rule had been removed; it was restored") &&
               logged("the Windows Firewall was off - switched it back on");
    }));
    EXPECT_EQ(guard().status().rulesClosed, 2u);
}

TEST_F(SessionGuardTest, TheKernelFollowsTheStoreAndAFailedProjectionIsAFailedCall) {
    policy_.enrollKey();
    changePolicy([](FirewallPolicy& policy) { policy.enforcement.enabled = true; });
    policy_.change([](GuardPolicy& config) { config.streamPort = 9000; });
    start();
    // gate.json's ports reach the store and the kernel at start.
    EXPECT_EQ(firewall_.policy().enforcement.streamPort, 9000u);
    EXPECT_TRUE(guard().exposure("203.0.113.9").kernelEnforced);

    // A grant the kernel does not take fails, and leaves no rule behind.
    nft_.fail(kNftFailure);
    std::int64_t expiresAt = 0;
    std::string error;
    EXPECT_FALSE(grant("203.0.113.5", expiresAt, error));
    EXPECT_EQ(error, kNftFailure);
    EXPECT_TRUE(grantRules().empty());

    // An expiry the kernel does not take stays pending and is retried.
    nft_.fail("");
    ASSERT_TRUE(grant("203.0.113.5"));
    nft_.fail(kNftFailure);
    clock_.wall = kT0 + 91;
    ASSERT_TRUE(eventually([&] { return logged("could not remove expired rule"); }));
    EXPECT_EQ(guard().status().grants.size(), 1u);
    nft_.fail("");
    clock_.wall = kT0 + 92;
    ASSERT_TRUE(eventually([&] {
        return guard().status().grants.empty() &&
               logged("grant for 203.0.113.5 expired; RDP port closed again");
    }));
    // So is the removal of a stream rule the store did not take.
    std::string ruleName;
    ASSERT_TRUE(guard().addStreamRule(ip("203.0.113.5"), 9000, "key A", ruleName, error)) << error;
    firewall_.failUpdates("disk full");
    guard().removeStreamRule(ruleName);
    ASSERT_TRUE(eventually([&] { return logged("could not remove stream rule"); }));
    EXPECT_TRUE(hasRule(ruleName));
    firewall_.failUpdates("");
    clock_.wall = kT0 + 93;
    ASSERT_TRUE(eventually([&] { return logged("stream rule '" + ruleName + "' removed"); }));
    EXPECT_FALSE(hasRule(ruleName));

    // A changed rdpPort reaches the store at the next full pass, without a restart.
    policy_.change([](GuardPolicy& config) { config.rdpPort = 3390; });
    clock_.wall = kT0 + 150;
    ASSERT_TRUE(eventually([&] { return firewall_.policy().enforcement.rdpPort == 3390; }));

    // Enforcement off is exposure too.
    changePolicy([](FirewallPolicy& policy) { policy.enforcement.enabled = false; });
    clock_.wall = kT0 + 200;
    ASSERT_TRUE(eventually([&] { return !guard().exposure("203.0.113.9").kernelEnforced; }));
}

}  // namespace
}  // namespace vel::gate
