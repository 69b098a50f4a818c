// The engine program with the real interface library, under a private Xvfb
// with trayer and in a network namespace of its own, in a locale that
// writes decimal commas: a fast start, data through the reference server
// while the statistics window and the tray watch, and Quit from the tray.
// The engine's main routine runs in ui_host, whose driver thread reads the
// windows.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/ui/support/netns.h"
#include "tests/ui/support/xsession.h"

namespace {

constexpr double step_timeout_s = 90;
constexpr size_t chunk_bytes = 16384;
constexpr uint64_t transfer_min_bytes = 300000;

// "figures|name=value|..." as ui_host prints it.
std::map<std::string, std::string> figures(const std::string& line) {
    std::map<std::string, std::string> f;
    size_t at = line.find('|');
    while (at != std::string::npos) {
        const size_t next = line.find('|', at + 1);
        const std::string item = line.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
        const size_t eq = item.find('=');
        f[item.substr(0, eq)] = eq == std::string::npos ? "" : item.substr(eq + 1);
        at = next;
    }
    return f;
}

// "1.234 Kb" in a locale that groups with dots -> 1234.
long long kb(const std::string& text) {
    std::string digits;
    for (char c : text.substr(0, text.find(" Kb"))) {
        if (c >= '0' && c <= '9') digits += c;
    }
    return text.find(" Kb") == std::string::npos || digits.empty() ? -1 : std::stoll(digits);
}

class UiTrayEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() { private_network = ui_testing::enter_private_network(&reason); }
    void SetUp() override {
        if (!private_network) GTEST_SKIP() << reason;
        for (const char* prog : {"ui_host", "refserver", "libquorin_ui.so"})
            ASSERT_TRUE(std::filesystem::exists(e2e::bin_path(prog))) << prog << " was not built";
    }
    // A step's line from the host; "" on failure or time-out.
    std::string step(const std::string& name) {
        std::string line;
        const long at = host.wait_line("ok " + name, step_timeout_s, &line, from);
        if (at < 0) {
            ADD_FAILURE() << "no 'ok " << name << "':\n" << dump() << dir.read("host.err");
            return "";
        }
        from = size_t(at) + 1;
        return line;
    }
    std::string figures_before(const std::string& name) {
        const std::string ok = step(name);
        if (ok.empty() || from < 2) return "";
        return host.lines().at(from - 2);
    }
    std::string dump() {
        std::string s;
        for (const std::string& l : host.lines()) s += l + "\n";
        return s;
    }

    static bool private_network;
    static std::string reason;
    e2e::temp_dir dir;
    ui_testing::x_session x;
    e2e::refserver_proc rs;
    e2e::process host;
    size_t from = 0;
};
bool UiTrayEndToEnd::private_network = false;
std::string UiTrayEndToEnd::reason;

