// libquorin_ui.so loaded with dlopen by a stand-in engine (ui_host) under a
// private Xvfb with trayer: the start roads, the stage texts, the quit road
// with and without hanging up a dial-up link, and the end of the session;
// and loaded by the real engine, whose fatal error ends the interface.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QSettings>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/ui/support/xsession.h"

namespace {

const std::string host_path = QUORIN_BIN_DIR "/ui_host";
constexpr double run_timeout_s = 120;

std::string ui_conf(const std::string& login) {
    return "[server]\ntraffic=60\nport=2080\nlog=client.log\ndatatimeout=300\ncontrol_socket=127.0.0.1:30000\n"
           "[remote]\nname=quorin\nserver=192.0.2.1:25555\nlogin=" +
           login + "\npasswd=frompass\nmtu=500\nmru=1400\nspeed_in=500000\nspeed_out=2000\n";
}

class UiLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        mkdir(dir.file("peers").c_str(), 0700);
        mkdir(dir.file("run").c_str(), 0700);
    }
    void TearDown() override {
        // A link left up by a test is taken down.
        for (const char* name : {"isp", "other"}) {
            std::ifstream pid_file(dir.file(std::string("run/ppp-") + name + ".pid"));
            long pid = 0;
            if (pid_file >> pid && pid > 0) kill(pid_t(pid), SIGKILL);
        }
    }

    void start_x(bool tray) {
        std::string why;
        ASSERT_TRUE(x.start(tray, &why)) << why;
    }
    std::vector<std::string> env() const {
        return {"/usr/bin/env",
                "QT_QPA_PLATFORM=xcb",
                x.display_env(),
                "QUORIN_PPP_PEERS=" + dir.file("peers"),
                "QUORIN_PPP_RUNDIR=" + dir.file("run"),
                std::string("QUORIN_PPPD=") + QUORIN_FAKE_PPPD};
    }
    void start_host(int flag, const std::vector<std::string>& steps, const std::vector<std::string>& more_env = {}) {
        ASSERT_EQ(access(host_path.c_str(), X_OK), 0) << host_path << " was not built";
        std::vector<std::string> argv = env();
        argv.insert(argv.end(), more_env.begin(), more_env.end());
        argv.push_back(host_path);
        argv.push_back(std::to_string(flag));
        argv.insert(argv.end(), steps.begin(), steps.end());
        ASSERT_TRUE(host.start(argv, dir.path(), "", dir.file("host.err")));
    }
    // Waits for the host to end; its lines, and whether every step held.
    std::vector<std::string> finish(int expected_result) {
        int status = -1;
        EXPECT_TRUE(host.wait_exit(run_timeout_s, &status)) << "the host did not end";
        EXPECT_EQ(status, 0) << dir.read("host.err");
        std::vector<std::string> lines = host.lines();
        for (const std::string& l : lines) EXPECT_NE(l.compare(0, 4, "fail"), 0) << l << "\n" << dir.read("host.err");
        EXPECT_EQ(count(lines, "result " + std::to_string(expected_result)), 1) << dump(lines);
        EXPECT_EQ(count(lines, "late calls ok"), 1) << dump(lines);
        return lines;
    }
    static int count(const std::vector<std::string>& lines, const std::string& line) {
        int n = 0;
        for (const std::string& l : lines) n += l == line;
        return n;
    }
    static std::string dump(const std::vector<std::string>& lines) {
        std::string s;
        for (const std::string& l : lines) s += l + "\n";
        return s;
    }
    void link_pid(const char* name, long* pid) {
        std::ifstream f(dir.file(std::string("run/ppp-") + name + ".pid"));
        if (!(f >> *pid)) *pid = -1;
    }

    e2e::temp_dir dir;
    ui_testing::x_session x;
    e2e::process host;
};

const std::vector<std::string> connect_and_quit = {
    "wait-start", "progress 1", "label Reading config", "progress 8", "label All OK! Starting.",
    "startstat",  "tray",       "form-hidden",          "quit"};

TEST_F(UiLibrary, FastStartConnectsWithoutTheDialog) {
    start_x(true);
    dir.write("quorin.conf", ui_conf("alice"));
    dir.write("Subscriptions.ini", "[alice]\nQuorin\\passwd=stored\n");
    std::vector<std::string> steps = connect_and_quit;
    steps.insert(steps.end() - 1, "hold");
    start_host(0, steps);
    ASSERT_GE(host.wait_line("holding", run_timeout_s), 0) << dump(host.lines());
    EXPECT_TRUE(e2e::wait_until([&] { return x.docked_icons() >= 1; }, 30)) << "no icon docked in the tray";
    dir.write("go", "");
    finish(0);
    EXPECT_NE(dir.read("quorin.conf").find("passwd=stored"), std::string::npos)
        << "written again at connect, from the subscription";
}

