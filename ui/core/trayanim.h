// Which tray icon frame shows while data arrives: the colour follows the
// worse of the two packet losses, the frame steps every animation tick.
#pragma once

#include <cstdint>

enum class TrayIconSet { green, yellow, red, red_2 };

constexpr int tray_frame_count = 30;

struct TrayFrame {
    TrayIconSet set;
    int index;  // into the set's frames: 0-29, or 0-1 for red_2
};

// lost x 100 / packets in 32-bit integer arithmetic (the product wraps, the
// quotient truncates); 0 without packets.
uint32_t tray_loss_pct(uint32_t lost, uint32_t packets);
// The frame after `frame`, wrapping above 29.
int tray_next_frame(int frame);
TrayFrame tray_frame_for(uint32_t packets_in, uint32_t lost_in, uint32_t packets_out, uint32_t lost_out, int frame);
