// The tray once the engine is up: the icon's colour by the loss the console
// reports, the tooltip, Quit with and without the engine's console, and the
// menu's commands reaching the real engine. The interface dials the console
// on the fixed port 30000, so every test runs in a network namespace of its
// own.
#include <gtest/gtest.h>

#include <QAction>
#include <QActionGroup>
#include <QComboBox>
#include <QMenu>
#include <QPushButton>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>
#include <string>

#include "tests/ui/support/netns.h"
#include "tests/ui/support/ui_testing.h"
#include "ui/core/settings_files.h"
#include "ui/core/tray_text.h"
#include "ui/mycoolthread.h"
#include "ui/qrconnectform.h"
#include "ui/statform.h"

namespace {

using ui_testing::wait_for;

testing::Environment* const qt = testing::AddGlobalTestEnvironment(new ui_testing::qt_environment);

constexpr double step_timeout_s = 60;

// The engine's console as the test plays it: the prompt, and for each
// "show stat" the line the test set last.
class PlayedConsole {
public:
    PlayedConsole() {
        listening = server.listen(QHostAddress(QString::fromLatin1(console_host)), console_port);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            QTcpSocket* peer = server.nextPendingConnection();
            peer->write("Quorin>");
            QObject::connect(peer, &QTcpSocket::readyRead, [this, peer] {
                const QByteArray block = peer->readAll();
                received += block.toStdString();
                if (block.startsWith("show stat")) peer->write(QByteArray::fromStdString(stat_line));
                peer->write("Quorin>");
            });
        });
    }
    QTcpServer server;
    bool listening = false;
    std::string stat_line;
    std::string received;
};

std::string stat_line(uint64_t udp_in, uint64_t udp_out, uint32_t packets_in, uint32_t lost_in, uint32_t packets_out,
                      uint32_t lost_out) {
    return "[default][7]/" + std::to_string(udp_in) + "/" + std::to_string(udp_out) + "/0/0/" +
           std::to_string(packets_in) + "/" + std::to_string(lost_in) + "/0.00/" + std::to_string(packets_out) + "/" +
           std::to_string(lost_out) + "/0.00\n";
}

class UiTray : public ::testing::Test {
protected:
    static void SetUpTestSuite() { private_network = ui_testing::enter_private_network(&reason); }
    void SetUp() override {
        if (!private_network) GTEST_SKIP() << reason;
    }
    void TearDown() override {
        if (!form) return;
        form->statTimer->stop();
        form->thread->wait();
        delete form->statForm;
        delete form->thread;
        delete form->subscriptions;
        form.reset();
    }
    // A connected interface: its own configuration for alice, the lists,
    // and the engine reported up.
    QrConnectForm& connected(const std::string& server, uint16_t server_port) {
        wd.write("quorin.conf",
                 "[server]\ntraffic=60\nport=0\nlog=client.log\ndatatimeout=300\ncontrol_socket=127.0.0.1:30000\n"
                 "[remote]\nname=quorin\nserver=" +
                     server + ":" + std::to_string(server_port) +
                     "\nlogin=alice\npasswd=secret\nmtu=500\nmru=1400\nspeed_in=20000000\nspeed_out=20000000\n");
        wd.write("Subscriptions.ini", "[alice]\nQuorin\\passwd=secret\nQuorin\\remote\\server=" + server +
                                          "\nQuorin\\remote\\port=" + std::to_string(server_port) + "\n");
        wd.write("UI settings.ini",
                 "[server%20list]\n1\\Loopback=" + server +
                     "\n2\\By%20name=localhost\n"
                     "[speed_in%20list]\n1\\Slow=3000:6000\n2\\Fast=20000000\n"
                     "[speed_out%20list]\n1\\Slow=4000:9000\n2\\Fast=20000000\n");
        form = std::make_unique<QrConnectForm>();
        form->ConnectFinished();
        return *form;
    }
    static QAction* entry(QActionGroup* group, const QString& data) {
        for (QAction* a : group->actions())
            if (a->data().toString() == data) return a;
        ADD_FAILURE() << "no menu entry " << data.toStdString();
        return nullptr;
    }
    static QAction* menu_entry(QMenu* menu, const QString& text) {
        for (QAction* a : menu->actions())
            if (a->text() == text) return a;
        ADD_FAILURE() << "no menu entry " << text.toStdString();
        return nullptr;
    }

    static bool private_network;
    static std::string reason;
    ui_testing::working_dir wd;
    ui_testing::modal_script script;
    std::unique_ptr<QrConnectForm> form;
};
bool UiTray::private_network = false;
std::string UiTray::reason;

