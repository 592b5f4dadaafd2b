#pragma once

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
    explicit MemoryFirewallStore(firewall::FirewallPolicy policy) : policy_(std::move(policy)) {}

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
    std::string readFailure_;    // guarded by mutex_
    std::string updateFailure_;  // guarded by mutex_
    int updates_ = 0;            // guarded by mutex_
};

// Records the scripts it is given instead of running nft.
class RecordingNftRunner final : public NftRunner {
  public:
    bool apply(const std::string& script, std::string& error) override {
        if (!failure.empty()) {
            error = failure;
            return false;
        }
        scripts.push_back(script);
        return true;
    }

    std::vector<std::string> scripts;
    std::string failure;  // when set, every script is refused with this text
};

}  // namespace vel::test