TEST_F(UiLibrary, DialogIsShownUnlessAFastStartHasItsFile) {
    struct show_case {
        const char* name;
        int flag;
        bool conf;
    } cases[] = {{"fast start without quorin.conf", 0, false}, {"flag 1 with quorin.conf", 1, true}};
    start_x(true);
    for (const show_case& c : cases) {
        SCOPED_TRACE(c.name);
        std::remove(dir.file("quorin.conf").c_str());
        if (c.conf) dir.write("quorin.conf", ui_conf("alice"));
        start_host(c.flag, {"form-shown", "close"});
        const std::vector<std::string> lines = finish(0);
        EXPECT_EQ(count(lines, "engine started"), 0) << dump(lines);
    }
}

TEST_F(UiLibrary, NoTrayShowsABoxAndReturnsOne) {
    start_x(false);
    dir.write("quorin.conf", ui_conf("alice"));
    start_host(0, {"box Systray|OK"});
    const std::vector<std::string> lines = finish(1);
    EXPECT_EQ(count(lines, "box text I couldn't detect any system tray on this system."), 1) << dump(lines);
    EXPECT_EQ(count(lines, "engine started"), 0);
}

TEST_F(UiLibrary, StageTextsFollowTheEngine) {
    start_x(true);
    dir.write("quorin.conf", ui_conf("alice"));
    start_host(0, {"wait-start", "progress 1", "label Reading config", "progress 2", "label Init TAP adapter",
                   "progress 7", "label Waiting for adapter init.. ", "progress 7",
                   "label Waiting for adapter init.. 1", "progress 7", "label Waiting for adapter init.. 2",
                   "progress 6", "label Setting routes", "progress 7", "label Waiting for adapter init.. ",
                   "progress 7", "label Waiting for adapter init.. 3", "progress 9", "label Error starting TAP!!",
                   "progress 10", "label ", "progress 8", "label All OK! Starting.", "quit"});
    finish(0);
}

TEST_F(UiLibrary, QuitHangsUpTheDialledLinkWhenAsked) {
    start_x(true);
    dir.write("peers/isp", "");
    dir.write("quorin.conf", ui_conf("alice"));
    struct hang_up_case {
        const char* name;
        const char* hangup;
        bool still_up;
    } cases[] = {{"hang up", "true", false}, {"keep the link", "false", true}};
    for (const hang_up_case& c : cases) {
        SCOPED_TRACE(c.name);
        dir.write("Subscriptions.ini", std::string("[alice]\nDIAL\\CONNECTION=isp\nDIAL\\HANGUP=") + c.hangup + "\n");
        start_host(0, connect_and_quit);
        finish(0);
        long pid = -1;
        link_pid("isp", &pid);
        EXPECT_EQ(pid > 0 && kill(pid_t(pid), 0) == 0, c.still_up);
        EXPECT_EQ(dir.read("run/ppp-isp.terms"), c.still_up ? "" : "term\n");
        TearDown();
        std::remove(dir.file("run/ppp-isp.terms").c_str());
        std::remove(dir.file("run/ppp-isp.pid").c_str());
    }
}

TEST_F(UiLibrary, QuitLeavesLinksOfOtherNamesAlone) {
    start_x(true);
    dir.write("peers/isp", "");
    dir.write("peers/other", "");
    dir.write("quorin.conf", ui_conf("alice"));
    dir.write("Subscriptions.ini", "[alice]\nDIAL\\CONNECTION=isp\nDIAL\\HANGUP=true\n");
    e2e::process other;
    ASSERT_TRUE(other.start({"/usr/bin/env", "QUORIN_PPP_PEERS=" + dir.file("peers"),
                             "QUORIN_PPP_RUNDIR=" + dir.file("run"), QUORIN_FAKE_PPPD, "call", "other", "linkname",
                             "other", "updetach"},
                            dir.path()));
    int status = -1;
    ASSERT_TRUE(other.wait_exit(30, &status));
    ASSERT_EQ(status, 0);
    std::vector<std::string> steps = connect_and_quit;
    steps.insert(steps.end() - 1, "hold");
    start_host(0, steps);
    ASSERT_GE(host.wait_line("holding", run_timeout_s), 0) << dump(host.lines());
    // The dialled link goes away before the quit: nothing of that name runs.
    long isp = -1;
    link_pid("isp", &isp);
    ASSERT_GT(isp, 0);
    kill(pid_t(isp), SIGKILL);
    std::remove(dir.file("run/ppp-isp.pid").c_str());
    dir.write("go", "");
    finish(0);
    long pid = -1;
    link_pid("other", &pid);
    EXPECT_TRUE(pid > 0 && kill(pid_t(pid), 0) == 0) << "a link of another name stays up";
    EXPECT_EQ(dir.read("run/ppp-other.terms"), "");
}

