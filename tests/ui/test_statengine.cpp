// The statistics window's console client against the real engine logged in
// to the reference server: a transfer shows in the figures and the plots,
// commands sent back to back all take effect, and Quit ends the engine.
#include <algorithm>
#include <atomic>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include <QTimer>

#include "tests/e2e/harness.h"
#include "tests/ui/stat_testing.h"
#include "ui/statform.h"
#include "ui/statplot.h"

namespace {

constexpr uint64_t transfer_bytes = 400000;
constexpr uint64_t transfer_seed = 14;

double largest(const StatPlot* plot, int series) {
    double m = 0;
    for (int i = 0; i < plot->sampleCount(); i++) m = std::max(m, plot->values(series)[i]);
    return m;
}

TEST(UiStatEngine, FiguresPlotsAndCommands) {
    ASSERT_TRUE(e2e::bin_exists("quorin")) << "the engine was not built";
    ASSERT_TRUE(e2e::bin_exists("refserver")) << "the reference server was not built";
    stat_test_app();
    e2e::stack st;
    st.remote.name = "alice";
    ASSERT_TRUE(st.start_refserver());
    e2e::local_conf socks("socks5=1");
    socks.remote = "alice";
    ASSERT_TRUE(st.start_engine({socks}));
    e2e::data_server source(e2e::data_server::source, transfer_bytes, transfer_seed);

    StatForm form(nullptr);
    form.startStat(st.engine.console_port);
    QTimer poll;  // the owner's one-second timer, faster
    QObject::connect(&poll, &QTimer::timeout, &form, &StatForm::send_query);
    poll.start(200);
    ASSERT_TRUE(stat_wait([&] { return form.incomingPlot()->sampleCount() >= 2; }));

    std::atomic<bool> done{false};
    std::string why;
    std::thread client([&] {
        int fd = e2e::socks5_connect_ip(st.port(0), "127.0.0.1", source.port());
        if (fd < 0)
            why = "no SOCKS connection";
        else if (!e2e::check_stream(fd, transfer_seed, transfer_bytes, 60, &why))
            why = "transfer: " + why;
        e2e::close_fd(fd);
        done = true;
    });
    const bool finished = stat_wait([&] { return done.load(); }, 90000);
    client.join();
    ASSERT_TRUE(finished);
    ASSERT_EQ(why, "");

    ASSERT_TRUE(stat_wait([&] { return form.lastCounts().local_out >= transfer_bytes; }));
    const StatCounters shown = form.lastCounts();
    EXPECT_EQ(form.ui.tcpout->text(), stat_size_text(shown.local_out));
    EXPECT_EQ(form.ui.udpin->text(), stat_size_text(shown.udp_in));
    EXPECT_GT(shown.udp_in, 0u);
    EXPECT_GT(shown.packets_in, 0u);
    EXPECT_GT(largest(form.incomingPlot(), StatPlot::uncompressed), 0) << "the plot follows the transfer";
    EXPECT_GT(largest(form.incomingPlot(), StatPlot::compressed), 0);

    // The engine's own figures, read on a connection of our own, are at
    // least what the window showed a moment ago.
    e2e::stat_line engine_view;
    ASSERT_TRUE(e2e::parse_stat_line(st.engine.console_command("show stat"), &engine_view));
    EXPECT_GE(engine_view.local_out, shown.local_out);
    EXPECT_GE(engine_view.udp_in, shown.udp_in);
    EXPECT_GE(engine_view.received, shown.packets_in);

    // Three commands at once: each reaches the engine alone.
    std::string login_line;
    ASSERT_GE(st.rs.proc.wait_line("LOGIN ok", 10, &login_line), 0);
    const int session = int(e2e::refserver_proc::session_of(login_line));
    form.ChangeSpeedIn("3000:6000");
    form.ChangeSpeedOut("4000:9000");
    form.send_query();
    EXPECT_TRUE(stat_wait([&] { return st.rs.proc.count_lines("speed_in 3000:6000") > 0; }))
        << "the login again with the new incoming speed";
    std::string details;
    EXPECT_TRUE(stat_wait([&] {
        details = st.engine.console_command("show session " + std::to_string(session));
        return details.find("Max 9000 Min 4000") != std::string::npos;
    })) << details;

    // Quit: "shutdown" reaches the engine, which ends (no interface bound: -1).
    int icon_hidden = 0;
    QObject::connect(&form, &StatForm::HideTrayIcon, [&] { icon_hidden++; });
    form.send_shut();
    EXPECT_EQ(icon_hidden, 1);
    ASSERT_TRUE(stat_wait([&] { return !st.engine.proc.running(); }));
    int status = 0;
    ASSERT_TRUE(st.engine.proc.wait_exit(5, &status));
    EXPECT_EQ(status, 255);
}

}  // namespace
