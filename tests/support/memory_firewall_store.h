#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "firewall/firewall_store.h"
#include "os/nft_runner.h"

namespace vel::test {

// A rule store held in memory, for tests of the firewall layer and the code above it.
class MemoryFirewallStore final : public firewall::FirewallStore {
  public:
    MemoryFirewallStore() : policy_(firewall::DefaultFirewallPolicy()) {}

    bool read(const PolicyVisit& visit, std::string& error) override {
        std::lock_guard lock(mutex_);
        if (!readFailure_.empty()) {
            error = readFailure_;
            return false;
        }
        return visit(policy_, error);
    }

    bool update(const PolicyChange& change, std::string& error) override {
        std::lock_guard lock(mutex_);
        if (!updateFailure_.empty()) {
            error = updateFailure_;
            return false;
        }
        firewall::FirewallPolicy next = policy_;
        if (!change(next, error)) return false;
        policy_ = std::move(next);
        ++updates_;
        return true;
    }

    // Changes the policy directly, as another program would; no update is counted.
    void edit(const std::function<void(firewall::FirewallPolicy&)>& change) {
        std::lock_guard lock(mutex_);
        change(policy_);
    }

    // Updates kept so far.
    int updates() const {
        std::lock_guard lock(mutex_);
        return updates_;
    }

    firewall::FirewallPolicy policy() const {
        std::lock_guard lock(mutex_);
        return policy_;
    }

    // A non-empty text makes every later read (or update) fail with it.
    void failReads(std::string text) {
        std::lock_guard lock(mutex_);
        readFailure_ = std::move(text);
    }
    void failUpdates(std::string text) {
        std::lock_guard lock(mutex_);
        updateFailure_ = std::move(text);
    }

  private:
    mutable std::mutex mutex_;
    firewall::FirewallPolicy policy_;  // guarded by mutex_
    std::string readFailure_;          // guarded by mutex_
    std::string updateFailure_;        // guarded by mutex_
    int updates_ = 0;                  // guarded by mutex_
};

// Records the scripts it is given instead of running nft, and plays a kernel that holds the
// last one: its listing is the table's marked rule, or nothing after a removal. Tests without
// threads use the members directly; the methods serve tests whose workers project meanwhile.
class RecordingNftRunner final : public NftRunner {
  public:
    bool apply(const std::string& script, std::string& error) override {
        std::lock_guard lock(mutex_);
        if (!failure.empty()) {
            error = failure;
            return false;
        }
        scripts.push_back(script);
        const std::size_t at = script.find("comment \"");
        table = at == std::string::npos
                    ? ""
                    : R"({"nftables":[{"table":{"name":"velmora"}},{"rule":{"comment":")" +
                          script.substr(at + 9, script.find('"', at + 9) - at - 9) + "\"}}]}";
        return true;
    }
    bool listTable(const std::string&, const std::string&, std::string& json,
                   std::string& error) override {
        std::lock_guard lock(mutex_);
        if (!failure.empty()) {
            error = failure;
            return false;
        }
        json = table;
        return true;
    }
    std::unique_ptr<NftWatch> watch(std::function<void()>) override { return nullptr; }

    std::size_t applied() const {
        std::lock_guard lock(mutex_);
        return scripts.size();
    }
    void fail(std::string text) {
        std::lock_guard lock(mutex_);
        failure = std::move(text);
    }

    std::vector<std::string> scripts;  // guarded by mutex_ while another thread projects
    std::string table;                 // the kernel's listing of the gate's table; empty: no table
    std::string failure;               // when set, every call fails with this text

  private:
    mutable std::mutex mutex_;
};

}  // namespace vel::test