TEST_F(UiTrayEndToEnd, TransferShowsInTheWindowAndTheTrayThenQuit) {
    std::string why;
    ASSERT_TRUE(x.start(true, &why)) << why;
    // A locale of our own whose numbers have decimal commas, as the
    // engine's "%.2f" would print them if the interface left it in force.
    const std::string locales = dir.file("locales");
    std::filesystem::create_directory(locales);
    e2e::process localedef;
    ASSERT_TRUE(localedef.start({"/usr/bin/localedef", "-i", "de_DE", "-f", "UTF-8", locales + "/de_DE.UTF-8"}, "",
                                "/dev/null", dir.file("localedef.err")));
    int status = -1;
    ASSERT_TRUE(localedef.wait_exit(step_timeout_s, &status));
    ASSERT_TRUE(std::filesystem::exists(locales + "/de_DE.UTF-8/LC_NUMERIC")) << dir.read("localedef.err");

    e2e::data_server echo(e2e::data_server::echo);
    ASSERT_TRUE(rs.start(dir, {"--user", "alice:secret", "--account", "127.0.0.1:0", "--map",
                               "192.0.2.10:7=127.0.0.1:" + std::to_string(echo.port())}));
    std::string account_line;
    ASSERT_GE(rs.proc.wait_line("ACCOUNT ", 10, &account_line), 0);
    const std::string account_port = account_line.substr(8);

    std::error_code ec;
    std::filesystem::create_hard_link(e2e::bin_path("libquorin_ui.so"), dir.file("libquorin_ui.so"), ec);
    if (ec) std::filesystem::copy_file(e2e::bin_path("libquorin_ui.so"), dir.file("libquorin_ui.so"), ec);
    ASSERT_FALSE(ec) << ec.message();
    const uint16_t socks_port = e2e::free_tcp_port();
    // The interface's own configuration and alice's subscription, from
    // which a fast start writes the configuration again and connects
    // without the dialog.
    dir.write("quorin.conf",
              "[server]\ntraffic=60\nport=0\nlog=client.log\ndatatimeout=300\ncontrol_socket=127.0.0.1:30000\n"
              "[remote]\nname=quorin\nserver=127.0.0.1:" +
                  std::to_string(rs.port) +
                  "\nlogin=alice\npasswd=secret\nmtu=500\nmru=1400\nspeed_in=20000000\nspeed_out=20000000\n"
                  "[local]\nremote=quorin\nservice_int=2\nport=127.0.0.1:" +
                  std::to_string(socks_port) + "\n");
    dir.write("Subscriptions.ini", "[alice]\nQuorin\\passwd=secret\nQuorin\\remote\\server=127.0.0.1\n"
                                   "Quorin\\remote\\port=" +
                                       std::to_string(rs.port) +
                                       "\nQuorin\\server\\port=0\nQuorin\\server\\debug=1\nQuorin\\local\\http=false\n"
                                       "Quorin\\local\\socks_port=" +
                                       std::to_string(socks_port) +
                                       "\nQuorin\\remote\\speed_in_min=20000000\n"
                                       "Quorin\\remote\\speed_in_max=20000000\n"
                                       "Quorin\\remote\\speed_out_min=20000000\n"
                                       "Quorin\\remote\\speed_out_max=20000000\n");

    ASSERT_TRUE(host.start({"/usr/bin/env", "QT_QPA_PLATFORM=xcb", x.display_env(), "LOCPATH=" + locales,
                            "LC_ALL=de_DE.UTF-8", "QUORIN_ACCOUNT_HOST=127.0.0.1:" + account_port,
                            e2e::bin_path("ui_host"), "engine", "tray", "figures", "tray-click", "figures flowing",
                            "hold", "figures quiet", "tray-quit"},
                           dir.path(), "", dir.file("host.err")));
    ASSERT_FALSE(step("tray").empty());
    EXPECT_TRUE(e2e::wait_until([&] { return x.docked_icons() >= 1; }, step_timeout_s)) << "no icon in the tray";
    const auto idle = figures(figures_before("figures"));
    EXPECT_LE(std::stod(idle.at("newest")), 0) << "nothing flows yet";
    EXPECT_EQ(idle.at("visible"), "0") << "the tray shows the window";
    EXPECT_EQ(idle.at("login"), "alice");

    // Data flows through the engine until the window's plot has shown it.
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> moved{0};
    std::thread flow([&] {
        int fd = e2e::socks5_connect_ip(socks_port, "192.0.2.10", 7);
        std::vector<uint8_t> out(chunk_bytes), back(chunk_bytes);
        e2e::byte_stream bytes(5);
        while (fd >= 0 && !stop) {
            bytes.fill(out.data(), out.size());
            if (!e2e::send_all(fd, out.data(), out.size()) || !e2e::recv_exact(fd, back.data(), back.size()) ||
                back != out)
                break;
            moved += chunk_bytes;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        e2e::close_fd(fd);
    });
    ASSERT_FALSE(step("tray-click").empty());
    const auto flowing = figures(figures_before("figures flowing"));
    // Enough for the totals to count in Kb.
    e2e::wait_until([&] { return moved.load() >= transfer_min_bytes; }, step_timeout_s);
    stop = true;
    flow.join();
    ASSERT_FALSE(flowing.empty());
    EXPECT_GT(std::stod(flowing.at("newest")), 0);
    EXPECT_GE(std::stoi(flowing.at("positive")), 1);
    EXPECT_EQ(flowing.at("visible"), "1") << "a click on the icon shows the window";
    ASSERT_GE(moved.load(), transfer_min_bytes) << "the data did not come back through the engine";

    // The engine's own line keeps its decimal points in this locale.
    e2e::console console;
    ASSERT_TRUE(console.open(30000, step_timeout_s));
    std::string line;
    ASSERT_TRUE(console.command("show stat\n", &line));
    EXPECT_TRUE(std::regex_search(line, std::regex("/[0-9]+\\.[0-9]{2}/[0-9]+/[0-9]+/[0-9]+\\.[0-9]{2}"))) << line;
    e2e::stat_line engine_view;
    ASSERT_TRUE(e2e::parse_stat_line(line, &engine_view)) << line;

    // Once the plot has fallen back, the figures and the tooltip hold all
    // that went through, in this locale's grouping.
    dir.write("go", "");
    const auto after = figures(figures_before("figures quiet"));
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(std::stod(after.at("newest")), 0);
    EXPECT_GE(std::stoi(after.at("positive")), 1);
    const long long udp_in_kb = kb(after.at("udpin"));
    EXPECT_GE(udp_in_kb, (long long)(moved.load() / 1000)) << after.at("udpin");
    EXPECT_LE(udp_in_kb, (long long)(engine_view.udp_in / 1000 + 100)) << after.at("udpin");
    EXPECT_GE(kb(after.at("tcpout")), (long long)(moved.load() / 1000)) << after.at("tcpout");
    const std::string tooltip = after.at("tooltip");
    EXPECT_EQ(tooltip.rfind("In: " + after.at("udpin") + " / Out: " + after.at("udpout") + " / Compression: ", 0),
              0u)
        << tooltip;
    EXPECT_TRUE(std::regex_search(tooltip, std::regex("Compression: -?[0-9]+\\.[0-9]{2} %$"))) << tooltip;
    EXPECT_EQ(after.at("tarif"), "Standard") << "the balance from the account service";
    EXPECT_EQ(after.at("balance"), "100.00");

    // Quit from the tray: the engine shuts down and the process ends as the
    // engine program does when its interface ends.
    ASSERT_FALSE(step("tray-quit").empty());
    status = -1;
    ASSERT_TRUE(host.wait_exit(step_timeout_s, &status)) << "Quit did not end the process";
    EXPECT_EQ(status, 1) << dir.read("host.err");
    EXPECT_NE(dir.read("client.log").find("Good bye"), std::string::npos) << dir.read("client.log");
    EXPECT_NE(dir.read("Interface.ini").find("POS="), std::string::npos) << "the window state is kept";
}

// The stand-in engine has no console: Quit from the tray cannot reach an
// engine, and the interface ends by itself rather than leave a process
// with neither window nor icon.
TEST_F(UiTrayEndToEnd, QuitWithoutTheEngineEndsTheInterface) {
    std::string why;
    ASSERT_TRUE(x.start(true, &why)) << why;
    dir.write("quorin.conf",
              "[server]\ntraffic=60\nport=2080\nlog=client.log\ndatatimeout=300\ncontrol_socket=127.0.0.1:30000\n"
              "[remote]\nname=quorin\nserver=192.0.2.1:25555\nlogin=alice\npasswd=secret\nmtu=500\nmru=1400\n"
              "speed_in=500000\nspeed_out=2000\n");
    ASSERT_TRUE(host.start({"/usr/bin/env", "QT_QPA_PLATFORM=xcb", x.display_env(), e2e::bin_path("ui_host"), "0",
                            "wait-start", "startstat", "tray", "tray-quit"},
                           dir.path(), "", dir.file("host.err")));
    ASSERT_FALSE(step("tray-quit").empty());
    int status = -1;
    ASSERT_TRUE(host.wait_exit(step_timeout_s, &status)) << "the interface did not end";
    EXPECT_EQ(status, 0) << dir.read("host.err");
    const std::string out = dump();
    EXPECT_NE(out.find("result 0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("late calls ok"), std::string::npos) << out;
    EXPECT_NE(dir.read("Interface.ini").find("POS="), std::string::npos) << "the window state is kept";
}

}  // namespace
