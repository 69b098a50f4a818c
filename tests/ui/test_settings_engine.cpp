// Settings edited in the dialog and saved reach the real engine: it runs on
// the file the interface wrote, against the reference server, and its
// console shows the values. The interface puts the console on the fixed
// port 30000, so the test runs in a network namespace of its own.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QSpinBox>
#include <QTest>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>

#include "tests/ui/support/netns.h"
#include "tests/ui/support/ui_testing.h"
#include "ui/mycoolthread.h"
#include "ui/qrconnectform.h"
#include "ui/qrsettingsform.h"
#include "ui/statform.h"

namespace {

constexpr double step_timeout_s = 60;
constexpr uint16_t console_port = 30000;

testing::Environment* const qt = testing::AddGlobalTestEnvironment(new ui_testing::qt_environment);

void retype(QLineEdit* edit, const std::string& text) {
    edit->selectAll();
    QTest::keyClicks(edit, QString::fromStdString(text));
}

// errno of binding a UDP socket to 127.0.0.1:port (0 when it binds).
int udp_bind_error(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int error = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 0 : errno;
    close(fd);
    return error;
}

class UiSettingsEngine : public ::testing::Test {
protected:
    static void SetUpTestSuite() { private_network = ui_testing::enter_private_network(&reason); }
    void SetUp() override {
        if (!private_network) GTEST_SKIP() << reason;
        for (const char* prog : {"quorin", "refserver"}) ASSERT_TRUE(e2e::bin_exists(prog)) << prog << " was not built";
    }
    void TearDown() override {
        if (!form) return;
        delete form->statForm;
        delete form->thread;
        delete form->subscriptions;
        form.reset();
    }

    static bool private_network;
    static std::string reason;
    ui_testing::working_dir wd;
    ui_testing::modal_script script;
    std::unique_ptr<QrConnectForm> form;
};
bool UiSettingsEngine::private_network = false;
std::string UiSettingsEngine::reason;

TEST_F(UiSettingsEngine, EditedSettingsRunTheEngine) {
    e2e::data_server echo(e2e::data_server::echo);
    e2e::refserver_proc rs;
    ASSERT_TRUE(rs.start(wd.dir(),
                         {"--user", "alice:secret", "--map", "192.0.2.10:7=127.0.0.1:" + std::to_string(echo.port())}));
    const uint16_t udp_port = e2e::free_udp_port(), socks_port = e2e::free_tcp_port();
    wd.write("UI settings.ini",
             "[server%20list]\n1\\elsewhere=192.0.2.1\n2\\reference=127.0.0.1\n"
             "[speed_out%20list]\n1\\medium=40000:90000\n"
             "[port%20list]\n1\\" +
                 std::to_string(rs.port) + "=\n");
    // The interface's own file for alice, whose subscription keeps only the
    // password: everything else is chosen in the dialog.
    wd.write("quorin.conf",
             "[server]\ntraffic=60\nport=2080\nlog=client.log\ndatatimeout=300\n"
             "[remote]\nname=quorin\nserver=192.0.2.1:1\nlogin=alice\npasswd=secret\n");
    wd.write("Subscriptions.ini", "[alice]\nQuorin\\passwd=secret\n");
    form = std::make_unique<QrConnectForm>();
    QrSettingsForm& s = *form->settingsForm;

    script.execs = {[&](QDialog* dialog) {
        dialog->show();
        retype(s.ui.udp_port->lineEdit(), "127.0.0.1:" + std::to_string(udp_port));
        retype(s.ui.logname, "edited.log");
        s.ui.serveraddr->setCurrentIndex(1);
        s.ui.serverport->setCurrentIndex(0);
        retype(s.ui.speed_in->lineEdit(), "30000:60000");
        s.ui.speed_out->setCurrentIndex(0);
        retype(s.ui.mru->lineEdit(), "1200");
        s.ui.http_proxy->setChecked(false);
        s.ui.socks_port->setValue(socks_port);
        return 1;
    }};
    form->ShowSettingsForm();
    ASSERT_EQ(script.count("message"), 0);
    const std::string conf = wd.read("quorin.conf");
    ASSERT_NE(conf.find("server=127.0.0.1:" + std::to_string(rs.port) + "\n"), std::string::npos) << conf;

    std::error_code ec;
    std::filesystem::copy_file(e2e::bin_path("quorin"), wd.file("quorin"), ec);
    ASSERT_FALSE(ec) << ec.message();
    e2e::process engine;
    ASSERT_TRUE(engine.start({wd.file("quorin")}, wd.dir().path(), wd.file("stdout.txt"), wd.file("stderr.txt")));
    e2e::console console;
    ASSERT_TRUE(e2e::wait_until([&] { return !engine.running() || console.open(console_port, 0.5); }, step_timeout_s));
    ASSERT_TRUE(engine.running()) << wd.read("stderr.txt") << conf;

    // A connection through the SOCKS port chosen opens the session.
    int fd = e2e::socks5_connect_ip(socks_port, "192.0.2.10", 7);
    ASSERT_GE(fd, 0);
    std::string why;
    EXPECT_TRUE(e2e::echo_roundtrip(fd, 13, 50000, step_timeout_s, &why)) << why;
    e2e::close_fd(fd);
    std::string login;
    EXPECT_GE(rs.proc.wait_line("LOGIN ok alice", step_timeout_s, &login), 0);
    // The engine keeps the MRU without the 28 bytes of IP and UDP headers.
    EXPECT_NE(login.find("speed_in 30000:60000 mru 1172"), std::string::npos) << login;

    std::string reply;
    ASSERT_TRUE(console.command("show sessions\n", &reply));
    std::smatch id;
    ASSERT_TRUE(std::regex_search(reply, id, std::regex("ID: (-?[0-9]+), Name: 'quorin'"))) << reply;
    ASSERT_TRUE(console.command("show session " + id[1].str() + "\n", &reply));
    EXPECT_NE(reply.find("Max 90000 Min 40000"), std::string::npos) << "outgoing speed from the list\n" << reply;
    ASSERT_TRUE(console.command("show stat\n", &reply));
    e2e::stat_line stat;
    ASSERT_TRUE(e2e::parse_stat_line(reply, &stat)) << reply;
    EXPECT_GE(stat.local_in, 50000u);
    EXPECT_GT(stat.udp_in, 0u);

    EXPECT_EQ(udp_bind_error(udp_port), EADDRINUSE) << "the engine's UDP port";
    EXPECT_LT(e2e::tcp_connect("127.0.0.1", 3128, 1), 0) << "the HTTP proxy was switched off";
    EXPECT_NE(wd.read("edited.log").find("Quorin started"), std::string::npos);

    console.command("shutdown\n", &reply, 2);
    EXPECT_TRUE(engine.wait_exit(step_timeout_s));
}

}  // namespace
