// Subscriptions.ini and the pick lists of "UI settings.ini".
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QSettings>

#include <functional>
#include <string>

#include "tests/engine/support/child.h"
#include "ui/core/settings_files.h"

namespace {

using test_support::temp_dir;

QString path_in(const temp_dir& d, const char* name) { return QString::fromStdString(d.file(name)); }

TEST(UiSubscriptions, NewLoginLoadsTheDefaults) {
    temp_dir d;
    QSettings ini(path_in(d, "Subscriptions.ini"), QSettings::IniFormat);
    ini.beginGroup("newcomer");
    ConnectionSettings s;
    s.tun_present = true;
    load_subscription(ini, s);
    EXPECT_EQ(s.port, 2080);
    EXPECT_EQ(s.datatimeout, 300);
    EXPECT_EQ(s.log, "client.log");
    EXPECT_EQ(s.traffic, 60);
    EXPECT_EQ(s.debug, 0);
    EXPECT_EQ(s.speed_in_min, 500000u);
    EXPECT_EQ(s.speed_in_max, 500000u);
    EXPECT_EQ(s.speed_out_min, 2000u);
    EXPECT_EQ(s.speed_out_max, 2000u);
    EXPECT_EQ(s.mtu, 500);
    EXPECT_EQ(s.mru, 1400);
    EXPECT_EQ(s.server, default_server_address);
    EXPECT_EQ(s.server_port, 25555);
    EXPECT_TRUE(s.http.enabled && s.socks.enabled);
    EXPECT_FALSE(s.int3.enabled || s.int4.enabled);
    EXPECT_EQ(s.int4.port, 3130);
    EXPECT_TRUE(s.tap) << "tap defaults to the library being there";
    EXPECT_EQ(s.tap_ip, "10.0.0.2");
    EXPECT_EQ(s.tap_ptp_ip, "10.0.0.1");
    EXPECT_EQ(s.tap_tun_timeout, 20);
    EXPECT_TRUE(s.tap_config_dhcp && s.tap_dns_server);
    EXPECT_FALSE(s.tap_route_replace);
    EXPECT_EQ(stored_password(ini), "");
}

TEST(UiSubscriptions, StoredValuesComeBackAndTapNeedsTheLibrary) {
    temp_dir d;
    ConnectionSettings s;
    s.port = 2066;
    s.port_addr = "10.0.0.5";
    s.passwd = "secret";
    s.speed_in_min = 1000;
    s.speed_in_max = 4000000000u;
    s.server = "192.0.2.7";
    s.server_port = 25000;
    s.int4 = {true, "127.0.0.4", 4444};
    s.tap = true;
    s.tap_ip = "10.0.0.18";
    {
        QSettings ini(path_in(d, "Subscriptions.ini"), QSettings::IniFormat);
        ini.beginGroup("alice");
        write_subscription(ini, s, "isp", true);
    }
    QSettings ini(path_in(d, "Subscriptions.ini"), QSettings::IniFormat);
    EXPECT_EQ(ini.childGroups(), QStringList{"alice"});
    ini.beginGroup("alice");
    EXPECT_EQ(ini.value(key_dial_connection).toString(), "isp");
    EXPECT_TRUE(ini.value(key_dial_hangup).toBool());
    EXPECT_EQ(ini.value("Quorin/remote/speed_in_max").toUInt(), 4000000000u) << "speeds are unsigned";
    for (bool library : {true, false}) {
        ConnectionSettings back;
        back.tun_present = library;
        load_subscription(ini, back);
        EXPECT_EQ(back.port, 2066);
        EXPECT_EQ(back.port_addr, "10.0.0.5");
        EXPECT_EQ(back.passwd, "secret");
        EXPECT_EQ(back.speed_in_max, 4000000000u);
        EXPECT_EQ(back.server, "192.0.2.7");
        EXPECT_EQ(back.server_port, 25000);
        EXPECT_EQ(back.int4.port, 4444);
        EXPECT_TRUE(back.int4.enabled);
        EXPECT_EQ(back.tap_ip, "10.0.0.18");
        EXPECT_EQ(back.tap, library) << "a stored tap holds only with libtun.so there";
    }
}

TEST(UiSubscriptions, FileIsKeptFromOtherUsers) {
    temp_dir d;
    const QString path = path_in(d, "Subscriptions.ini");
    struct stat st;
    protect_subscriptions_file(path);
    EXPECT_NE(stat(d.file("Subscriptions.ini").c_str(), &st), 0) << "nothing is made before there is something to keep";
    {
        QSettings ini(settings_location(path), QSettings::IniFormat);
        for (const char* password : {"secret", "other"}) {
            ini.setValue("alice/Quorin/passwd", password);
            QString why;
            EXPECT_TRUE(save_settings_file(ini, path, true, &why)) << why.toStdString();
            ASSERT_EQ(stat(d.file("Subscriptions.ini").c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0600u) << "made for its owner, kept so when the settings class rewrites it";
        }
    }
    chmod(d.file("Subscriptions.ini").c_str(), 0644);
    protect_subscriptions_file(path);
    ASSERT_EQ(stat(d.file("Subscriptions.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// Root changes the mode of anything it opens: only a regular file of the
// process's own user is made private, also through a link.
TEST(UiSubscriptions, NothingElseChangesMode) {
    struct mode_case {
        const char* name;
        std::function<bool(const temp_dir&)> make;  // false: not allowed here
    } const cases[] = {
        {"link to a device node", [](const temp_dir& d) {
             return mknod(d.file("null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0 &&
                    chmod(d.file("null").c_str(), 0666) == 0 &&
                    symlink("null", d.file("Subscriptions.ini").c_str()) == 0;
         }},
        {"file of another user", [](const temp_dir& d) {
             d.write("Subscriptions.ini", "[alice]\n");
             return chown(d.file("Subscriptions.ini").c_str(), 65534, 65534) == 0 &&
                    chmod(d.file("Subscriptions.ini").c_str(), 0644) == 0 && geteuid() != 65534;
         }},
        {"link to a file of another user", [](const temp_dir& d) {
             d.write("theirs.ini", "[alice]\n");
             return chown(d.file("theirs.ini").c_str(), 65534, 65534) == 0 &&
                    chmod(d.file("theirs.ini").c_str(), 0644) == 0 && geteuid() != 65534 &&
                    symlink("theirs.ini", d.file("Subscriptions.ini").c_str()) == 0;
         }},
    };
    std::string skipped;
    for (const mode_case& c : cases) {
        SCOPED_TRACE(c.name);
        temp_dir d;
        if (!c.make(d)) {
            skipped += std::string(c.name) + "; ";
            continue;
        }
        struct stat before, after;
        ASSERT_EQ(stat(d.file("Subscriptions.ini").c_str(), &before), 0);
        protect_subscriptions_file(path_in(d, "Subscriptions.ini"));
        ASSERT_EQ(stat(d.file("Subscriptions.ini").c_str(), &after), 0);
        EXPECT_EQ(after.st_mode, before.st_mode);
    }
    if (!skipped.empty()) GTEST_SKIP() << "not made here (needs root): " << skipped;
}

TEST(UiLists, FirstKeyOfEachChildGroup) {
    temp_dir d;
    d.write("UI settings.ini",
            "[server%20list]\n"
            "1\\primary=203.0.113.5\n"
            "2\\backup=203.0.113.6\n"
            "2\\zzz=ignored\n"
            "[speed_in%20list]\n"
            "fast\\Fast=2000:16000\n"
            "slow\\Slow=700\n"
            "[port%20list]\n"
            "p1\\25555=anything\n");
    QSettings lists(path_in(d, "UI settings.ini"), QSettings::IniFormat);
    const QVector<UiListEntry> servers = read_ui_list(lists, list_server);
    ASSERT_EQ(servers.size(), 2);
    EXPECT_EQ(servers[0].label, "primary");
    EXPECT_EQ(servers[0].value.toString(), "203.0.113.5");
    EXPECT_EQ(ui_list_item_text(servers[0]), "primary ( 203.0.113.5 )");
    EXPECT_EQ(servers[1].label, "backup") << "one entry per child group, from its first key";
    const QVector<UiListEntry> speeds = read_ui_list(lists, list_speed_in);
    ASSERT_EQ(speeds.size(), 2);
    EXPECT_EQ(speeds[0].value.toString(), "2000:16000");
    const QVector<UiListEntry> ports = read_ui_list(lists, list_port);
    ASSERT_EQ(ports.size(), 1);
    EXPECT_EQ(ports[0].label, "25555");
    EXPECT_TRUE(read_ui_list(lists, list_speed_out).isEmpty());
}

TEST(UiLists, ChildGroupWithoutKeysGivesAnEmptyEntry) {
    temp_dir d;
    QSettings lists(path_in(d, "UI settings.ini"), QSettings::IniFormat);
    lists.setValue("server list/empty/sub/x", 1);
    const QVector<UiListEntry> servers = read_ui_list(lists, list_server);
    ASSERT_EQ(servers.size(), 1);
    EXPECT_EQ(servers[0].label, "");
    EXPECT_EQ(servers[0].value.toString(), "");
    EXPECT_EQ(ui_list_item_text(servers[0]), " (  )");
}

TEST(UiSpeeds, TextsMatchingAndSplitting) {
    EXPECT_EQ(speed_text(2000, 2000), "2000");
    EXPECT_EQ(speed_text(1000, 8000), "1000:8000");
    EXPECT_EQ(speed_pair_text(2000, 2000), "2000:2000");
    struct match_case {
        const char* data;
        uint32_t min, max;
        bool matches;
    } matches[] = {
        {"2000", 2000, 2000, true},   {"2000:2000", 2000, 2000, true}, {"500:3000", 500, 3000, true},
        {"3000", 500, 3000, false},   {"", 0, 0, false},               {"0", 0, 0, true},
    };
    for (const match_case& m : matches)
        EXPECT_EQ(speed_matches(m.data, m.min, m.max), m.matches) << m.data << " " << m.min << ":" << m.max;
    struct split_case {
        const char* value;
        uint32_t min, max;
    } splits[] = {{"4000:9000", 4000, 9000}, {":9000", 0, 0}, {"9000", 9000, 9000}, {"abc", 0, 0}, {"7:x", 7, 0}};
    for (const split_case& c : splits) {
        uint32_t a = 1, b = 1;
        split_speed(c.value, &a, &b);
        EXPECT_EQ(a, c.min) << c.value;
        EXPECT_EQ(b, c.max) << c.value;
    }
}

}  // namespace
