#include "firewall/firewall_store_file.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>

#include "os/files.h"
#include "os/paths.h"
#include "support/firewall_rules.h"
#include "support/temp_dir.h"

namespace vel::firewall {
namespace {

TEST(FileFirewallStore, AMissingStoreIsCreatedAsAFreshMachinesPolicy) {
    test::TempDir dir;
    FileFirewallStore store(JoinPath(dir.path(), "data"));
    std::vector<FirewallRule> rules;
    std::string error;
    ASSERT_TRUE(store.rules(rules, error)) << error;

    std::string text;
    ASSERT_TRUE(ReadFileText(JoinPath(dir.path(), "data/firewall.json"), text));
    FirewallPolicy fresh;
    ASSERT_TRUE(FirewallPolicyFromJson(text, fresh, error)) << error;
    EXPECT_EQ(fresh, DefaultFirewallPolicy());
}

TEST(FileFirewallStore, EveryPropertySurvivesTheFileAndARefusedChangeKeepsNothing) {
    FirewallPolicy policy;
    policy.profile(FirewallProfile::Private) = {false, RuleAction::Allow};
    policy.enforcement = {true, 3390, 9000};
    policy.rules = {FirewallRule{},
                    test::InboundRule("Ünïcode \"quoted\" name", "group", kProtocolUdp,
                                      "80, 3000-4000", true, RuleAction::Block)};
    FirewallRule& rule = policy.rules.back();
    rule.description = "line one\nline two";
    rule.remoteAddresses = "10.0.0.0/8,fe80::1";
    rule.direction = RuleDirection::Out;
    rule.profiles = 5;
    rule.applicationName = "/usr/bin/app";
    rule.serviceName = "svc";
    rule.localAppPackageId = "pkg";
    rule.localUserOwner = "owner";

    test::TempDir dir;
    FileFirewallStore store(dir.path());
    std::string error;
    ASSERT_TRUE(store.update(
        [&](FirewallPolicy& p, std::string&) {
            p = policy;
            return true;
        },
        error));
    EXPECT_FALSE(store.update(
        [](FirewallPolicy& p, std::string& e) {
            p = FirewallPolicy{};
            e = "changed my mind";
            return false;
        },
        error));
    EXPECT_EQ(error, "changed my mind");

    std::string text;
    FirewallPolicy read;
    ASSERT_TRUE(ReadFileText(store.path(), text));
    ASSERT_TRUE(FirewallPolicyFromJson(text, read, error)) << error;
    EXPECT_EQ(read, policy);
}

TEST(FileFirewallStore, ADamagedStoreIsReportedAndLeftAsItIs) {
    test::TempDir dir;
    FileFirewallStore store(dir.path());
    const struct {
        const char* text;
        const char* problem;
    } cases[] = {
        {"{\"rules\": [", "not a JSON object"},
        {"{\"rules\": [{}, {\"direction\": \"inbound\"}]}",
         "rule 2: \"direction\" must be \"in\" or \"out\""},
        {"{\"profiles\": {\"public\": {\"firewallEnabled\": 1}}}",
         "profiles.public: \"firewallEnabled\" must be true or false"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(WriteFileAtomic(store.path(), c.text));
        std::string error;
        std::vector<FirewallRule> rules;
        EXPECT_FALSE(store.rules(rules, error));
        EXPECT_EQ(error, store.path() + " is damaged: " + c.problem);
        EXPECT_FALSE(store.addRule(FirewallRule{}, error));
        std::string text;
        static_cast<void>(ReadFileText(store.path(), text));
        EXPECT_EQ(text, c.text);
    }
}

TEST(FileFirewallStore, TwoProcessesChangingTheStoreAtOnceLoseNoRule) {
    test::TempDir dir;
    constexpr int kRulesPerProcess = 40;
    pid_t children[2];
    for (int child = 0; child < 2; ++child) {
        children[child] = ::fork();
        ASSERT_GE(children[child], 0);
        if (children[child] == 0) {
            // Each process has its own store object, as the service and a command would; it adds
            // its rules and removes every other one again.
            FileFirewallStore store(dir.path());
            const auto name = [child](int i) {
                return std::to_string(child) + "-" + std::to_string(i);
            };
            std::string error;
            bool ok = true;
            for (int i = 0; i < kRulesPerProcess && ok; ++i) {
                FirewallRule rule;
                rule.name = name(i);
                ok = store.addRule(rule, error) &&
                     (i % 2 == 0 || store.removeRule(name(i - 1), error));
            }
            ::_exit(ok ? 0 : 1);
        }
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    std::vector<FirewallRule> rules;
    std::string error;
    ASSERT_TRUE(FileFirewallStore(dir.path()).rules(rules, error)) << error;
    std::set<std::string> names;
    for (const FirewallRule& rule : rules) names.insert(rule.name);
    EXPECT_EQ(rules.size(), 1u + kRulesPerProcess);
    EXPECT_EQ(names.size(), rules.size());
    EXPECT_EQ(names.count("0-0") + names.count("1-38"), 0u);
}

TEST(FileFirewallStore, ChangingARuleNeedsItToBeAsItWasSeen) {
    test::TempDir dir;
    FileFirewallStore store(dir.path());
    std::vector<FirewallRule> seen;
    std::string error;
    ASSERT_TRUE(store.rules(seen, error));

    // Someone else edits the rule between our read and our change.
    FileFirewallStore other(dir.path());
    ASSERT_TRUE(other.update(
        [](FirewallPolicy& p, std::string&) {
            p.rules[0].localPorts = "3389,3390";
            return true;
        },
        error));
    EXPECT_FALSE(store.setRuleEnabled(seen[0], false, error));
    EXPECT_EQ(error,
              "the rule 'Remote Desktop - User Mode (TCP-In)' was changed or removed "
              "meanwhile");

    ASSERT_TRUE(store.rules(seen, error));
    ASSERT_TRUE(store.setRuleEnabled(seen[0], false, error));
    ASSERT_TRUE(store.rules(seen, error));
    EXPECT_FALSE(seen[0].enabled);
}

}  // namespace
}  // namespace vel::firewall
