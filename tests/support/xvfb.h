#pragma once

#include <string>
#include <vector>

#include "support/background_process.h"

namespace vel::test {

// A private Xvfb server for one test, on a display number of its own choosing. The process's
// DISPLAY points at it while it runs and is put back afterwards.
class Xvfb {
  public:
    Xvfb() = default;
    ~Xvfb();
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;

    // Starts "Xvfb -screen 0 <width>x<height>x24" plus extraArgs; false with the reason when the
    // machine has no Xvfb or it did not come up.
    [[nodiscard]] bool start(int width, int height, std::string& why,
                             const std::vector<std::string>& extraArgs = {});

    const std::string& display() const { return display_; }

  private:
    BackgroundProcess process_;
    std::string display_;
    std::string savedDisplay_;
    bool hadDisplay_ = false;
};

}  // namespace vel::test
