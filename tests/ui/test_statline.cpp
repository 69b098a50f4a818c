// The statistics line as the engine prints it, and the figures the window
// makes of it: values, units, reset baselines, loss, compression, rates.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <QLocale>

#include "ui/core/statfigures.h"
#include "ui/core/statline.h"

namespace {

const char* const prefix = "Quorin>[default][4242]";

struct LineCase {
    std::string text;
    stat_line_status status;
    StatLine want;
};

StatLine fields(uint64_t a, uint64_t b, uint64_t c, uint64_t d, uint32_t e, uint32_t f, double g, uint32_t h,
                uint32_t i, double j) {
    return StatLine{a, b, c, d, e, f, g, h, i, j};
}

TEST(UiStatLine, Table) {
    const StatLine example = fields(100, 200, 300, 400, 10, 1, 10.0, 20, 2, 10.0);
    const std::vector<LineCase> cases = {
        {std::string(prefix) + "/100/200/300/400/10/1/10.00/20/2/10.00\n", stat_line_status::ok, example},
        {"[default][1]/100/200/300/400/10/1/10.00/20/2/10.00\r\n", stat_line_status::ok, example},
        {"x/100/200/300/400/10/1/10.00/20/2/10.00", stat_line_status::ok, example},
        {"x/100/200/300/400/10/1/10.00/20/2/10.00  \n", stat_line_status::ok, example},
        // Counters at the top of their widths; the engine prints 32-bit
        // counters signed, so they come back negative past 2^31.
        {"p/18446744073709551615/0/0/0/4294967295/-1/0.00/-2147483648/2147483648/0.00\n", stat_line_status::ok,
         fields(~uint64_t(0), 0, 0, 0, 4294967295u, 4294967295u, 0, 2147483648u, 2147483648u, 0)},
        {"p/-1/0/0/0/0/0/0/0/0/0\n", stat_line_status::ok, fields(~uint64_t(0), 0, 0, 0, 0, 0, 0, 0, 0, 0)},
        {"p/18446744073709551616/0/0/0/0/0/0/0/0/0\n", stat_line_status::bad_number, {}},
        {"p/0/0/0/0/4294967296/0/0/0/0/0\n", stat_line_status::bad_number, {}},
        {"p/0/0/0/0/-2147483649/0/0/0/0/0\n", stat_line_status::bad_number, {}},
        {"p/0/0/0/0/0/0/10,00/0/0/0\n", stat_line_status::bad_number, {}},
        {"p/0/0/0/0/0/0/nan/0/0/0\n", stat_line_status::bad_number, {}},
        {"p/0//0/0/0/0/0/0/0/0\n", stat_line_status::bad_number, {}},
        {"p/0/0/0/0/0/0/0/0/0/-\n", stat_line_status::bad_number, {}},
        {"/100/200/300/400/10/1/10.00/20/2/10.00\n", stat_line_status::no_prefix, {}},
        {"Quorin>", stat_line_status::missing_field, {}},
        {"", stat_line_status::missing_field, {}},
        {"p/1/2/3/4/5/6/7.00/8/9\n", stat_line_status::missing_field, {}},
        {"p/1/2/3/4/5/6/7.00/8/9/10.00/11\n", stat_line_status::trailing_bytes, {}},
        {"p/1/2/3/4/5/6/7.00/8/9/10.00 Quorin>\n", stat_line_status::trailing_bytes, {}},
        {"[default][1]Active sessions:\n", stat_line_status::missing_field, {}},
    };
    for (size_t i = 0; i < cases.size(); i++) {
        const LineCase& c = cases[i];
        StatLine got = fields(7, 7, 7, 7, 7, 7, 7, 7, 7, 7);
        EXPECT_EQ(stat_line_parse(c.text.data(), c.text.size(), &got), c.status) << "case " << i << ": " << c.text;
        if (c.status != stat_line_status::ok) {
            EXPECT_EQ(got.udp_in, 7u) << "case " << i << " wrote its output";
            continue;
        }
        EXPECT_EQ(got.udp_in, c.want.udp_in) << i;
        EXPECT_EQ(got.udp_out, c.want.udp_out) << i;
        EXPECT_EQ(got.local_in, c.want.local_in) << i;
        EXPECT_EQ(got.local_out, c.want.local_out) << i;
        EXPECT_EQ(got.packets_in, c.want.packets_in) << i;
        EXPECT_EQ(got.lost_in, c.want.lost_in) << i;
        EXPECT_DOUBLE_EQ(got.loss_in_pct, c.want.loss_in_pct) << i;
        EXPECT_EQ(got.packets_out, c.want.packets_out) << i;
        EXPECT_EQ(got.lost_out, c.want.lost_out) << i;
        EXPECT_DOUBLE_EQ(got.loss_out_pct, c.want.loss_out_pct) << i;
    }
    // A NUL inside a number is not a number.
    const char with_nul[] = "p/1\0/2/3/4/5/6/7.00/8/9/10.00\n";
    StatLine got;
    EXPECT_EQ(stat_line_parse(with_nul, sizeof with_nul - 1, &got), stat_line_status::bad_number);
}

// One step of a sequence: a line (or a reset) and what the window shows.
struct FigureStep {
    bool reset;
    StatLine line;
    uint64_t udp_in, local_out;
    const char *loss_in, *comp_in, *comp_out, *comp_total;
    double kbit_udp_in;
    int32_t received;
};

TEST(UiStatFigures, Sequences) {
    const std::vector<std::vector<FigureStep>> sequences = {
        // The worked example; a first line has no rate.
        {{false, fields(100, 200, 300, 400, 10, 1, 10, 20, 2, 10), 100, 400, "10.00 %", "75.00 %", "33.33 %",
          "57.14 %", 0, 0},
         {false, fields(1100, 200, 300, 2400, 20, 1, 5, 20, 2, 10), 1100, 2400, "5.00 %", "54.17 %", "33.33 %",
          "51.85 %", 8.0, 1000}},
        // A reset: the next line counts from the line before it, its rate
        // still from that line; loss restarts, and with no datagram since
        // the reset it is 0 whatever the engine says.
        {{false, fields(1000, 0, 0, 4000, 100, 50, 50, 0, 0, 0), 1000, 4000, "50.00 %", "75.00 %", "0.00 %",
          "75.00 %", 0, 0},
         {true, {}, 0, 0, nullptr, nullptr, nullptr, nullptr, 0, 0},
         {false, fields(1500, 0, 0, 6000, 100, 50, 50, 0, 0, 0), 500, 2000, "0.00 %", "75.00 %", "0.00 %",
          "75.00 %", 4.0, 500},
         {false, fields(1600, 0, 0, 6000, 110, 51, 46.36, 0, 0, 0), 600, 2000, "10.00 %", "70.00 %", "0.00 %",
          "70.00 %", 0.8, 100}},
        // A counter that goes down (an engine that started again) has no rate.
        {{false, fields(5000, 0, 0, 0, 0, 0, 0, 0, 0, 0), 5000, 0, "0.00 %", "0.00 %", "0.00 %", "0.00 %", 0, 0},
         {false, fields(100, 0, 0, 0, 0, 0, 0, 0, 0, 0), 100, 0, "0.00 %", "0.00 %", "0.00 %", "0.00 %", 0, 0}},
        // More compressed bytes than carried ones: negative compression.
        {{false, fields(300, 0, 0, 200, 0, 0, 0, 0, 0, 0), 300, 200, "0.00 %", "-50.00 %", "0.00 %", "-50.00 %", 0,
          0}},
    };
    for (size_t s = 0; s < sequences.size(); s++) {
        StatTracker tracker;
        for (size_t i = 0; i < sequences[s].size(); i++) {
            const FigureStep& step = sequences[s][i];
            if (step.reset) {
                tracker.reset();
                EXPECT_EQ(tracker.shown().udp_in, 0u);
                continue;
            }
            const StatFigures f = tracker.accept(step.line);
            const std::string where = "sequence " + std::to_string(s) + " step " + std::to_string(i);
            EXPECT_EQ(f.counts.udp_in, step.udp_in) << where;
            EXPECT_EQ(f.counts.local_out, step.local_out) << where;
            EXPECT_EQ(stat_percent_text(f.loss_in_pct).toStdString(), step.loss_in) << where;
            EXPECT_EQ(stat_percent_text(f.comp_in_pct).toStdString(), step.comp_in) << where;
            EXPECT_EQ(stat_percent_text(f.comp_out_pct).toStdString(), step.comp_out) << where;
            EXPECT_EQ(stat_percent_text(f.comp_total_pct).toStdString(), step.comp_total) << where;
            EXPECT_DOUBLE_EQ(f.kbit_udp_in, step.kbit_udp_in) << where;
            EXPECT_EQ(f.received, step.received) << where;
        }
    }
}

TEST(UiStatFigures, SizeTexts) {
    QLocale::setDefault(QLocale::c());
    struct {
        uint64_t bytes;
        const char* text;
    } const sizes[] = {{0, "0"},           {99999, "99999"},        {100000, "100 Kb"},
                       {99999999, "99999 Kb"}, {100000000, "100 Mb"}, {~uint64_t(0), "18446744073709 Mb"}};
    for (const auto& c : sizes) EXPECT_EQ(stat_size_text(c.bytes).toStdString(), c.text) << c.bytes;
    EXPECT_EQ(stat_total_text(-5).toStdString(), "-5");
    EXPECT_EQ(stat_total_text(100000).toStdString(), "100 Kb");

    // Plain numbers follow the default locale; per cent figures never do.
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(stat_size_text(99999).toStdString(), "99.999");
    EXPECT_EQ(stat_percent_text(10).toStdString(), "10.00 %");
    QLocale::setDefault(QLocale::c());
}

TEST(UiStatRates, CounterGrowthAndDvbSpeeds) {
    struct {
        uint64_t previous, current;
        bool have_previous;
        uint64_t growth;
    } const growths[] = {{0, 100, false, 0}, {100, 300, true, 200}, {300, 100, true, 0}, {5, 5, true, 0}};
    for (const auto& g : growths)
        EXPECT_EQ(counter_growth(g.previous, g.current, g.have_previous), g.growth) << g.previous << "->" << g.current;

    struct {
        uint64_t pkt_all, filt_traf, pid_kbit, filter_kbit;
    } const dvb[] = {{1000, 5000, 0, 0}, {2000, 10000, 1504, 40}, {2001, 10125, 1, 1}, {10, 10, 0, 0}, {20, 1010, 15, 8}};
    DvbSpeedTracker tracker;
    for (const auto& d : dvb) {
        const DvbSpeeds s = tracker.accept(d.pkt_all, d.filt_traf);
        EXPECT_EQ(s.pid_kbit, d.pid_kbit) << d.pkt_all;
        EXPECT_EQ(s.filter_kbit, d.filter_kbit) << d.filt_traf;
    }
}

}  // namespace