TEST_F(UiTray, IconColourFollowsTheLossTheConsoleReports) {
    PlayedConsole console;
    ASSERT_TRUE(console.listening);
    QrConnectForm& f = connected("203.0.113.5", 25555);
    // The first line only sets the rates' starting point.
    console.stat_line = stat_line(1000, 500, 0, 0, 0, 0);
    ASSERT_TRUE(wait_for([&] { return f.statForm->lastCounts().udp_in == 1000; }, step_timeout_s));

    enum { green, yellow, red, red_2 };
    struct {
        uint32_t packets_in, lost_in, packets_out, lost_out;
        int frame_before;
        int set, index;
    } const cases[] = {
        {1000, 49, 1000, 0, 3, green, 4},     {1000, 50, 1000, 0, 3, yellow, 4},
        {1000, 0, 1000, 199, 28, yellow, 29}, {1000, 0, 1000, 200, 29, red, 0},
        {1000, 299, 0, 0, 10, red, 11},       {1000, 300, 1000, 0, 14, red_2, 0},
        {1000, 0, 1000, 900, 15, red_2, 1},   {0, 0, 0, 0, 7, green, 8},
    };
    const QVector<QIcon>* sets[] = {&f.greenIcons, &f.yellowIcons, &f.redIcons, &f.red2Icons};
    uint64_t udp_in = 1000;
    for (const auto& c : cases) {
        // Data arrives with every line, so the icon animates.
        udp_in += 1500;
        console.stat_line = stat_line(udp_in, 700, c.packets_in, c.lost_in, c.packets_out, c.lost_out);
        f.statForm->send_query();
        ASSERT_TRUE(wait_for([&] { return f.statForm->lastCounts().udp_in == udp_in; }, step_timeout_s));
        EXPECT_TRUE(f.animating);
        f.frame = c.frame_before;
        f.animate_icon();
        EXPECT_EQ(f.frame, (c.frame_before + 1) % 30);
        EXPECT_EQ(f.trayIcon->icon().cacheKey(), sets[c.set]->at(c.index).cacheKey())
            << c.lost_in << "/" << c.packets_in << " " << c.lost_out << "/" << c.packets_out;
        EXPECT_EQ(f.trayIcon->toolTip(), tray_tooltip(qint64(udp_in), 700, 0));
    }

    // No data since the last line: the idle icon, and the ticks stop.
    f.statForm->send_query();
    ASSERT_TRUE(wait_for([&] { return !f.animating; }, step_timeout_s));
    EXPECT_EQ(f.trayIcon->icon().cacheKey(), f.idleIcon.cacheKey());
    const int frame = f.frame;
    f.animate_icon();
    EXPECT_EQ(f.frame, frame);
    EXPECT_EQ(f.trayIcon->icon().cacheKey(), f.idleIcon.cacheKey());
}

TEST_F(UiTray, QuitSavesTheWindowAndEndsTheEngineOrTheInterface) {
    for (const bool engine_up : {true, false}) {
        SCOPED_TRACE(engine_up ? "console up" : "console down");
        std::unique_ptr<PlayedConsole> console;
        if (engine_up) {
            console = std::make_unique<PlayedConsole>();
            ASSERT_TRUE(console->listening);
            console->stat_line = stat_line(1000, 500, 10, 0, 10, 0);
        }
        QrConnectForm& f = connected("203.0.113.5", 25555);
        int interface_ends = 0;
        QObject::connect(&f, &QrConnectForm::quit, [&] { interface_ends++; });
        if (engine_up) {
            ASSERT_TRUE(wait_for([&] { return f.statForm->lastCounts().udp_in == 1000; }, step_timeout_s));
        }
        const QRect place(30 + (engine_up ? 0 : 10), 40, 700, 520);
        f.statForm->setGeometry(place);
        ASSERT_EQ(f.statForm->geometry(), place) << "larger than the window's smallest size";
        f.statForm->show();
        f.trayIcon->show();

        f.quitAction->trigger();
        EXPECT_FALSE(f.statForm->isVisible());
        EXPECT_FALSE(f.trayIcon->isVisible());
        f.sync_settings();
        EXPECT_EQ(QSettings(interface_file, QSettings::IniFormat).value(key_pos).toRect(), place);
        if (engine_up) {
            // The engine ends the process once it has shut down.
            EXPECT_TRUE(wait_for([&] { return console->received.find("shutdown\n") != std::string::npos; },
                                 step_timeout_s))
                << console->received;
            EXPECT_EQ(interface_ends, 0);
        } else {
            // Nobody would end an invisible process: the interface ends.
            EXPECT_EQ(interface_ends, 1);
        }
        TearDown();
    }
}

