#include "ui/core/statfigures.h"

#include <QCoreApplication>
#include <QLocale>

namespace {

constexpr int64_t plain_below_bytes = 100000;
constexpr int64_t kilo_up_to_bytes = 99999999;
constexpr int ts_packet_bits = 1504;

double kbit(uint64_t bytes) { return double(bytes) * 8.0 / 1000.0; }

double loss_pct(uint32_t lost, uint32_t packets) { return packets ? double(lost) / double(packets) * 100.0 : 0.0; }

}  // namespace

uint64_t counter_growth(uint64_t previous, uint64_t current, bool have_previous) {
    if (!have_previous || current < previous) return 0;
    return current - previous;
}

float compression_pct(int64_t saved, uint64_t uncompressed) {
    if (uncompressed == 0) return 0;
    return float(double(saved) / double(uncompressed) * 100.0);
}

StatFigures StatTracker::accept(const StatLine& line) {
    StatFigures f;
    StatCounters& c = f.counts;
    c.udp_in = line.udp_in - baseline_.udp_in;
    c.udp_out = line.udp_out - baseline_.udp_out;
    c.local_in = line.local_in - baseline_.local_in;
    c.local_out = line.local_out - baseline_.local_out;
    c.packets_in = line.packets_in - baseline_.packets_in;
    c.lost_in = line.lost_in - baseline_.lost_in;
    c.packets_out = line.packets_out - baseline_.packets_out;
    c.lost_out = line.lost_out - baseline_.lost_out;

    f.loss_in_pct = loss_pct(c.lost_in, c.packets_in);
    f.loss_out_pct = loss_pct(c.lost_out, c.packets_out);

    f.comp_in_pct = compression_pct(int64_t(c.local_out - c.udp_in), c.local_out);
    f.comp_out_pct = compression_pct(int64_t(c.local_in - c.udp_out), c.local_in);
    const uint64_t local_total = c.local_in + c.local_out;
    f.comp_total_pct = compression_pct(int64_t(local_total - c.udp_in - c.udp_out), local_total);

    // Rates come from the engine's own values: a reset moves the baselines
    // but not the traffic between two lines.
    const uint64_t udp_in_growth = counter_growth(raw_previous_.udp_in, line.udp_in, have_previous_);
    f.kbit_udp_in = kbit(udp_in_growth);
    f.kbit_udp_out = kbit(counter_growth(raw_previous_.udp_out, line.udp_out, have_previous_));
    f.kbit_local_in = kbit(counter_growth(raw_previous_.local_in, line.local_in, have_previous_));
    f.kbit_local_out = kbit(counter_growth(raw_previous_.local_out, line.local_out, have_previous_));
    f.received = int32_t(uint32_t(udp_in_growth));

    shown_ = c;
    raw_previous_ = {line.udp_in, line.udp_out, line.local_in, line.local_out,
                     line.packets_in, line.lost_in, line.packets_out, line.lost_out};
    have_previous_ = true;
    return f;
}

void StatTracker::reset() {
    baseline_.udp_in += shown_.udp_in;
    baseline_.udp_out += shown_.udp_out;
    baseline_.local_in += shown_.local_in;
    baseline_.local_out += shown_.local_out;
    baseline_.packets_in += shown_.packets_in;
    baseline_.lost_in += shown_.lost_in;
    baseline_.packets_out += shown_.packets_out;
    baseline_.lost_out += shown_.lost_out;
    shown_ = StatCounters();
}

QString stat_total_text(int64_t bytes) {
    if (bytes < plain_below_bytes) return QLocale().toString(qlonglong(bytes));
    if (bytes > kilo_up_to_bytes) return QLocale().toString(qlonglong(bytes / 1000000)) + QCoreApplication::translate("StatForm", " Mb");
    return QString::number(bytes / 1000) + QCoreApplication::translate("StatForm", " Kb");
}

QString stat_size_text(uint64_t bytes) {
    if (bytes < uint64_t(plain_below_bytes)) return QLocale().toString(qulonglong(bytes));
    if (bytes > uint64_t(kilo_up_to_bytes)) return QLocale().toString(qulonglong(bytes / 1000000)) + QCoreApplication::translate("StatForm", " Mb");
    return QString::number(bytes / 1000) + QCoreApplication::translate("StatForm", " Kb");
}

QString stat_percent_text(double pct) { return QString::number(pct, 'f', 2) + QStringLiteral(" %"); }

DvbSpeeds DvbSpeedTracker::accept(uint64_t pkt_all, uint64_t filt_traf) {
    DvbSpeeds s;
    s.pid_kbit = counter_growth(previous_pkt_all_, pkt_all, have_previous_) * ts_packet_bits / 1000;
    s.filter_kbit = counter_growth(previous_filt_traf_, filt_traf, have_previous_) * 8 / 1000;
    previous_pkt_all_ = pkt_all;
    previous_filt_traf_ = filt_traf;
    have_previous_ = true;
    return s;
}