// A second start in the same folder while the first runs: the engine
// cannot bind the UDP port that the first one holds (here the test holds
// it). Its fatal error comes while the interface is building its connecting
// window, and ends the process with the message and status 1, never a crash.
TEST_F(UiLibrary, SecondInstanceEndsCleanlyOnTheEnginesFatalError) {
    start_x(true);
    for (const char* file : {"quorin", "libquorin_ui.so"})
        std::filesystem::create_symlink(e2e::bin_path(file), dir.file(file));
    const int first = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    ASSERT_EQ(bind(first, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    socklen_t len = sizeof any;
    ASSERT_EQ(getsockname(first, reinterpret_cast<sockaddr*>(&any), &len), 0);
    // The interface writes quorin.conf again from alice's subscription.
    dir.write("quorin.conf", ui_conf("alice"));
    dir.write("Subscriptions.ini", "[alice]\nQuorin\\server\\port=" + std::to_string(ntohs(any.sin_port)) + "\n");
    for (int run = 0; run < 20; run++) {
        SCOPED_TRACE("run " + std::to_string(run));
        e2e::process second;
        ASSERT_TRUE(second.start({"/usr/bin/env", "QT_QPA_PLATFORM=xcb", x.display_env(), dir.file("quorin"), "faststart"},
                                 dir.path(), dir.file("stdout.txt"), dir.file("stderr.txt")));
        int status = -1;
        ASSERT_TRUE(second.wait_exit(run_timeout_s, &status));
        EXPECT_EQ(status, 1) << dir.read("stderr.txt");
        EXPECT_NE(dir.read("stderr.txt").find("Critical Error: cannot bind server udp port\n"), std::string::npos)
            << dir.read("stderr.txt");
    }
    close(first);
}

TEST_F(UiLibrary, EndOfSessionEndsTheInterfaceWithSettingsOnDisk) {
    start_x(true);
    dir.write("quorin.conf", ui_conf("alice"));
    dir.write("Subscriptions.ini", "[alice]\nQuorin\\passwd=stored\n");
    start_host(0, {"wait-start", "startstat", "tray", "sigterm"});
    finish(0);
    // Written at connect, on disk once the interface has ended.
    QSettings ini(QString::fromStdString(dir.file("Subscriptions.ini")), QSettings::IniFormat);
    EXPECT_EQ(ini.value("alice/Quorin/server/port").toInt(), 2080);
    struct stat st;
    ASSERT_EQ(stat(dir.file("Subscriptions.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// Opening a FIFO waits for a writer: in place of any file the interface
// reads, it held the start for good, SIGTERM included. The DVB card is on
// for the subscription, so that the presets are read as well.
TEST_F(UiLibrary, FifoInPlaceOfAFileHoldsNothing) {
    for (const char* lib : {"libdvb.so", "libKestrix.so", "libTeVii.so"})
        ASSERT_TRUE(e2e::bin_exists(lib)) << lib << " was not built";
    start_x(true);
    dir.write("tevii-sim.ini", "[Card]\nDevices=1\n[Device0]\nName=Simulated card\n");
    const char* const files[] = {"Subscriptions.ini", "Interface.ini", "UI settings.ini", "Satproviders.ini",
                                 "quorin.conf"};
    for (const char* name : files) {
        SCOPED_TRACE(name);
        for (const char* file : files) std::remove(dir.file(file).c_str());
        dir.write("quorin.conf", ui_conf("alice"));
        dir.write("Subscriptions.ini", "[alice]\nDVB\\Enabled=true\n");
        dir.write("libdvb.so", "");
        std::remove(dir.file(name).c_str());
        ASSERT_EQ(mkfifo(dir.file(name).c_str(), 0600), 0);
        start_host(1, {"form-shown"}, {"TEVII_SIMULATOR=" + dir.file("tevii-sim.ini")});
        // "ok form-shown", or "fail form-shown" once the host gave up.
        std::string shown;
        host.wait_line("form-shown", run_timeout_s, &shown);
        EXPECT_EQ(shown, "ok form-shown");
        host.signal(SIGTERM);
        if (!host.wait_exit(30)) {
            ADD_FAILURE() << "SIGTERM did not end the interface";
            host.kill_hard();
            continue;
        }
        finish(0);
    }
}

}  // namespace