// The real engine logged in to the reference server, driven from the tray
// menu and the statistics window's settings page.
TEST_F(UiTray, MenuCommandsReachTheEngine) {
    for (const char* prog : {"quorin", "refserver"})
        ASSERT_TRUE(e2e::bin_exists(prog)) << prog << " was not built";
    e2e::temp_dir engine_dir;
    e2e::refserver_proc rs;
    ASSERT_TRUE(rs.start(engine_dir, {"--user", "alice:secret"}));
    e2e::remote_conf remote;
    remote.port = rs.port;
    e2e::local_conf socks("socks5=1", "127.0.0.1", e2e::free_tcp_port());
    e2e::engine_proc engine;
    ASSERT_TRUE(engine.start(engine_dir, e2e::conf_text(console_port, {remote}, {socks}), console_port));

    // A connection through the engine opens the session.
    e2e::data_server echo(e2e::data_server::echo);
    int fd = e2e::socks5_connect_ip(socks.port, "127.0.0.1", echo.port());
    ASSERT_GE(fd, 0);
    std::string why;
    ASSERT_TRUE(e2e::echo_roundtrip(fd, 3, 20000, step_timeout_s, &why)) << why;
    e2e::close_fd(fd);
    std::string login_line;
    ASSERT_GE(rs.proc.wait_line("LOGIN ok alice", step_timeout_s, &login_line), 0);
    const std::string session = "show session " + std::to_string(e2e::refserver_proc::session_of(login_line));

    QrConnectForm& f = connected("127.0.0.1", rs.port);
    ASSERT_TRUE(wait_for([&] { return f.statForm->lastCounts().udp_in > 0; }, step_timeout_s)) << "no figures";

    const auto engine_says = [&](const std::string& command, const std::string& needle) {
        std::string reply;
        const bool seen = wait_for(
            [&] {
                reply = engine.console_command(command);
                return reply.find(needle) != std::string::npos;
            },
            step_timeout_s);
        return seen ? testing::AssertionSuccess() : testing::AssertionFailure() << command << ": " << reply;
    };
    const auto server_logs = [&](const std::string& needle, size_t at_least) {
        return wait_for([&] { return rs.proc.count_lines(needle) >= at_least; }, step_timeout_s)
                   ? testing::AssertionSuccess()
                   : testing::AssertionFailure() << "the server never logged " << needle;
    };

    // Incoming speed from the menu: the engine logs in again with it.
    entry(f.speedInGroup, "3000:6000")->trigger();
    EXPECT_TRUE(server_logs("speed_in 3000:6000", 1));
    EXPECT_EQ(f.speed_in_min, 3000u);
    EXPECT_EQ(f.speed_in_max, 6000u);
    // Outgoing speed from the menu, then typed on the settings page.
    entry(f.speedOutGroup, "4000:9000")->trigger();
    EXPECT_TRUE(engine_says(session, "Max 9000 Min 4000"));
    f.statForm->ui.speed_out->setEditText("12000");
    EXPECT_TRUE(f.statForm->ui.apply_but->isEnabled());
    f.statForm->ui.apply_but->click();
    EXPECT_TRUE(engine_says(session, "Max 12000 Min 12000"));
    EXPECT_FALSE(f.statForm->ui.apply_but->isEnabled());
    // The interface's own configuration follows, for the next start.
    EXPECT_NE(wd.read("quorin.conf").find("speed_out=12000\n"), std::string::npos) << wd.read("quorin.conf");

    // A change of server resets the session; so does Restart, once a new
    // connection has opened another one.
    entry(f.serverGroup, "localhost")->trigger();
    EXPECT_EQ(f.server, "localhost");
    EXPECT_TRUE(server_logs("RESET", 1));
    fd = e2e::socks5_connect_ip(socks.port, "127.0.0.1", echo.port());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(e2e::echo_roundtrip(fd, 4, 20000, step_timeout_s, &why)) << why;
    e2e::close_fd(fd);
    EXPECT_TRUE(server_logs("LOGIN ok alice", 2));
    menu_entry(f.trayMenu, "Restart")->trigger();
    EXPECT_TRUE(server_logs("RESET", 2));

    // Quit: the engine shuts down (with no interface of its own: -1).
    f.quitAction->trigger();
    EXPECT_TRUE(wait_for([&] { return !engine.proc.running(); }, step_timeout_s)) << "the engine did not end";
    int status = 0;
    ASSERT_TRUE(engine.proc.wait_exit(5, &status));
    EXPECT_EQ(status, 255);
}

}  // namespace
