#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "admin/recovery_commands.h"
#include "os/log.h"
#include "support/fake_systemctl.h"
#include "support/memory_firewall_store.h"
#include "support/temp_dir.h"

namespace vel::test {

// The recovery and diagnostic commands over fakes of the test's own: systemd, the firewall store,
// nft, the console, the pause between steps and the listening ports.
class RecoveryFixture : public ::testing::Test {
  protected:
    using Lines = std::vector<std::string>;

    RecoveryFixture()
        : service_(systemctl_, ServiceControlOptions{units_.path(), 1}),
          system_{service_,
                  store_,
                  nft_,
                  [this](std::string_view line) { lines_.emplace_back(line); },
                  [this](int ms) { slept_ += ms; },
                  [this](std::uint16_t port) { return listening_.count(port) > 0; },
                  data_.path(),
                  data_.file("velmora"),
                  data_.file("installed")} {
        systemctl_.unitDirectory = units_.path();
        InitLog(data_.path(), "gate");
    }

    bool printed(const std::string& line) const {
        return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
    }

    TempDir data_;
    TempDir units_;
    FakeSystemctl systemctl_;
    ServiceControl service_;
    MemoryFirewallStore store_;
    RecordingNftRunner nft_;
    std::set<std::uint16_t> listening_;
    Lines lines_;
    int slept_ = 0;
    admin::RecoverySystem system_;
};

}  // namespace vel::test
