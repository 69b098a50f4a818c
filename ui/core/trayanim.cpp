#include "ui/core/trayanim.h"

#include <algorithm>

namespace {

constexpr uint32_t yellow_from_pct = 5;
constexpr uint32_t red_from_pct = 20;
constexpr uint32_t blink_from_pct = 30;
// The heavy-loss icon shows its first image for this many ticks of a cycle.
constexpr int blink_first_ticks = 16;

}  // namespace

uint32_t tray_loss_pct(uint32_t lost, uint32_t packets) { return packets ? lost * 100u / packets : 0; }

int tray_next_frame(int frame) { return frame + 1 > tray_frame_count - 1 ? 0 : frame + 1; }

TrayFrame tray_frame_for(uint32_t packets_in, uint32_t lost_in, uint32_t packets_out, uint32_t lost_out, int frame) {
    const uint32_t worst = std::max(tray_loss_pct(lost_in, packets_in), tray_loss_pct(lost_out, packets_out));
    if (worst >= blink_from_pct) return {TrayIconSet::red_2, frame < blink_first_ticks ? 0 : 1};
    if (worst >= red_from_pct) return {TrayIconSet::red, frame};
    if (worst >= yellow_from_pct) return {TrayIconSet::yellow, frame};
    return {TrayIconSet::green, frame};
}
