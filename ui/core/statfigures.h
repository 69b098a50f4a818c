// What the statistics window shows from each accepted statistics line:
// counts since the user's last reset, loss and compression per cent, rates
// since the previous line, and the texts of the figures.
#pragma once

#include <cstdint>

#include <QString>

#include "ui/core/statline.h"

// Growth of a counter since the previous sample. The first sample has no
// previous one, and a counter that went down (an engine that started
// again) has no meaningful growth: both give 0.
uint64_t counter_growth(uint64_t previous, uint64_t current, bool have_previous);

// The counters of one line, taken relative to the reset baselines.
struct StatCounters {
    uint64_t udp_in = 0, udp_out = 0, local_in = 0, local_out = 0;
    uint32_t packets_in = 0, lost_in = 0, packets_out = 0, lost_out = 0;
};

struct StatFigures {
    StatCounters counts;
    double loss_in_pct = 0, loss_out_pct = 0;
    float comp_in_pct = 0, comp_out_pct = 0, comp_total_pct = 0;
    // Kilobits since the previous accepted line.
    double kbit_udp_in = 0, kbit_udp_out = 0, kbit_local_in = 0, kbit_local_out = 0;
    // Bytes received over UDP since the previous line, low 32 bits: the
    // tray icon animates while it is not 0.
    int32_t received = 0;
};

// The engine never resets its counters; a reset in the window is a
// baseline that later lines are shown against.
class StatTracker {
public:
    StatFigures accept(const StatLine& line);
    // The next line then counts from the line before the reset.
    void reset();
    // The counters of the last accepted line since the last reset; the tray
    // animation reads the packet and loss counts.
    const StatCounters& shown() const { return shown_; }

private:
    StatCounters shown_;
    StatCounters baseline_;
    StatCounters raw_previous_;  // the engine's own values in the last line
    bool have_previous_ = false;
};

// Compression in per cent of what was carried: (uncompressed - compressed)
// / uncompressed x 100; negative when the compressed form was larger; 0
// with nothing carried.
float compression_pct(int64_t saved, uint64_t uncompressed);

// Byte counts: plain below 100000, then in decimal kilobytes, then in
// decimal megabytes above 99999999. Plain and megabyte numbers use the
// default QLocale.
QString stat_size_text(uint64_t bytes);
// The two totals, as signed sums: a negative one prints plainly.
QString stat_total_text(int64_t bytes);
// "10.00 %" whatever the locale.
QString stat_percent_text(double pct);

// The DVB page's two speeds from the card library's running totals.
struct DvbSpeeds {
    uint64_t pid_kbit = 0;     // transport stream packets of 1504 bits
    uint64_t filter_kbit = 0;  // bytes passed by the filters
};

class DvbSpeedTracker {
public:
    DvbSpeeds accept(uint64_t pkt_all, uint64_t filt_traf);

private:
    uint64_t previous_pkt_all_ = 0;
    uint64_t previous_filt_traf_ = 0;
    bool have_previous_ = false;
};
