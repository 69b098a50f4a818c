// The engine configuration file as the interface writes and reads it, and
// what the engine's own reader makes of the interface's file.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "engine/config.h"
#include "engine/globals.h"
#include "engine/startup.h"
#include "platform/dynlib.h"
#include "platform/sleep.h"
#include "tests/engine/support/child.h"
#include "tests/engine/support/engine_testing.h"
#include "tests/ui/support/netns.h"
#include "ui/core/connection_settings.h"

namespace {

using test_support::read_file;
using test_support::temp_dir;

// Every field, one per line, so that a difference names the field. A
// disabled service is not in the file: only that it is off counts.
std::string describe(const ConnectionSettings& s) {
    std::ostringstream o;
    auto svc = [&o](const char* name, const LocalService& v) {
        o << name << "=" << v.enabled;
        if (v.enabled) o << "," << v.ip.toStdString() << "," << v.port;
        o << "\n";
    };
    o << "settings_local=" << s.settings_local << "\nport=" << s.port << "\nport_addr=" << s.port_addr.toStdString()
      << "\ntraffic=" << s.traffic << "\ndebug=" << s.debug << "\nlog=" << s.log.toStdString()
      << "\ndatatimeout=" << s.datatimeout << "\nsat_ip=" << s.sat_ip.toStdString()
      << "\nserver=" << s.server.toStdString() << ":" << s.server_port << "\nspeed_in=" << s.speed_in_min << ":"
      << s.speed_in_max << "\nspeed_out=" << s.speed_out_min << ":" << s.speed_out_max << "\nmtu=" << s.mtu
      << "\nmru=" << s.mru << "\nlogin=" << s.login.toStdString() << "\npasswd=" << s.passwd.toStdString()
      << "\ntap=" << s.tap << "\n";
    // Without the tunnel its sections are not in the file either.
    if (s.tap)
        o << "tap_ip=" << s.tap_ip.toStdString() << "\ntun_timeout=" << s.tap_tun_timeout
          << "\ndhcp=" << s.tap_config_dhcp << "\ndns_server=" << s.tap_dns_server
          << "\nroute_replace=" << s.tap_route_replace << "\nptp_ip=" << s.tap_ptp_ip.toStdString() << "\n";
    svc("http", s.http);
    svc("int3", s.int3);
    svc("int4", s.int4);
    svc("socks", s.socks);
    return o.str();
}

// Settings as a subscription would hold them.
ConnectionSettings typical() {
    ConnectionSettings s;
    s.port = 2080;
    s.traffic = 60;
    s.log = "client.log";
    s.datatimeout = 300;
    s.server = "127.0.0.1";
    s.server_port = 25555;
    s.speed_in_min = s.speed_in_max = 500000;
    s.speed_out_min = s.speed_out_max = 2000;
    s.mtu = 500;
    s.mru = 1400;
    s.login = "alice";
    s.passwd = "secret";
    s.http = {true, "127.0.0.1", 3128};
    s.socks = {true, "127.0.0.1", 1080};
    s.int3 = {false, "127.0.0.1", 3129};
    s.int4 = {false, "127.0.0.1", 3130};
    s.tap_ip = "10.0.0.2";
    s.tap_ptp_ip = "10.0.0.1";
    s.tap_tun_timeout = 20;
    s.tap_config_dhcp = true;
    return s;
}

std::string written(const ConnectionSettings& s, bool dvb) {
    temp_dir d;
    EXPECT_TRUE(write_conf(s, dvb, QString::fromStdString(d.file("quorin.conf"))));
    return read_file(d.file("quorin.conf"));
}

ConnectionSettings read_text(const std::string& text, ConnectionSettings start = ConnectionSettings{}) {
    temp_dir d;
    d.write("quorin.conf", text);
    EXPECT_TRUE(read_conf(start, QString::fromStdString(d.file("quorin.conf"))));
    return start;
}

// ------------------------------------------------------------- line rules

TEST(UiConfLine, TrimAndValue) {
    struct line_case {
        std::string in;
        const char* trimmed;
        const char* value;
    } cases[] = {
        {"  \t\x01key=1\r\n", "key=1", "1"},
        {"\xC3\xA9\xFFkey = a b  \n", "key = a b  ", "a b  "},
        {"   # debug=1", "", ""},
        {"#x", "", ""},
        {"key", "key", ""},
        {"passwd=ab#cd", "passwd=ab#cd", "ab#cd"},
        {"key#value=1", "key#value=1", "value=1"},
        {"key=  #c", "key=  #c", ""},
        {"[remote]  # comment", "[remote]  # comment", "comment"},
        {std::string(1100, ' ') + "key=1", "", ""},
    };
    for (const line_case& c : cases) {
        std::vector<char> buf(c.in.begin(), c.in.end());
        buf.resize(std::max<size_t>(buf.size(), conf_line_buffer_bytes) + 1, 0);
        char* t = conf_line_trim(buf.data());
        EXPECT_STREQ(t, c.trimmed) << c.in;
        EXPECT_STREQ(conf_line_value(t), c.value) << c.in;
    }
}

// ------------------------------------------------------------- the writer

TEST(UiConfWriter, ServerSectionOfPlainSettings) {
    const std::string text = written(typical(), false);
    EXPECT_EQ(text.substr(0, text.find("[remote]")),
              "[server]\ntraffic=60\nport=2080\nlog=client.log\ndatatimeout=300\ncontrol_socket=127.0.0.1:30000\n");
}

TEST(UiConfWriter, WholeFileInOrder) {
    ConnectionSettings s = typical();
    s.debug = 3;
    s.sat_ip = "10.9.9.9";
    s.speed_in_min = 1000;
    s.speed_in_max = 8000;
    s.int3.enabled = true;
    s.int4 = {true, "", 3130};
    s.tap = true;
    s.tap_ip = "10.0.5.7";
    s.tap_config_dhcp = false;
    s.tap_route_replace = true;
    s.tap_dns_server = false;
    EXPECT_EQ(written(s, false),
              "[server]\ntraffic=60\ndebug=3\nport=2080\nlog=client.log\ndatatimeout=300\n"
              "control_socket=127.0.0.1:30000\nsat_ip=10.9.9.9\n"
              "[remote]\nname=quorin\nserver=127.0.0.1:25555\nlogin=alice\npasswd=secret\nmtu=500\nmru=1400\n"
              "speed_in=1000:8000\nspeed_out=2000\n"
              "[local]\nremote=quorin\nservice_int=0\nport=127.0.0.1:3128\n"
              "[local]\nremote=quorin\nservice_int=3\nport=127.0.0.1:3129\n"
              "[local]\nremote=quorin\nservice_int=4\nport=3130\n"
              "[local]\nremote=quorin\nservice_int=2\nport=127.0.0.1:1080\n"
              "[local]\nremote=quorin\ntun_timeout=20\ntun_init=manual\nroute=replace\ndns=local\n"
              "ptp_ip=10.0.0.1\ntunnel=10.0.5.7:3001\n"
              "[local]\nremote=quorin\ntransparent\nport=10.0.5.7:3000\n");
}

TEST(UiConfWriter, DvbSocketLineComesFirst) {
    ConnectionSettings s = typical();
    s.port_addr = "10.1.2.3";
    const std::string with = written(s, true), without = written(s, false);
    EXPECT_NE(with.find("port=127.0.0.1:2080\nport=10.1.2.3:2080\n"), std::string::npos) << with;
    EXPECT_EQ(without.find("127.0.0.1:2080"), std::string::npos) << without;
    ConnectionSettings plain = typical();
    EXPECT_EQ(written(plain, true).find("port=127.0.0.1:2080"), std::string::npos)
        << "without a port address there is one socket on every address already";
}

TEST(UiConfWriter, FileHoldsThePasswordForItsOwnerOnly) {
    temp_dir d;
    const std::string path = d.file("quorin.conf");
    d.write("quorin.conf", "old\n");
    chmod(path.c_str(), 0644);
    ASSERT_TRUE(write_conf(typical(), false, QString::fromStdString(path)));
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(write_conf(typical(), false, QString::fromStdString(d.file("no-dir/quorin.conf"))));
}

// Whatever stands at quorin.conf, a link to a regular file is the only
// thing besides a regular file that is written: its target is replaced and
// the link stays. A device, a FIFO or a directory is neither written nor
// read, nor does it lose its mode; a FIFO is not even waited on.
TEST(UiConfWriter, OnlyARegularFileIsWrittenOrRead) {
    struct stand_case {
        const char* name;
        std::function<bool(const temp_dir&)> make;  // false: not allowed here
        int error;                                  // 0: written
    } const cases[] = {
        {"link to a file", [](const temp_dir& d) {
             mkdir(d.file("real").c_str(), 0700);
             d.write("real/quorin.conf", "earlier\n");
             return symlink("real/quorin.conf", d.file("quorin.conf").c_str()) == 0;
         }, 0},
        {"link to a device node", [](const temp_dir& d) {
             if (mknod(d.file("null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) return false;
             chmod(d.file("null").c_str(), 0666);
             return symlink("null", d.file("quorin.conf").c_str()) == 0;
         }, EINVAL},
        {"FIFO", [](const temp_dir& d) {
             return mkfifo(d.file("quorin.conf").c_str(), 0666) == 0 && chmod(d.file("quorin.conf").c_str(), 0666) == 0;
         }, EINVAL},
        {"link to a directory", [](const temp_dir& d) {
             mkdir(d.file("dir").c_str(), 0777);
             return symlink("dir", d.file("quorin.conf").c_str()) == 0;
         }, EISDIR},
    };
    std::string skipped;
    for (const stand_case& c : cases) {
        SCOPED_TRACE(c.name);
        temp_dir d;
        const std::string path = d.file("quorin.conf");
        if (!c.make(d)) {
            skipped += std::string(c.name) + ": " + std::strerror(errno) + "; ";
            continue;
        }
        // A reader keeps a writer from waiting, so that the old writer's
        // fault shows as a wrong answer and not as a hang.
        const int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        struct stat before;
        ASSERT_EQ(stat(path.c_str(), &before), 0);
        errno = 0;
        EXPECT_EQ(write_conf(typical(), false, QString::fromStdString(path)), c.error == 0);
        EXPECT_EQ(errno, c.error);
        struct stat after, link;
        ASSERT_EQ(stat(path.c_str(), &after), 0);
        ASSERT_EQ(lstat(path.c_str(), &link), 0);
        if (c.error == 0) {
            EXPECT_TRUE(S_ISLNK(link.st_mode)) << "the link stays a link";
            EXPECT_NE(read_file(path).find("passwd=secret\n"), std::string::npos);
            EXPECT_EQ(after.st_mode & 0777, 0600u);
            EXPECT_EQ(std::distance(std::filesystem::directory_iterator(d.file("real")), {}), 1)
                << "no new file left beside the target";
        } else {
            EXPECT_EQ(after.st_mode, before.st_mode);
            EXPECT_EQ(after.st_rdev, before.st_rdev);
            char byte;
            if (reader >= 0 && S_ISFIFO(after.st_mode)) {
                EXPECT_LE(read(reader, &byte, 1), 0) << "nothing written into it";
            }
            ConnectionSettings s = typical();
            EXPECT_FALSE(read_conf(s, QString::fromStdString(path)));
        }
        if (reader >= 0) close(reader);
    }
    if (!skipped.empty()) GTEST_SKIP() << "not made here: " << skipped;
}

// A text reaches the engine as written, or is refused before the file is
// touched.
TEST(UiConfWriter, TextsTheEngineCannotReadBackAreRefused) {
    struct text_case {
        QString text;
        conf_text_fault fault;
    } const cases[] = {
        {"secret", conf_text_fault::none},
        {"se#cret", conf_text_fault::none},
        {QString::fromLatin1("\xE9mile"), conf_text_fault::none},
        {"x\n[local]\nremote=quorin\nsocks5\nport=0.0.0.0:1080", conf_text_fault::line_break},
        {"a\rb", conf_text_fault::line_break},
        {QString("a") + QChar(0) + "b", conf_text_fault::line_break},
        {"se cret", conf_text_fault::blank},
        {" secret", conf_text_fault::blank},
        {"se\tcret", conf_text_fault::blank},
        {"#secret", conf_text_fault::comment},
        {QString::fromUtf8("\xD0\xBF\xD0\xB0\xD1\x80\xD0\xBE\xD0\xBB\xD1\x8C"), conf_text_fault::not_latin1},
        {"fifteen-chars-1", conf_text_fault::none},
        {"sixteen-chars-12", conf_text_fault::too_long},
    };
    for (const text_case& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        EXPECT_EQ(conf_text_check(c.text, engine_login_max_chars), c.fault);
        // The engine's own reader agrees on the texts that fit one line.
        if (c.fault != conf_text_fault::line_break && c.fault != conf_text_fault::not_latin1) {
            const std::string line = "passwd=" + std::string(c.text.toLatin1().constData());
            EXPECT_EQ(conf_split(line.c_str()).substr(0, engine_login_max_chars) == line.substr(7),
                      c.fault == conf_text_fault::none);
        }

        temp_dir d;
        const std::string path = d.file("quorin.conf");
        d.write("quorin.conf", "earlier\n");
        ConnectionSettings s = typical();
        s.passwd = c.text;
        EXPECT_EQ(write_conf(s, false, QString::fromStdString(path)), c.fault == conf_text_fault::none);
        if (c.fault != conf_text_fault::none) {
            EXPECT_EQ(read_file(path), "earlier\n");
            ASSERT_EQ(conf_text_problems(s).size(), 1);
            EXPECT_STREQ(conf_text_problems(s)[0].key, "passwd");
        }
    }
    // Every text the file or the subscription keeps is looked at.
    ConnectionSettings s = typical();
    for (QString* text : {&s.port_addr, &s.log, &s.sat_ip, &s.server, &s.login, &s.passwd, &s.http.ip, &s.int3.ip,
                          &s.int4.ip, &s.socks.ip, &s.tap_ip, &s.tap_ptp_ip})
        *text += "\n";
    EXPECT_EQ(conf_text_problems(s).size(), 12);
}

// Each text at its longest is written on a line the engine reads whole (an
// fgets piece as long as the engine's) and as the value meant; one byte
// more is refused before the file is touched.
TEST(UiConfWriter, EveryTextFitsOneLineOfTheEngine) {
    using CS = ConnectionSettings;
    struct text_case {
        const char* key;
        conf_text_field field;
        QString* (*text)(CS&);
        const char *before, *after;  // the rest of its line
        conf_text_fault one_more;
    } const cases[] = {
        {"port", conf_text_field::port_addr, [](CS& s) { return &s.port_addr; }, "port=", ":65535",
         conf_text_fault::line_too_long},
        {"log", conf_text_field::log, [](CS& s) { return &s.log; }, "log=", "", conf_text_fault::line_too_long},
        {"sat_ip", conf_text_field::sat_ip, [](CS& s) { return &s.sat_ip; }, "sat_ip=", "",
         conf_text_fault::line_too_long},
        {"server", conf_text_field::server, [](CS& s) { return &s.server; }, "server=", ":65535",
         conf_text_fault::line_too_long},
        {"login", conf_text_field::login, [](CS& s) { return &s.login; }, "login=", "", conf_text_fault::too_long},
        {"passwd", conf_text_field::passwd, [](CS& s) { return &s.passwd; }, "passwd=", "",
         conf_text_fault::too_long},
        {"http", conf_text_field::service_ip, [](CS& s) { return &s.http.ip; }, "port=", ":65535",
         conf_text_fault::line_too_long},
        {"tunnel", conf_text_field::tap_ip, [](CS& s) { return &s.tap_ip; }, "tunnel=", ":3001",
         conf_text_fault::line_too_long},
        {"ptp_ip", conf_text_field::ptp_ip, [](CS& s) { return &s.tap_ptp_ip; }, "ptp_ip=", "",
         conf_text_fault::line_too_long},
    };
    for (const text_case& c : cases) {
        SCOPED_TRACE(c.key);
        ConnectionSettings s = typical();
        s.port = s.server_port = s.http.port = 65535;
        s.tap = true;
        const QString longest(conf_text_max_chars(c.field), 'a');
        *c.text(s) = longest;
        temp_dir d;
        const std::string path = d.file("quorin.conf");
        ASSERT_TRUE(write_conf(s, false, QString::fromStdString(path)));
        const std::string line = c.before + longest.toStdString() + c.after + "\n";
        if (c.one_more == conf_text_fault::line_too_long) {
            EXPECT_EQ(int(line.size()), conf_line_max_bytes) << "the bound is the engine's, not below it";
        }
        FILE* f = std::fopen(path.c_str(), "r");
        ASSERT_NE(f, nullptr);
        char piece[conf_line_buffer_bytes];
        int found = 0;
        while (std::fgets(piece, sizeof piece, f)) {
            EXPECT_NE(std::strchr(piece, '\n'), nullptr) << "a line read as two: " << piece;
            if (piece != line) continue;
            ++found;
            EXPECT_EQ(conf_split(piece), longest.toStdString() + c.after);
        }
        std::fclose(f);
        EXPECT_EQ(found, 1);

        d.write("quorin.conf", "earlier\n");
        *c.text(s) += "a";
        EXPECT_FALSE(write_conf(s, false, QString::fromStdString(path)));
        EXPECT_EQ(read_file(path), "earlier\n");
        const QVector<conf_text_problem> problems = conf_text_problems(s);
        ASSERT_EQ(problems.size(), 1);
        EXPECT_STREQ(problems[0].key, c.key);
        EXPECT_EQ(problems[0].fault, c.one_more);
    }
}

// "127.0.0.1:99" as the server would be written server=127.0.0.1:99:25555,
// which the engine reads as port 99.
TEST(UiConfWriter, AColonInAHostThatAPortFollowsIsRefused) {
    for (conf_text_field f : {conf_text_field::server, conf_text_field::port_addr, conf_text_field::service_ip,
                              conf_text_field::tap_ip}) {
        EXPECT_EQ(conf_text_check(f, "127.0.0.1:99"), conf_text_fault::colon);
    }
    EXPECT_EQ(conf_text_check(conf_text_field::log, "logs:1"), conf_text_fault::none);
    ConnectionSettings s = typical();
    s.server = "127.0.0.1:99";
    temp_dir d;
    EXPECT_FALSE(write_conf(s, false, QString::fromStdString(d.file("quorin.conf"))));
    ASSERT_EQ(conf_text_problems(s).size(), 1);
    EXPECT_EQ(conf_text_problems(s)[0].fault, conf_text_fault::colon);
}

// ------------------------------------------------------------- the reader

TEST(UiConfReader, EdgeCases) {
    struct reader_case {
        const char* name;
        std::string text;
        std::function<void(ConnectionSettings&)> expect;  // changes from the reader's defaults
    } cases[] = {
        {"no remote keeps its defaults", "[server]\nport=2080\n",
         [](ConnectionSettings& s) { s.port = 2080; }},
        {"single speed gives both bounds", "[remote]\nspeed_in=700\nspeed_out=100:900\n",
         [](ConnectionSettings& s) {
             s.speed_in_min = s.speed_in_max = 700;
             s.speed_out_min = 100;
             s.speed_out_max = 900;
         }},
        {"two remote sections are not ours", "[remote]\nname=a\n[remote]\nname=b\n",
         [](ConnectionSettings& s) { s.settings_local = false; }},
        {"adjacent remote headers count too", "[remote]\n[remote]\nmtu=900\n",
         [](ConnectionSettings& s) {
             s.settings_local = false;
             s.mtu = 900;
         }},
        {"unknown service number", "[local]\nremote=quorin\nservice_int=9\nport=1\n",
         [](ConnectionSettings& s) { s.settings_local = false; }},
        {"section without a service", "[local]\nremote=quorin\nport=3128\n",
         [](ConnectionSettings& s) { s.settings_local = false; }},
        {"dhcp is the default, only manual clears it", "[local]\ntun_init=dhcp\nport=10.0.0.9:1\n",
         [](ConnectionSettings& s) {
             s.tap = true;
             s.tap_ip = "10.0.0.9";
         }},
        {"route and dns with other values mark the tunnel and change nothing",
         "[local]\nroute=metric\ndns=server\nport=10.0.0.9:1\n",
         [](ConnectionSettings& s) {
             s.tap = true;
             s.tap_ip = "10.0.0.9";
         }},
        {"service_int after a tunnel key makes the section a service",
         "[local]\nremote=quorin\ntun_timeout=5\nservice_int=0\nport=127.0.0.1:3128\n",
         [](ConnectionSettings& s) {
             s.tap_tun_timeout = 5;
             s.http = {true, "127.0.0.1", 3128};
         }},
        {"manual, replace and local dns", "[local]\ntun_init=manual\nroute=replace\ndns=local\nptp_ip=10.1.0.1\n",
         [](ConnectionSettings& s) {
             s.tap = true;
             s.tap_config_dhcp = false;
             s.tap_route_replace = true;
             s.tap_dns_server = false;
             s.tap_ptp_ip = "10.1.0.1";
         }},
        {"comment lines and a # in the password",
         "  # [remote]\n[remote]\n#login=x\n   #mtu=1\npasswd=se#cret\n",
         [](ConnectionSettings& s) { s.passwd = "se#cret"; }},
        {"log also matches login, which is not a server key", "[server]\nlogin=a\n",
         [](ConnectionSettings& s) { s.log = "a"; }},
        {"server without a port changes nothing", "[remote]\nserver=example\n", [](ConnectionSettings&) {}},
        {"service with only a port", "[local]\nservice_int=2\nport=1080\n",
         [](ConnectionSettings& s) { s.socks = {true, "", 1080}; }},
        {"dvb socket line alone still gives the port", "[server]\nport=127.0.0.1:2099\n",
         [](ConnectionSettings& s) { s.port = 2099; }},
        {"numbers stop at their first non-digit", "[server]\ntraffic=12abc\ndatatimeout=x\n",
         [](ConnectionSettings& s) {
             s.traffic = 12;
             s.datatimeout = 0;
         }},
        {"header with text behind it", "[remote]  # main\nmtu=1000\n",
         [](ConnectionSettings& s) { s.mtu = 1000; }},
    };
    for (const reader_case& c : cases) {
        ConnectionSettings expected;
        expected.settings_local = true;
        expected.mtu = 500;
        expected.mru = 1460;
        expected.speed_in_min = 1000;
        expected.speed_in_max = 8000;
        expected.speed_out_min = 500;
        expected.speed_out_max = 3000;
        expected.tap_config_dhcp = true;
        expected.tap_tun_timeout = 10;
        expected.http.enabled = expected.socks.enabled = expected.int3.enabled = expected.int4.enabled = false;
        c.expect(expected);
        EXPECT_EQ(describe(read_text(c.text)), describe(expected)) << c.name;
    }
}

TEST(UiConfReader, UnopenableFileLeavesTheSettings) {
    ConnectionSettings s = typical();
    EXPECT_FALSE(read_conf(s, "/nonexistent/quorin.conf"));
    EXPECT_EQ(describe(s), describe(typical()));
    temp_dir d;
    EXPECT_FALSE(conf_file_present(QString::fromStdString(d.file("quorin.conf"))));
    mkdir(d.file("quorin.conf").c_str(), 0700);
    EXPECT_FALSE(conf_file_present(QString::fromStdString(d.file("quorin.conf")))) << "a directory is no file";
    rmdir(d.file("quorin.conf").c_str());
    d.write("quorin.conf", "");
    EXPECT_TRUE(conf_file_present(QString::fromStdString(d.file("quorin.conf"))));
}

// Settings the writer can express come back unchanged.
std::vector<std::pair<const char*, ConnectionSettings>> round_trip_cases() {
    std::vector<std::pair<const char*, ConnectionSettings>> cases;
    ConnectionSettings s = typical();
    s.settings_local = true;
    cases.push_back({"typical", s});
    s.port_addr = "10.1.2.3";
    s.debug = 2;
    s.speed_in_min = 1000;
    s.speed_in_max = 8000;
    s.speed_out_min = 500;
    s.speed_out_max = 3000;
    s.sat_ip = "192.0.2.1";
    cases.push_back({"port address, debug, speed ranges, sat ip", s});
    s = typical();
    s.settings_local = true;
    s.http = {true, "", 8080};
    s.int3 = {true, "10.0.0.3", 3129};
    s.int4 = {true, "127.0.0.1", 3130};
    s.socks.enabled = false;
    s.passwd = "p#ss";
    cases.push_back({"services, empty address, # in the password", s});
    s = typical();
    s.settings_local = true;
    s.tap = true;
    s.tap_ip = "10.0.5.7";
    s.tap_tun_timeout = 25;
    s.tap_config_dhcp = false;
    s.tap_route_replace = true;
    s.tap_dns_server = false;
    s.tap_ptp_ip = "10.128.0.1";
    cases.push_back({"tunnel", s});
    return cases;
}

TEST(UiConfRoundTrip, ReaderGivesBackWhatTheWriterWrote) {
    for (const auto& c : round_trip_cases()) {
        for (bool dvb : {false, true}) {
            const ConnectionSettings back = read_text(written(c.second, dvb));
            EXPECT_EQ(describe(back), describe(c.second)) << c.first << (dvb ? " with DVB" : "");
        }
    }
}

// ------------------------------------------------------------- the engine's reader

class UiConfEngineTest : public engine_testing::ConfigFileTest {
protected:
    static void SetUpTestSuite() {
        std::string why;
        in_private_network = ui_testing::enter_private_network(&why);
        reason = why;
    }
    void SetUp() override {
        if (!in_private_network) GTEST_SKIP() << reason;
        ConfigFileTest::SetUp();
        dynlib_set_search_dir(QUORIN_TEST_LIBS "/tun_full");
        bind_tunnel_library();
        sleep_set_impl(engine_testing::record_sleep);
    }
    void TearDown() override {
        if (!in_private_network) return;
        sleep_set_impl(nullptr);
        dynlib_set_search_dir(QUORIN_BIN_DIR);
        ConfigFileTest::TearDown();
    }

    // The local address a registered socket is bound to, "a.b.c.d:port", or
    // for a connected one its peer, "->a.b.c.d:port".
    static std::string bound(int fd) {
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        const bool connected = getpeername(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0;
        if (!connected) sa = test_support::local_address(fd);
        char ip[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &sa.sin_addr, ip, sizeof ip);
        return (connected ? "->" : "") + std::string(ip) + ":" + std::to_string(ntohs(sa.sin_port));
    }
    std::vector<std::string> sockets_of(uint8_t type, int local_index = -1) {
        std::vector<std::string> out;
        for (int i = 0; i < fd_poll.count; ++i) {
            if (fd_poll.comp[i].type != type) continue;
            if (local_index >= 0 && (fd_poll.comp[i].local_delayed & local_index_mask) != local_index) continue;
            out.push_back(bound(fd_poll.entries[i].fd));
        }
        return out;
    }

    static bool in_private_network;
    static std::string reason;
};
bool UiConfEngineTest::in_private_network = false;
std::string UiConfEngineTest::reason;

TEST_F(UiConfEngineTest, EngineReadsWhatTheInterfaceMeant) {
    struct engine_case {
        const char* name;
        std::function<void(ConnectionSettings&)> change;
        bool dvb;
        std::vector<std::string> udp;                        // server sockets, in file order
        std::vector<std::pair<int, std::string>> services;   // mode and listener, in file order
    } cases[] = {
        {"typical", [](ConnectionSettings&) {}, false, {"0.0.0.0:2080"},
         {{mode_service_int, "127.0.0.1:3128"}, {mode_socks5, "127.0.0.1:1080"}}},
        {"port address with the DVB socket",
         [](ConnectionSettings& s) {
             s.port_addr = "127.0.0.5";
             s.speed_in_min = 1000;
             s.speed_in_max = 8000;
         },
         true, {"127.0.0.1:2080", "127.0.0.5:2080"},
         {{mode_service_int, "127.0.0.1:3128"}, {mode_socks5, "127.0.0.1:1080"}}},
        {"all four services, one without an address",
         [](ConnectionSettings& s) {
             s.http = {true, "", 8080};
             s.int3 = {true, "127.0.0.3", 3129};
             s.int4 = {true, "127.0.0.4", 3130};
             s.debug = 1;
             s.datatimeout = 5;
         },
         false, {"0.0.0.0:2080"},
         {{mode_service_int, "0.0.0.0:8080"},
          {mode_service_int, "127.0.0.3:3129"},
          {mode_service_int, "127.0.0.4:3130"},
          {mode_socks5, "127.0.0.1:1080"}}},
        {"tunnel",
         [](ConnectionSettings& s) {
             s.tap = true;
             s.tap_ip = "127.0.5.7";
             s.tap_config_dhcp = false;
             s.http.enabled = false;
         },
         false, {"0.0.0.0:2080"}, {{mode_socks5, "127.0.0.1:1080"}, {mode_tunnel, "->127.0.0.1:3001"}, {mode_transparent, "127.0.5.7:3000"}}},
    };
    for (const engine_case& c : cases) {
        SCOPED_TRACE(c.name);
        ConnectionSettings s = typical();
        s.log = QString::fromStdString(dir.file("client.log"));
        c.change(s);
        load(written(s, c.dvb));

        EXPECT_EQ(runtime.traffic_s, s.traffic);
        EXPECT_EQ(runtime.debug, s.debug);
        EXPECT_EQ(runtime.datatimeout_s, std::max<int>(s.datatimeout, 12));
        EXPECT_NE(runtime.log_file, nullptr);
        EXPECT_EQ(sockets_of(fd_server_udp), c.udp);
        EXPECT_EQ(sockets_of(fd_console_listener), std::vector<std::string>{"127.0.0.1:30000"});

        ASSERT_EQ(remote_count, 1);
        const remote_record& r = remote_table[0];
        EXPECT_STREQ(r.name, "quorin");
        EXPECT_EQ(r.server_addr, inet_addr("127.0.0.1"));
        EXPECT_EQ(ntohs(r.server_port), s.server_port);
        EXPECT_EQ(std::string(r.login), s.login.toStdString());
        EXPECT_EQ(std::string(r.passwd), s.passwd.toStdString());
        EXPECT_EQ(r.speed_in_min, s.speed_in_min);
        EXPECT_EQ(r.speed_in_max, s.speed_in_max);
        EXPECT_EQ(r.speed_out_min, s.speed_out_min);
        EXPECT_EQ(r.speed_out_max, s.speed_out_max);
        EXPECT_EQ(r.mtu, s.mtu - 28);
        EXPECT_EQ(r.mru, s.mru - 28);

        ASSERT_EQ(local_count, int(c.services.size()));
        for (int i = 0; i < local_count; ++i) {
            EXPECT_EQ(local_table[i].mode, c.services[i].first) << "section " << i;
            EXPECT_EQ(local_table[i].remotes, std::vector<int>{0}) << "section " << i;
            EXPECT_EQ(sockets_of(fd_listener, i), std::vector<std::string>{c.services[i].second}) << "section " << i;
        }
        if (s.tap) {
            using calls_fn = const char* (*)();
            void* lib = dynlib_load(TUN_DLL);
            const std::string calls = reinterpret_cast<calls_fn>(dynlib_symbol(lib, "test_tun_calls"))();
            EXPECT_NE(calls.find("SetTunPtP(7f000507,0a000001)"), std::string::npos) << calls;
            EXPECT_EQ(calls.find("SetTunDHCP"), std::string::npos) << "manual addressing: " << calls;
            EXPECT_NE(calls.find("SetTunTcpListenPort(3000)"), std::string::npos) << calls;
            reinterpret_cast<void (*)()>(dynlib_symbol(lib, "test_tun_reset"))();
        }
        TearDown();
        SetUp();
    }
}

}  // namespace
