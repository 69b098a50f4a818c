// The tray icon's frame by packet loss, and the statistics window's
// opacity as "Interface.ini" keeps it.
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "ui/core/opacity.h"
#include "ui/core/trayanim.h"

namespace {

TEST(UiStatTray, FrameByLoss) {
    struct {
        uint32_t packets_in, lost_in, packets_out, lost_out;
        int frame;
        TrayIconSet set;
        int index;
    } const cases[] = {
        {1000, 49, 1000, 0, 7, TrayIconSet::green, 7},
        {1000, 50, 1000, 0, 7, TrayIconSet::yellow, 7},
        {1000, 0, 1000, 199, 29, TrayIconSet::yellow, 29},
        {1000, 200, 1000, 0, 0, TrayIconSet::red, 0},
        {1000, 299, 1000, 0, 3, TrayIconSet::red, 3},
        {1000, 300, 1000, 0, 15, TrayIconSet::red_2, 0},
        {1000, 0, 1000, 300, 16, TrayIconSet::red_2, 1},
        {0, 0, 0, 0, 12, TrayIconSet::green, 12},
        {0, 500, 0, 500, 12, TrayIconSet::green, 12},
        // lost x 100 wraps in 32 bits, as the loss figure always has.
        {1000000000, 50000000, 1, 0, 4, TrayIconSet::green, 4},
    };
    for (const auto& c : cases) {
        const TrayFrame f = tray_frame_for(c.packets_in, c.lost_in, c.packets_out, c.lost_out, c.frame);
        EXPECT_EQ(f.set, c.set) << c.lost_in << "/" << c.packets_in << " " << c.lost_out << "/" << c.packets_out;
        EXPECT_EQ(f.index, c.index) << c.lost_in << "/" << c.packets_in;
    }
    EXPECT_EQ(tray_next_frame(0), 1);
    EXPECT_EQ(tray_next_frame(28), 29);
    EXPECT_EQ(tray_next_frame(29), 0);
}

TEST(UiStatOpacity, SavedAndRestoredExactly) {
    for (int slider = 0; slider <= 100; slider++)
        EXPECT_EQ(opacity_slider_from_setting(opacity_setting_from_slider(slider)), slider);
    struct {
        double stored;
        int slider;
    } const files[] = {{0.5, 50},         {0.999, 99},  {0.29, 29},
                       {127.0 / 255, 49}, {1.0, 100},   {1.5, 100},
                       {-1, 0},           {std::numeric_limits<double>::quiet_NaN(), 100}};
    for (const auto& f : files) EXPECT_EQ(opacity_slider_from_setting(f.stored), f.slider) << f.stored;
}

}  // namespace
