#include "host/display_mode.h"

#include <gtest/gtest.h>

#include "host/x_test_client.h"
#include "support/xvfb.h"

namespace vel::host {
namespace {

DisplayMode mode(std::uint32_t w, std::uint32_t h, std::uint32_t hz = 60, std::uint32_t bpp = 32) {
    static std::uint64_t next = 1;
    return {w, h, bpp, hz, next++};
}

// A display system with a fixed mode list; records each change.
class FakeDisplay final : public DisplaySystem {
  public:
    FakeDisplay(DisplayMode current, std::vector<DisplayMode> modes,
                std::vector<std::string>& changes, long result = 0)
        : current_(current), modes_(std::move(modes)), changes_(changes), result_(result) {}
    std::string primaryOutput() override { return "HDMI-1"; }
    bool currentMode(const std::string&, DisplayMode& m) override {
        m = current_;
        return true;
    }
    std::vector<DisplayMode> modes(const std::string&) override { return modes_; }
    long setMode(const std::string& output, const DisplayMode& m) override {
        changes_.push_back(output + " " + std::to_string(m.width) + "x" + std::to_string(m.height));
        if (result_ == 0) current_ = m;
        return result_;
    }

  private:
    DisplayMode current_;
    std::vector<DisplayMode> modes_;
    std::vector<std::string>& changes_;
    long result_;
};

TEST(DisplayMode, CandidatesScoreExactThenAspectThenAreaThenRefresh) {
    // The matching aspect beats a larger area; the exact size beats both.
    auto best = chooseDisplayMode({mode(1600, 1200), mode(1600, 900), mode(1280, 720)}, 1920, 1080);
    ASSERT_TRUE(best);
    EXPECT_EQ(best->height, 900u);
    best = chooseDisplayMode({mode(1600, 900), mode(1920, 1080, 30), mode(1920, 1200)}, 1920, 1080);
    EXPECT_EQ(best->refreshHz, 30u);
    // Refresh decides between equal sizes; the earlier mode stays on a full tie.
    const std::vector<DisplayMode> ties = {mode(1600, 900, 60), mode(1600, 900, 75),
                                           mode(1600, 900, 75)};
    best = chooseDisplayMode(ties, 1920, 1080);
    EXPECT_EQ(best->id, ties[1].id);
    // Too deep, too small or larger than the viewer: no candidate.
    EXPECT_FALSE(
        chooseDisplayMode({mode(1280, 720, 60, 16), mode(600, 480), mode(2560, 1440)}, 1920, 1080));
}

TEST(DisplayMode, AdapterChangesOnceRestoresAndExplainsRefusals) {
    std::vector<std::string> changes;
    const DisplayMode current = mode(1920, 1080);
    DisplayModeAdapter adapter(std::make_unique<FakeDisplay>(
        current, std::vector<DisplayMode>{current, mode(1280, 720, 60), mode(1360, 768, 60)},
        changes));
    EXPECT_EQ(adapter.apply(300, 600, true), "viewer screen size not usable");
    EXPECT_EQ(adapter.apply(1920, 1080, true), "already 1920x1080");
    EXPECT_EQ(adapter.apply(1024, 600, true), "no mode fits 1024x600");
    EXPECT_EQ(adapter.apply(2560, 1440, true), "kept 1920x1080: nothing closer to 2560x1440");
    adapter.restore();  // nothing was changed
    EXPECT_TRUE(changes.empty());

    EXPECT_EQ(adapter.apply(1366, 768, true), "1920x1080 -> 1360x768@60 for a 1366x768 viewer: ok");
    EXPECT_EQ(adapter.apply(1280, 720, true), "1360x768 -> 1280x720@60 for a 1280x720 viewer: ok");
    adapter.apply(0, 0, false);  // restore: back to the mode before the first change
    adapter.restore();           // and only once
    EXPECT_EQ(changes,
              (std::vector<std::string>{"HDMI-1 1360x768", "HDMI-1 1280x720", "HDMI-1 1920x1080"}));

    {
        DisplayModeAdapter ending(std::make_unique<FakeDisplay>(
            current, std::vector<DisplayMode>{mode(1280, 720, 60)}, changes));
        ending.apply(1280, 720, true);
    }
    EXPECT_EQ(changes.back(), "HDMI-1 1920x1080");  // undone when the adapter ends
    EXPECT_EQ(changes.size(), 5u);

    std::vector<std::string> refused;
    DisplayModeAdapter failing(std::make_unique<FakeDisplay>(
        current, std::vector<DisplayMode>{mode(1280, 720)}, refused, -2));
    EXPECT_EQ(failing.apply(1280, 720, true),
              "1920x1080 -> 1280x720@60 for a 1280x720 viewer: mode not supported");
    failing.restore();
    EXPECT_EQ(refused.size(), 1u);  // a failed change leaves nothing to restore
}

TEST(DisplayMode, XRandrSwitchesThePrimaryOutputAndTheScreenAndBack) {
    test::Xvfb server;
    std::string why;
    if (!server.start(1920, 1080, why)) GTEST_SKIP() << why;
    test::XTestClient client;
    ASSERT_TRUE(client.ok());
    // Xvfb's one output offers only its start size; add two the way a driver would list them.
    client.addMode(1280, 720);
    client.addMode(1360, 768);

    DisplayModeAdapter adapter(newXRandrDisplay());
    EXPECT_EQ(adapter.apply(1366, 768, true), "1920x1080 -> 1360x768@60 for a 1366x768 viewer: ok");
    XWindowAttributes root{};
    XGetWindowAttributes(client.display(), client.root(), &root);
    EXPECT_EQ(root.width, 1360);
    EXPECT_EQ(root.height, 768);
    adapter.restore();
    XGetWindowAttributes(client.display(), client.root(), &root);
    EXPECT_EQ(root.width, 1920);
    EXPECT_EQ(root.height, 1080);
}

}  // namespace
}  // namespace vel::host
