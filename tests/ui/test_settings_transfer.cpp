// The settings dialog's rules without widgets: the "UI settings.ini" lists,
// the port and speed texts, the choice rule and the transfer both ways.
#include <gtest/gtest.h>

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <string>
#include <vector>

#include "ui/core/settings_transfer.h"

namespace {

TEST(UiSettingsLists, OrderAndCaseAsTheCaseBlindIniClass) {
    QTemporaryDir dir;
    QFile file(dir.filePath("UI settings.ini"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(
        "[Server List]\nc\\k=3\n"
        "[server list]\nb\\primary=203.0.113.5\nB\\x=1\na\\Zeta=1\na\\alpha=2\n10\\k=10\n2\\k=2\n"
        "empty\\sub\\x=1\n[server list/d]\nname=4\n"
        "[port%20list]\n1\\25555=ignored\n2\\2080=\n");
    file.close();
    QSettings ini(file.fileName(), QSettings::IniFormat);
    auto entries = [&](const char* group, bool values) {
        std::vector<std::string> out;
        for (const UiListEntry& e : ui_list_entries(ini, group, values))
            out.push_back((values ? ui_list_item_text(e) : e.label + (e.value.isValid() ? "=" : "")).toStdString());
        return out;
    };
    // "10" sorts before "2"; "a" takes "alpha" before "Zeta"; "B" and "b"
    // are one group whose first key is "primary"; "[Server List]" is the
    // same list; a group with only deeper keys is an entry without a key.
    EXPECT_EQ(entries(list_server, true),
              (std::vector<std::string>{"k ( 10 )", "k ( 2 )", "alpha ( 2 )", "primary ( 203.0.113.5 )", "k ( 3 )",
                                        "name ( 4 )", " (  )"}));
    EXPECT_EQ(entries(list_port, false), (std::vector<std::string>{"25555", "2080"})) << "no values read";
    EXPECT_TRUE(entries(list_speed_in, true).empty());
}

TEST(UiSettingsTransfer, PortSpeedAndAddressTexts) {
    struct port_case {
        const char* text;
        const char* addr;
        uint16_t port;
    } ports[] = {{"10.0.0.5:2046", "10.0.0.5", 2046},
                 {"2046", "", 2046},
                 {":2046", "", 0},
                 {"abc", "", 0},
                 {"70000", "", 4464},
                 {"host:", "host", 0}};
    for (const port_case& c : ports) {
        QString addr = "earlier";
        uint16_t port = 1;
        take_udp_port(c.text, &addr, &port);
        EXPECT_EQ(udp_port_text(addr, port).toStdString(),
                  *c.addr ? c.addr + (":" + std::to_string(c.port)) : std::to_string(c.port))
            << c.text;
    }
    // Refused speeds leave 7:9 as it was.
    struct speed_case {
        const char* text;
        uint32_t min, max;
    } speeds[] = {
        {"1000:8000", 1000, 8000}, {"700", 700, 700}, {":9000", 7, 9},      {"0", 7, 9},    {"", 7, 9}, {"-5", 7, 9},
        {"9000:0", 7, 9},          {"abc:1", 7, 9},   {"4294967295", 7, 9}, {"1:2:3", 7, 9}};
    for (const speed_case& c : speeds) {
        uint32_t min = 7, max = 9;
        EXPECT_EQ(take_speed(c.text, &min, &max), c.min != 7) << c.text;
        EXPECT_EQ(speed_pair_text(min, max).toStdString(), speed_pair_text(c.min, c.max).toStdString()) << c.text;
    }
    EXPECT_EQ(speed_text(500000, 500000), "500000");
    for (const char* bad : {"...", "10.0.0.", "010.0.0.1", "300.1.1.1", ""}) EXPECT_FALSE(is_dotted_ipv4(bad)) << bad;
    EXPECT_TRUE(is_dotted_ipv4("10.0.5.7"));
    for (const char* bad : {"010.0.0.1", "127.1", "localhost", "127.0.0.1 "}) EXPECT_FALSE(is_listen_address(bad)) << bad;
    EXPECT_TRUE(is_listen_address("") && is_listen_address("127.0.0.1"));
}

TEST(UiSettingsTransfer, ChoiceRule) {
    const QStringList texts = {"fast ( 2000:16000 )", "9000"};
    const QVector<QVariant> data = {QString("2000:16000"), QVariant()};
    struct choice_case {
        int index;
        const char* text;
        const char* value;
    } cases[] = {{0, "fast ( 2000:16000 )", "2000:16000"},  // a list item: its data
                 {0, "1000:8000", "1000:8000"},             // typed over an item
                 {1, "9000", "9000"},                       // added by Enter, without data
                 {-1, "", ""}};                             // an empty list
    for (const choice_case& c : cases)
        EXPECT_EQ(chosen_value({texts, data, c.index, c.text}).toStdString(), c.value) << c.text;
}

TEST(UiSettingsTransfer, ShownThenTaken) {
    const char* const listed = "198.51.100.2";
    // Stored fields, edits (-1: none), what is shown, what acceptance takes.
    struct transfer_case {
        int debug;
        const char *server, *ptp;
        int tun_timeout;
        const char* dial;
        bool no_servers;
        int check_debug, choose_ptp;
        int shown_server, shown_ptp, shown_dial;
        int taken_debug;
        const char *taken_server, *taken_ptp;
        int taken_timeout;
    } cases[] = {
        {3, listed, "10.128.0.1", 20, "", false, -1, -1, 1, 1, 0, 3, listed, "10.128.0.1", 20},
        {3, listed, "10.128.0.1", 20, "isp", false, 0, -1, 1, 1, 1, 0, listed, "10.128.0.1", 20},
        {0, listed, "10.128.0.1", 20, "ISP", false, 1, -1, 1, 1, 0, 1, listed, "10.128.0.1", 20},
        {0, "192.0.2.99", "10.128.0.1", 20, "office", false, -1, -1, 0, 1, 0, 0, "198.51.100.1", "10.128.0.1", 20},
        {0, listed, "10.128.0.1", 20, "", true, -1, -1, -1, 1, 0, 0, listed, "10.128.0.1", 20},
        {0, listed, "10.128.0.1", 20, "", false, -1, 0, 1, 1, 0, 0, listed, "10.128.0.1", 20},
        {0, listed, "10.0.0.9", 20, "", false, -1, -1, 1, 0, 0, 0, listed, "10.0.0.9", 20},
        {0, listed, "10.128.0.1", 20, "", false, -1, 3, 1, 1, 0, 0, listed, "172.19.0.1", 20},
        {0, listed, "10.128.0.1", 0, "", false, -1, -1, 1, 1, 0, 0, listed, "10.128.0.1", 30},
    };
    for (const transfer_case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        ConnectionSettings s;
        s.debug = uint16_t(c.debug);
        s.server = c.server;
        s.tap_ptp_ip = c.ptp;
        s.tap_tun_timeout = uint16_t(c.tun_timeout);
        s.speed_in_min = s.speed_in_max = s.speed_out_min = s.speed_out_max = 500000;
        s.tap_ip = "10.0.0.2";
        // The widgets as the dialog builds them, with a two-server list.
        settings_form_state st;
        st.tun_timeout = 30;
        if (!c.no_servers) st.serveraddr = {{"one", "two"}, {QString("198.51.100.1"), QString(listed)}, -1, ""};
        st.dial1 = {{"don't dial", "isp"}, {QVariant(), QVariant()}, 0, ""};
        st.ptp_ip = {{"10.0.0.1", "10.128.0.1", "192.168.255.1", "172.19.0.1"}, QVector<QVariant>(4), 0, ""};
        show_settings(s, c.dial, true, &st);
        EXPECT_EQ(st.serveraddr.index, c.shown_server);
        EXPECT_EQ(st.ptp_ip.index, c.shown_ptp);
        EXPECT_EQ(st.dial1.index, c.shown_dial);
        EXPECT_EQ(st.disconnect, *c.dial != 0) << "follows the hang-up key whenever an entry is named";
        EXPECT_EQ(st.debug, c.debug != 0);
        EXPECT_EQ(st.speed_in.text, "500000");
        if (c.check_debug >= 0) st.debug = c.check_debug;
        if (c.choose_ptp >= 0) st.ptp_ip.text = st.ptp_ip.texts[st.ptp_ip.index = c.choose_ptp];
        EXPECT_FALSE(take_settings(st, &s).any());
        EXPECT_EQ(s.debug, c.taken_debug);
        EXPECT_EQ(s.server, c.taken_server);
        EXPECT_EQ(s.tap_ptp_ip, c.taken_ptp);
        EXPECT_EQ(s.tap_tun_timeout, c.taken_timeout);
    }
}

// A refusal line names the field and the reason; a password's never shows
// the password, and a value too long for the box shows its start.
TEST(UiSettingsTransfer, RefusalLines) {
    ConnectionSettings s;
    s.server = "203.0.113.5";
    s.passwd = "se cret";
    s.log = QString(2000, 'a');
    QStringList lines;
    for (const conf_text_problem& p : conf_text_problems(s)) lines << refusal_line(p);
    EXPECT_EQ(lines.join("\n").toStdString(),
              ("log \"" + QString(refusal_text_max_chars, 'a') + "...\": " +
               conf_text_fault_text(conf_text_fault::line_too_long) + "\npasswd: " +
               conf_text_fault_text(conf_text_fault::blank))
                  .toStdString());
}

}  // namespace
