// The satellite road through the interface, under a private Xvfb with
// trayer and in a network namespace of its own (the console's port 30000):
// the connect dialog, with DVB enabled for the subscription, tunes the
// simulated card through the DVB window (libdvb.so -> libKestrix.so ->
// libTeVii.so, fed by the reference server's satellite output), connects
// and starts the real engine; a download whose downstream comes only by
// satellite arrives byte-exact while the statistics window's DVB figures
// move. The engine runs as a process of its own in place of the engine
// thread, so that the windows can be read here.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>

#include <atomic>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "tests/ui/support/netns.h"
#include "tests/ui/support/ui_testing.h"
#include "tests/ui/support/xsession.h"
#include "tools/tevii/tevii_sim.h"
#include "ui/dvbsettingsform.h"
#include "ui/mycoolthread.h"
#include "ui/qrapplication.h"
#include "ui/qrconnectform.h"
#include "ui/statform.h"

namespace {

constexpr double step_timeout_s = 60;
constexpr uint16_t feed_port = 5500;  // fixed: the namespace is ours
// At the 250000 bytes a second the subscription asks for, a few of the
// window's one-second polls.
constexpr uint64_t download_bytes = 1u << 20;
const char sat_option[] = "127.0.0.1:5500,291,10.0.0.1";

// The engine thread's start routine: the real engine in the working
// directory, reported up once its console answers.
e2e::process engine;
std::atomic<bool> engine_released{false};
int engine_routine(void* thread) {
    const std::string dir = std::filesystem::current_path().string();
    if (engine.start({dir + "/quorin"}, dir, dir + "/stdout.txt", dir + "/stderr.txt")) {
        e2e::console c;
        if (e2e::wait_until([&] { return c.open(30000, 0.5) || !engine.running(); }, step_timeout_s, 0.05) &&
            engine.running())
            emit static_cast<MyCoolThread*>(thread)->Finished();
    }
    while (!engine_released) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return 0;
}

uint64_t shown_number(const QLabel* label) {
    QString digits = label->text();
    digits.remove(QRegExp("[^0-9]"));
    return digits.toULongLong();
}

TEST(UiDvbEndToEnd, DownloadBySatelliteThroughTheInterface) {
    std::string why;
    if (!ui_testing::enter_private_network(&why)) GTEST_SKIP() << why;
    for (const char* prog : {"quorin", "refserver", "linkem", "libdvb.so", "libKestrix.so", "libTeVii.so"})
        ASSERT_TRUE(e2e::bin_exists(prog)) << prog << " was not built";
    ui_testing::x_session x;
    ASSERT_TRUE(x.start(true, &why)) << why;
    qputenv("DISPLAY", QByteArray::fromStdString(x.display()));
    qputenv("QT_QPA_PLATFORM", "xcb");
    int argc = 1;
    char arg0[] = "ui_test_dvb_end_to_end";
    char* argv[] = {arg0, nullptr};
    QApplication app(argc, argv);
    register_ui_resources();

    ui_testing::working_dir wd;
    const e2e::temp_dir& dir = wd.dir();
    e2e::refserver_proc rs;
    ASSERT_TRUE(rs.start(dir, {"--user", "alice:secret", "--sat", sat_option}));
    e2e::process link;
    ASSERT_TRUE(link.start({e2e::bin_path("linkem"), "--listen", "127.0.0.1:0", "--server",
                            "127.0.0.1:" + std::to_string(rs.port), "--down-loss", "100"},
                           dir.path(), "", dir.file("linkem.err")));
    std::string line;
    ASSERT_GE(link.wait_line("LISTEN ", 10, &line), 0);
    const std::string link_port = line.substr(7);
    e2e::data_server source(e2e::data_server::source, download_bytes, 15);

    // The engine alone in the directory (headless); the DVB library is
    // loaded from the build's folder, the file here only shows it is there.
    for (const char* file : {"quorin", "libdvb.so"}) {
        std::error_code ec;
        std::filesystem::create_hard_link(e2e::bin_path(file), dir.file(file), ec);
        if (ec) std::filesystem::copy_file(e2e::bin_path(file), dir.file(file), ec);
        ASSERT_FALSE(ec) << file;
    }
    wd.write("tevii-sim.ini", "[Card]\nDevices=1\n[Device0]\nName=Simulated card\nFeed=udp\n"
                              "UdpAddress=127.0.0.1\nUdpPort=" + std::to_string(feed_port) + "\n");
    ASSERT_EQ(setenv(tevii_sim_env, dir.file("tevii-sim.ini").c_str(), 1), 0);
    wd.write("quorin.conf", "[server]\nport=2080\n[remote]\nname=quorin\nserver=127.0.0.1:1\nlogin=alice\n");
    wd.write("Subscriptions.ini", "[alice]\nQuorin\\passwd=secret\nQuorin\\remote\\server=127.0.0.1\n"
                                  "Quorin\\remote\\port=" + link_port +
                                  "\nQuorin\\remote\\speed_in_min=250000\nQuorin\\remote\\speed_in_max=250000\n"
                                  "DVB\\Enabled=true\nDVB\\PID=291\nDVB\\SATIP=10.0.0.1\n");

    auto* f = new QrConnectForm;
    f->thread->callback = engine_routine;
    f->show();
    // Built with DVB on: the card is listed, started and tuned.
    EXPECT_TRUE(f->ui.DVBConnect->isChecked());
    EXPECT_EQ(f->dvbForm->ui.DVBCardList->currentText(), "Simulated card");
    EXPECT_EQ(f->ui.siglvl->value(), 55);
    EXPECT_EQ(f->ui.sigqua->value(), 80);
    f->ui.connect_button->click();
    ASSERT_TRUE(ui_testing::wait_for([&] { return f->statTimer->isActive(); }, step_timeout_s))
        << "the engine did not come up: " << dir.read("stderr.txt");
    EXPECT_NE(dir.read("quorin.conf").find("port=2080\n"), std::string::npos);
    EXPECT_TRUE(ui_testing::wait_for([&] { return x.docked_icons() >= 1; }, step_timeout_s)) << "no tray icon";
    StatForm& stat = *f->statForm;
    EXPECT_GE(stat.ui.stat->indexOf(stat.ui.dvb_stat), 0);

    std::atomic<bool> done{false};
    std::string failure;
    std::thread client([&] {
        int fd = e2e::socks5_connect_ip(1080, "127.0.0.1", source.port());
        if (fd < 0)
            failure = "no SOCKS connection";
        else if (!e2e::check_stream(fd, 15, download_bytes, step_timeout_s, &failure))
            failure = "download: " + failure;
        e2e::close_fd(fd);
        done = true;
    });
    std::set<uint64_t> bytes_shown;
    uint64_t fastest_pid_kbit = 0;
    ui_testing::wait_for(
        [&] {
            bytes_shown.insert(shown_number(stat.ui.bytes));
            fastest_pid_kbit = std::max(fastest_pid_kbit, shown_number(stat.ui.pid_speed));
            return done.load();
        },
        2 * step_timeout_s);
    client.join();
    EXPECT_EQ(failure, "");
    // The last poll of the totals is at most a second away.
    EXPECT_TRUE(ui_testing::wait_for([&] { return shown_number(stat.ui.bytes) >= download_bytes; }, 5))
        << stat.ui.bytes->text().toStdString();
    EXPECT_GE(bytes_shown.size(), 3u) << "the figures moved during the download";
    EXPECT_GT(fastest_pid_kbit, 0u);
    EXPECT_GT(shown_number(stat.ui.pkts), download_bytes / 1500);
    EXPECT_EQ(stat.ui.crc->text(), "0");
    EXPECT_EQ(stat.ui.siglvl->value(), 55);
    EXPECT_EQ(stat.ui.sigqua->value(), 80);

    e2e::console c;
    std::string reply;
    ASSERT_TRUE(c.open(30000, 5));
    c.command("shutdown\n", &reply, 2);
    EXPECT_TRUE(engine.wait_exit(step_timeout_s)) << "the engine did not end";
    engine_released = true;
    f->thread->wait();
    delete f->statForm;
    delete f->thread;
    delete f->subscriptions;
    delete f;
}

}  // namespace
