// The configuration reader: line rules, key quirks, tables, clamps and the
// sockets it makes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "engine/config.h"
#include "engine/globals.h"
#include "engine/log.h"
#include "engine/loop.h"
#include "engine/session.h"
#include "platform/net.h"
#include "tests/engine/support/child.h"
#include "tests/engine/support/engine_testing.h"

using namespace test_support;

namespace {

uint32_t ip(const char* text) { return inet_addr(text); }

class ConfigTest : public engine_testing::ConfigFileTest {
protected:
    // Index of the n-th descriptor entry of a type, or -1.
    int entry_of_type(uint8_t type, int n = 0) {
        for (int i = 0; i < fd_poll.count; ++i)
            if (fd_poll.comp[i].type == type && n-- == 0) return i;
        return -1;
    }
    int count_of_type(uint8_t type) {
        int n = 0;
        for (int i = 0; i < fd_poll.count; ++i) n += fd_poll.comp[i].type == type;
        return n;
    }
};

// ------------------------------------------------------------- line rules

TEST(ConfigLine, TrimSkipsBlanksControlAndHighBytes) {
    struct trim_case {
        const char* in;
        const char* out;
    } cases[] = {
        {"  \t\x01\xC3\xA9key=1\r\n", "key=1"},
        {"key=1\rrest", "key=1"},
        {"   # debug=1", ""},
        {"#x", ""},
        {"[remote]   # comment\n", "[remote]   # comment"},
        {"\n", ""},
        {"key = a b  \n", "key = a b  "},
    };
    for (const trim_case& c : cases) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%s", c.in);
        EXPECT_STREQ(trim(buf), c.out) << c.in;
    }
}

TEST(ConfigLine, ValueIsOneWordBehindEqualsOrHash) {
    struct split_case {
        const char* in;
        const char* value;
    } cases[] = {
        {"key=value", "value"},      {"key = value", "value"},  {"key=\t value more", "value"},
        {"key", ""},                 {"key=", ""},              {"key = #comment", ""},
        {"key#value", "value"},      {"key#a=b", "a=b"},        {"key=1#x", "1#x"},
        {"key=a=b", "a=b"},          {"k e y=v", "v"},
    };
    for (const split_case& c : cases) EXPECT_EQ(conf_split(c.in), c.value) << c.in;
}

TEST(ConfigLine, StripEolCutsTrailingLineEndsAndBlanks) {
    char s[] = "name \t\r\n";
    strip_eol(s);
    EXPECT_STREQ(s, "name");
}

// ------------------------------------------------------------- [server]

TEST_F(ConfigTest, EmptyFileKeepsDefaults) {
    load("");
    EXPECT_EQ(runtime.ttcp, 1);
    EXPECT_DOUBLE_EQ(runtime.ldelay_s, 0.05);
    EXPECT_EQ(runtime.qos, 2);
    EXPECT_EQ(runtime.maxburst, 524288);
    EXPECT_EQ(runtime.burstdivider, 8);
    EXPECT_DOUBLE_EQ(runtime.minmeasuredrtt_s, 0.2);
    EXPECT_EQ(runtime.datatimeout_s, 300);
    EXPECT_EQ(runtime.tcpbuf, 65536);
    EXPECT_EQ(runtime.streambuf, 8192);
    EXPECT_EQ(runtime.rcvbuf, 4076);
    EXPECT_EQ(runtime.buflen, 4076);
    EXPECT_EQ(runtime.udpbuf, 262144);
    EXPECT_EQ(runtime.compression, 9);
    EXPECT_EQ(runtime.prefetch, 64);
    EXPECT_EQ(runtime.default_maxrtt, 5);
    EXPECT_EQ(runtime.memalign, 1);
    EXPECT_STREQ(runtime.qrid, "default");
    EXPECT_EQ(runtime.log_file, nullptr);
    EXPECT_EQ(fd_poll.count, 0);
    EXPECT_GE(fd_poll.capacity, fd_poll_step);
    EXPECT_GE(spare_socket, 0);
    EXPECT_EQ(remote_count, 0);
    EXPECT_EQ(local_count, 0);
}

struct setting_case {
    const char* lines;
    int runtime_settings::*field;
    int expected;
};

class ServerSettingTest : public ConfigTest, public ::testing::WithParamInterface<setting_case> {};

TEST_P(ServerSettingTest, StoresClampsAndQuirks) {
    load(std::string("[server]\n") + GetParam().lines);
    EXPECT_EQ(runtime.*GetParam().field, GetParam().expected) << GetParam().lines;
}

using rs = runtime_settings;
INSTANTIATE_TEST_SUITE_P(
    Keys, ServerSettingTest,
    ::testing::Values(setting_case{"datatimeout=5\n", &rs::datatimeout_s, 12},
                      setting_case{"datatimeout=11\n", &rs::datatimeout_s, 12},
                      setting_case{"datatimeout=13\n", &rs::datatimeout_s, 13},
                      setting_case{"buflen=9000\n", &rs::buflen, 4076},
                      setting_case{"buflen=9000\n", &rs::rcvbuf, 4076},
                      setting_case{"buflen=-1\n", &rs::buflen, 4076},
                      setting_case{"buflen=2000\n", &rs::rcvbuf, 2000},
                      setting_case{"rcvbuf=9000\n", &rs::rcvbuf, 4076},
                      setting_case{"buflen=1000\nrcvbuf=3000\n", &rs::rcvbuf, 1000},
                      setting_case{"rcvbuf=100\nbuflen=1000\n", &rs::rcvbuf, 100},
                      setting_case{"rcvbuf=-1\n", &rs::rcvbuf, 4076},
                      setting_case{"tcpnodelay=0\n", &rs::tcpnodelay, 1},
                      setting_case{"tcpcork\n", &rs::tcpcork, 1},
                      setting_case{"memalign=7\n", &rs::memalign, 1},
                      setting_case{"memalign=0\n", &rs::memalign, 0},
                      // Keys match by prefix: "debugging" is debug, "tosx" is tos.
                      setting_case{"debugging=1\n", &rs::debug, 1},
                      setting_case{"tosx=3\n", &rs::tos, 3},
                      // The value ends at the first blank; "#" may stand for "=".
                      setting_case{"qos = 7 8\n", &rs::qos, 7},
                      setting_case{"qos#6\n", &rs::qos, 6},
                      setting_case{"qos = #6\n", &rs::qos, 0},
                      setting_case{"   # qos=6\n", &rs::qos, 2},
                      setting_case{"qos=x\n", &rs::qos, 0},
                      setting_case{"totalspeed=50000\n", &rs::totalspeed, 50000},
                      setting_case{"traffic=10\n", &rs::traffic_s, 10},
                      setting_case{"authretry=3\npacketretry=2\n", &rs::packetretry, 2}));

TEST_F(ConfigTest, MillisecondKeysBecomeSeconds) {
    load("[server]\nldelay=100\nminmeasuredrtt=300\n");
    EXPECT_DOUBLE_EQ(runtime.ldelay_s, 0.1);
    EXPECT_DOUBLE_EQ(runtime.minmeasuredrtt_s, 0.3);
}

TEST_F(ConfigTest, QridKeepsAtMost255Characters) {
    load("[server]\nqrid=" + std::string(300, 'q') + "\n");
    EXPECT_EQ(std::strlen(runtime.qrid), 255u);
}

TEST_F(ConfigTest, LongLineIsReadAsFurtherLines) {
    // 1023 characters are one read; what follows is a line of its own.
    load("[server]\n" + std::string(1023, 'x') + "debug=1\n");
    EXPECT_EQ(runtime.debug, 1);
}

TEST_F(ConfigTest, WordKeysAndVerboseBuffer) {
    load("[server]\nonconnect=up.sh now\nonclose=down.sh\nverboselog=1\n");
    EXPECT_EQ(runtime.onconnect, "up.sh");
    EXPECT_EQ(runtime.onclose, "down.sh");
    EXPECT_EQ(runtime.verboselog, 1);
    EXPECT_EQ(runtime.verbose_text.size(), size_t(log_buffer_bytes));
}

TEST_F(ConfigTest, HeaderIsComparedOverItsOwnLength) {
    load("[server]junk\nqos=4\n[ server]\nqos=5\n");
    EXPECT_EQ(runtime.qos, 4);
}

TEST_F(ConfigTest, ServerHeaderRightBehindServerSectionIsSkipped) {
    load("[server]\ndebug=1\n[server]\nqos=7\n");
    EXPECT_EQ(runtime.debug, 1);
    EXPECT_EQ(runtime.qos, 2);
}

TEST_F(ConfigTest, LaterServerSectionAfterAnotherSectionIsRead) {
    load("[server]\ndebug=1\n[local]\nsocks5\n[server]\nqos=7\n");
    EXPECT_EQ(runtime.qos, 7);
    EXPECT_EQ(local_count, 1);
}

TEST_F(ConfigTest, LinesOutsideSectionsAreIgnored) {
    load("qos=9\n[other]\nqos=8\n");
    EXPECT_EQ(runtime.qos, 2);
}

TEST_F(ConfigTest, LogKeyOpensFileAndWritesStartLines) {
    std::string log_path = dir.file("engine.log");
    load("[server]\nlogfile=" + log_path + "\n");
    ASSERT_NE(runtime.log_file, nullptr);
    std::string text = read_file(log_path);
    EXPECT_NE(text.find("]Quorin started v5.0.16-RC Build Jul 16 2010 16:51:55\n"), std::string::npos) << text;
    EXPECT_NE(text.find("]close session format: udp_in/out/tcp_in/out\n"), std::string::npos);
}

TEST_F(ConfigTest, UnopenableLogFallsBackToStandardOutput) {
    child_result r = run_child([this] {
        load("[server]\nlog=/nonexistent-quorin-dir/x.log\n");
        std::printf("%s\n", runtime.log_file == stdout ? "stdout" : "other");
        log_msg(0, "after\n");
    });
    EXPECT_NE(r.out.find("FOPEN /nonexistent-quorin-dir/x.log ERROR! 2\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("stdout\n"), std::string::npos);
    EXPECT_NE(r.out.find("]after\n"), std::string::npos);
}

TEST_F(ConfigTest, ServerTunnelKeyRegistersNothing) {
    std::string log_path = dir.file("engine.log");
    load("[server]\nlog=" + log_path + "\ntunnel=/dev/net/tun:1\n");
    EXPECT_EQ(fd_poll.count, 0);
    EXPECT_NE(read_file(log_path).find("Tunnel device '/dev/net/tun:1' ignored"), std::string::npos);
}

// ------------------------------------------------------------- sockets

TEST_F(ConfigTest, PortLineBindsUdpSocketWithRequestedBuffers) {
    load("[server]\nudpbuf=65536\nport=127.0.0.1:0\n");
    int i = entry_of_type(fd_server_udp);
    ASSERT_GE(i, 0);
    int fd = fd_poll.entries[i].fd;
    EXPECT_EQ(server_udp_fd, fd);
    EXPECT_EQ(fd_poll.entries[i].events, ev_read);
    EXPECT_EQ(local_address(fd).sin_addr.s_addr, ip("127.0.0.1"));
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    int type = 0, size = 0;
    socklen_t len = sizeof type;
    getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len);
    EXPECT_EQ(type, SOCK_DGRAM);
    len = sizeof size;
    getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &len);
    EXPECT_GE(size, 65536);
    len = sizeof size;
    getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, &len);
    EXPECT_GE(size, 65536);
}

TEST_F(ConfigTest, EveryPortLineIsReadTheLastOneSends) {
    load("[server]\nport=127.0.0.1:0\nport=127.0.0.1:0\n");
    EXPECT_EQ(count_of_type(fd_server_udp), 2);
    EXPECT_EQ(server_udp_fd, fd_poll.entries[entry_of_type(fd_server_udp, 1)].fd);
}

// As the system lookup that the configuration was written for, an empty host
// names the local host where a host is looked up: no ephemeral port, no
// fatal error. (A listener's address is no host: see the errors below.)
TEST_F(ConfigTest, EmptyHostIsTheLocalHost) {
    uint32_t local = 0;
    ASSERT_TRUE(resolve_ipv4("", &local));
    load("[server]\nudpdstlog=:514\n[services]\ninternal=3,:25\n"
         "[remote]\nname=a\nserver=:5000\n[local]\nservice_ext=:80\n");
    EXPECT_EQ(runtime.udpdstlog_addr, local);
    EXPECT_EQ(ntohs(runtime.udpdstlog_port), 514);
    EXPECT_EQ(services_table[3].addr, local);
    ASSERT_EQ(remote_count, 1);
    EXPECT_EQ(remote_table[0].server_addr, local);
    EXPECT_EQ(ntohs(remote_table[0].server_port), 5000);
    EXPECT_EQ(local_table[0].mode, mode_service_ext);
    EXPECT_EQ(local_table[0].ext_addr, local);
}

TEST_F(ConfigTest, ControlSocketListensOnLoopbackWhateverHostIsGiven) {
    int port = free_port(SOCK_STREAM);
    load("[server]\ncontrol_socket=10.1.1.1:" + std::to_string(port) + "\n");
    int i = entry_of_type(fd_console_listener);
    ASSERT_GE(i, 0);
    sockaddr_in at = local_address(fd_poll.entries[i].fd);
    EXPECT_EQ(at.sin_addr.s_addr, ip("127.0.0.1"));
    EXPECT_EQ(ntohs(at.sin_port), port);
    EXPECT_TRUE(fcntl(fd_poll.entries[i].fd, F_GETFL) & O_NONBLOCK);
    int c = tcp_connect(port);
    EXPECT_GE(c, 0);
    close(c);
}

TEST_F(ConfigTest, LocalPortBindsWhereTold) {
    int port = free_port(SOCK_STREAM);
    load("[local]\nsocks5\n[local]\nsocks4\nport=127.0.0.2:" + std::to_string(port) + "\n");
    int i = entry_of_type(fd_listener);
    ASSERT_GE(i, 0);
    EXPECT_EQ(fd_poll.comp[i].local_delayed & local_index_mask, 1);
    sockaddr_in at = local_address(fd_poll.entries[i].fd);
    EXPECT_EQ(at.sin_addr.s_addr, ip("127.0.0.2"));
    EXPECT_EQ(ntohs(at.sin_port), port);
    int one = 0;
    socklen_t len = sizeof one;
    getsockopt(fd_poll.entries[i].fd, SOL_SOCKET, SO_REUSEADDR, &one, &len);
    EXPECT_EQ(one, 1);
}

TEST_F(ConfigTest, LocalPortWithoutAddressBindsAny) {
    int port = free_port(SOCK_STREAM);
    load("[local]\nhttp\nport=" + std::to_string(port) + "\n");
    int i = entry_of_type(fd_listener);
    ASSERT_GE(i, 0);
    EXPECT_EQ(local_address(fd_poll.entries[i].fd).sin_addr.s_addr, htonl(INADDR_ANY));
    EXPECT_EQ(local_table[0].mode, mode_http);
}

// ------------------------------------------------------------- [services]

TEST_F(ConfigTest, InternalServicesAndRefusedPorts) {
    load("[services]\ninternal=3,127.0.0.9:25\ninternal=40,127.0.0.1:1\ninternal=4\ninternal=5,127.0.0.1\n"
         "ext_invalid_port=25,110,119\n");
    EXPECT_EQ(services_table[3].addr, ip("127.0.0.9"));
    EXPECT_EQ(services_table[3].port, htons(25));
    EXPECT_EQ(services_table[4].addr, 0u);
    EXPECT_EQ(services_table[5].addr, 0u);
    ASSERT_EQ(invalid_ports_count, 3);
    EXPECT_EQ(invalid_ports[0], htons(25));
    EXPECT_EQ(invalid_ports[2], htons(119));
}

TEST_F(ConfigTest, RefusedPortsHoldSixteenAndRestartOnEachLine) {
    std::string many;
    for (int p = 1; p <= 20; ++p) many += (p > 1 ? "," : "") + std::to_string(p);
    load("[services]\next_invalid_port=" + many + "\n");
    EXPECT_EQ(invalid_ports_count, invalid_ports_max);
    EXPECT_EQ(invalid_ports[15], htons(16));
    load("[services]\next_invalid_port=" + many + "\next_invalid_port=7\n");
    EXPECT_EQ(invalid_ports_count, 1);
}

// ------------------------------------------------------------- [remote]

std::string remote_section(const std::string& name, const std::string& extra = "") {
    return "[remote]\nname=" + name + "\nserver=127.0.0.1:5000\n" + extra;
}

TEST_F(ConfigTest, RemoteRecordDefaultsAndKeys) {
    load("[server]\ndefault_maxrtt=9\nldelay=100\n" +
         remote_section("alpha", "login=abcdefghijklmnopqrstu\npasswd=secret\nspeed_in=2000\nspeed_out=100:900\n"
                                 "mtu=1500\nrdelay=30\nlmode=2\nrmode=3\n"));
    ASSERT_EQ(remote_count, 1);
    const remote_record& r = remote_table[0];
    EXPECT_STREQ(r.name, "alpha");
    EXPECT_EQ(r.server_addr, ip("127.0.0.1"));
    EXPECT_EQ(r.server_port, htons(5000));
    EXPECT_STREQ(r.login, "abcdefghijklmno");
    EXPECT_STREQ(r.passwd, "secret");
    EXPECT_EQ(r.speed_in_min, 2000u);
    EXPECT_EQ(r.speed_in_max, 2000u);
    EXPECT_EQ(r.speed_out_min, 100u);
    EXPECT_EQ(r.speed_out_max, 900u);
    EXPECT_EQ(r.mtu, 1472);
    EXPECT_EQ(r.mru, 1472);
    EXPECT_EQ(r.maxrtt, 9);
    EXPECT_DOUBLE_EQ(r.ldelay_s, 0.1);
    EXPECT_EQ(r.rdelay, 30);
    EXPECT_EQ(r.lmode, 2);
    EXPECT_EQ(r.rmode, 3);
    EXPECT_EQ(r.tunnel_fd, -1);
    EXPECT_EQ(r.login_refused, 0);
}

TEST_F(ConfigTest, RemoteDefaultSpeedsAndSizes) {
    load(remote_section("beta", "mru=1000\n"));
    ASSERT_EQ(remote_count, 1);
    EXPECT_EQ(remote_table[0].speed_in_min, 1000u);
    EXPECT_EQ(remote_table[0].speed_in_max, 8000u);
    EXPECT_EQ(remote_table[0].speed_out_min, 500u);
    EXPECT_EQ(remote_table[0].speed_out_max, 3000u);
    EXPECT_EQ(remote_table[0].mtu, 1500);
    EXPECT_EQ(remote_table[0].mru, 972);
    EXPECT_EQ(remote_table[0].maxrtt, 5);
}

TEST_F(ConfigTest, IncompleteRemoteLeavesItsSlotToTheNext) {
    load("[remote]\nname=nohost\n[remote]\nname=x\nserver=127.0.0.1\n" + remote_section("gamma"));
    ASSERT_EQ(remote_count, 1);
    EXPECT_STREQ(remote_table[0].name, "gamma");
}

TEST_F(ConfigTest, SpeedsTakeTheWholeSignedRange) {
    load(remote_section("edge", "speed_in=1:2147483647\nspeed_out = 2147483647 # bytes/s\n"));
    ASSERT_EQ(remote_count, 1);
    const remote_record& r = remote_table[0];
    EXPECT_EQ((std::vector<uint32_t>{r.speed_in_min, r.speed_in_max, r.speed_out_min, r.speed_out_max}),
              (std::vector<uint32_t>{1, 2147483647, 2147483647, 2147483647}));
}

TEST_F(ConfigTest, RemoteHeaderWithCommentAndConsecutiveSections) {
    load("[remote]   # first\nname=a\nserver=127.0.0.1:1\n[remote]\nname=b\nserver=127.0.0.2:2\n");
    ASSERT_EQ(remote_count, 2);
    EXPECT_STREQ(remote_table[1].name, "b");
    EXPECT_EQ(remote_table[1].server_port, htons(2));
}

TEST_F(ConfigTest, SeventeenthRemoteIsIgnored) {
    std::string text;
    for (int i = 0; i < 17; ++i) text += remote_section("r" + std::to_string(i));
    load(text);
    EXPECT_EQ(remote_count, remote_table_size);
    EXPECT_STREQ(remote_table[15].name, "r15");
}

// ------------------------------------------------------------- [local]

TEST_F(ConfigTest, SixtyFifthLocalIsIgnored) {
    std::string text;
    for (int i = 0; i < 65; ++i) text += "[local]\nmux\n";
    text += "[local]\nport=1\n";  // would make a socket if it were read
    load(text);
    EXPECT_EQ(local_count, local_table_size);
    EXPECT_EQ(fd_poll.count, 0);
}

struct mode_case {
    const char* lines;
    int mode;
    int service;
};

class LocalModeTest : public ConfigTest, public ::testing::WithParamInterface<mode_case> {};

TEST_P(LocalModeTest, KeysSetTheMode) {
    resolve_set_impl(engine_testing::hosts_only);
    load(std::string("[local]\n") + GetParam().lines);
    resolve_set_impl(nullptr);
    ASSERT_EQ(local_count, 1);
    EXPECT_EQ(local_table[0].mode, GetParam().mode) << GetParam().lines;
    EXPECT_EQ(local_table[0].service_number, GetParam().service) << GetParam().lines;
}

INSTANTIATE_TEST_SUITE_P(Modes, LocalModeTest,
                         ::testing::Values(mode_case{"", mode_service_int, -1},
                                           mode_case{"service_int=5\n", mode_service_int, 5},
                                           mode_case{"service_int=2\n", mode_socks5, -1},
                                           mode_case{"transparent\n", mode_transparent, -1},
                                           mode_case{"transparency\n", mode_transparent, -1},
                                           mode_case{"mux\n", mode_mux, -1},
                                           mode_case{"tproxy\n", mode_tproxy, -1},
                                           mode_case{"socks4\n", mode_socks4, -1},
                                           mode_case{"socks5\n", mode_socks5, -1},
                                           mode_case{"http\n", mode_http, -1},
                                           mode_case{"tunnel\n", mode_tunnel, -1},
                                           mode_case{"socks4\nmux\n", mode_mux, -1},
                                           mode_case{"service_ext=127.0.0.1:8080\n", mode_service_ext, -1},
                                           mode_case{"socks4\nservice_ext=no-such-host.invalid:8080\n", mode_socks4, -1}));

TEST_F(ConfigTest, ServiceExtStoresAddressAndPort) {
    load("[local]\nservice_ext=127.0.0.3:8080\n");
    EXPECT_EQ(local_table[0].ext_addr, ip("127.0.0.3"));
    EXPECT_EQ(local_table[0].ext_port, htons(8080));
}

TEST_F(ConfigTest, RemoteKeyListsEveryAcceptedRecordOfThatName) {
    load(remote_section("same") + remote_section("other") + remote_section("same") + "[remote]\nname=same\n" +
         "[local]\nremote=same\n[local]\nremote=nobody\n");
    ASSERT_EQ(local_count, 2);
    ASSERT_EQ(local_table[0].remotes.size(), 2u);
    EXPECT_EQ(local_table[0].remotes[0], 0);
    EXPECT_EQ(local_table[0].remotes[1], 2);
    EXPECT_TRUE(local_table[1].remotes.empty());
}

TEST_F(ConfigTest, TransparentAfterPortSetsOnlyTheMode) {
    int port = free_port(SOCK_STREAM);
    load("[local]\nport=127.0.0.1:" + std::to_string(port) + "\ntransparent\n");
    EXPECT_EQ(local_table[0].mode, mode_transparent);
    EXPECT_EQ(count_of_type(fd_listener), 1);
}

TEST_F(ConfigTest, TypicalInterfaceFileWithCrLf) {
    path = std::string(QUORIN_TEST_DATA) + "/quorin-typical.conf";
    config_file_name = path.c_str();
    read_config();
    EXPECT_STREQ(runtime.qrid, "desk-01");
    EXPECT_EQ(runtime.udpbuf, 131072);
    EXPECT_EQ(runtime.compression, 6);
    EXPECT_EQ(runtime.datatimeout_s, 120);
    EXPECT_EQ(invalid_ports_count, 2);
    ASSERT_EQ(remote_count, 1);
    EXPECT_STREQ(remote_table[0].name, "main");
    EXPECT_STREQ(remote_table[0].passwd, "secret");
    EXPECT_EQ(remote_table[0].speed_in_max, 16000u);
    EXPECT_EQ(remote_table[0].mtu, 1372);
    ASSERT_EQ(local_count, 3);
    const int modes[] = {mode_service_int, mode_socks5, mode_socks4};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(local_table[i].mode, modes[i]);
        ASSERT_EQ(local_table[i].remotes.size(), 1u);
    }
    EXPECT_EQ(local_table[0].service_number, 0);
    EXPECT_EQ(count_of_type(fd_server_udp), 1);
    EXPECT_EQ(count_of_type(fd_console_listener), 1);
    EXPECT_EQ(count_of_type(fd_listener), 3);
}

// ------------------------------------------------------------- fatal paths

using ConfigDeathTest = ConfigTest;

TEST_F(ConfigDeathTest, UnresolvedOrPortlessValuesAreFatal) {
    struct fatal_case {
        const char* text;
        const char* message;
    } cases[] = {
        {"[remote]\nname=a\nserver=no-such-host.invalid:5000\n", "server parameter is not resolved, exiting"},
        {"[remote]\nname=a\nserver=127.0.0.1:0\n", "server port parameter is not resolved, exiting"},
        {"[server]\nudpdstlog=no-such-host.invalid:9\n", "parameter dstlog hostname is not resolved, exiting"},
        {"[server]\nudpdstlog=127.0.0.1:0\n", "dstlog port parameter is not resolved, exiting"},
        {"[local]\ntransparent\nport=1\n", "TUN section present in config, but tun.dll not found or not up to date"},
        {"[local]\ntunnel=10.7.0.2:1\n", "TUN section present in config, but tun.dll not found or not up to date"},
    };
    resolve_set_impl(engine_testing::hosts_only);
    for (const fatal_case& c : cases) {
        child_result r = run_child([&] { load(c.text); });
        EXPECT_EQ(r.code, 1) << c.text;
        EXPECT_NE(r.err.find(std::string("Critical Error: ") + c.message), std::string::npos) << c.text << r.err;
        EXPECT_NE(r.out.find(std::string("CRITICAL ERROR: ") + c.message), std::string::npos) << c.text << r.out;
    }
    resolve_set_impl(nullptr);
}

TEST_F(ConfigDeathTest, BindConflictsAreFatal) {
    int udp = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at = loopback(0);
    ASSERT_EQ(bind(udp, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    int udp_port = ntohs(local_address(udp).sin_port);
    int tcp = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(bind(tcp, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(listen(tcp, 1), 0);
    std::string tcp_port = std::to_string(ntohs(local_address(tcp).sin_port));

    struct fatal_case {
        std::string text;
        const char* message;
    } cases[] = {
        {"[server]\nport=127.0.0.1:" + std::to_string(udp_port) + "\n", "cannot bind server udp port"},
        {"[server]\ncontrol_socket=" + tcp_port + "\n", "cannot bind control port"},
        {"[local]\nsocks5\nport=127.0.0.1:" + tcp_port + "\n", "cannot bind server tcp socket"},
    };
    for (const fatal_case& c : cases) {
        child_result r = run_child([&] { load(c.text); });
        EXPECT_EQ(r.code, 1) << c.text;
        EXPECT_NE(r.err.find(std::string("Critical Error: ") + c.message), std::string::npos) << c.text << r.err;
    }
    close(udp);
    close(tcp);
}

TEST_F(ConfigDeathTest, SocketsThatCannotBeMadeAreFatal) {
    // Descriptors 3 and 4 are the spare socket and the open configuration
    // file; a limit of 5 leaves no descriptor for the next socket.
    struct fatal_case {
        const char* text;
        int fd_limit;
        const char* message;
    } cases[] = {
        {"[server]\nport=0\n", 5, "cannot make server udp socket"},
        {"[server]\ncontrol_socket=0\n", 5, "cannot make control socket"},
        {"[local]\nport=0\n", 5, "cannot make server tcp socket"},
        {"", 3, "cannot make server udp socket"},
    };
    for (const fatal_case& c : cases) {
        dir.write("quorin.conf", c.text);
        path = dir.file("quorin.conf");
        child_result r = run_child([&] {
            for (int fd = 3; fd < 1024; ++fd) close(fd);
            spare_socket = -1;
            config_file_name = path.c_str();
            rlimit lim{rlim_t(c.fd_limit), rlim_t(c.fd_limit)};
            setrlimit(RLIMIT_NOFILE, &lim);
            read_config();
        });
        EXPECT_EQ(r.code, 1) << c.text;
        EXPECT_NE(r.err.find(std::string("Critical Error: ") + c.message), std::string::npos) << c.text << r.err;
    }
}

TEST_F(ConfigDeathTest, PortAndSpeedValuesOutOfRangeAreErrorsNamingLineAndValue) {
    const struct {
        std::string text, key, value;
        int line;
    } cases[] = {
        {"[local]\nsocks5\nport=\n", "port", "", 3},
        {"[local]\nsocks5\nport=127.0.0.1:99999\n", "port", "127.0.0.1:99999", 3},
        {"[local]\nhttp\nport = 80x # comment\n", "port", "80x", 3},
        {"[server]\n# comment\n\ncontrol_socket=\n", "control_socket", "", 4},
        {"[server]\ncontrol_socket=127.0.0.1:console\n", "control_socket", "127.0.0.1:console", 2},
        {"[server]\nport=65536\n", "port", "65536", 2},
        // A line longer than the read buffer still counts as one line, and
        // so does one with a NUL byte in it.
        {"[server]\n" + std::string(1500, 'x') + "\r\nport=127.0.0.1:-1\n", "port", "127.0.0.1:-1", 3},
        {"[local]\nsocks5" + std::string(1, '\0') + "x\nhttp\r\nport=127.0.0.1:70000\n", "port", "127.0.0.1:70000", 4},
        // A listener's address is a dotted IPv4 address or nothing: a name
        // or a malformed address would bind 255.255.255.255.
        {"[local]\nsocks5\nport=localhost:5000\n", "port", "localhost:5000", 3},
        {"[local]\nsocks5\nport=:5000\n", "port", ":5000", 3},
        {"[local]\nsocks5\nport=127.0.0.1.1:5000\n", "port", "127.0.0.1.1:5000", 3},
        {"[server]\nport=localhost:5000\n", "port", "localhost:5000", 2},
        {"[server]\nport=:5000\n", "port", ":5000", 2},
        {"[server]\nport=no-such-host.invalid:5000\n", "port", "no-such-host.invalid:5000", 2},
        {"[server]\ncontrol_socket=localhost:30000\n", "control_socket", "localhost:30000", 2},
        {"[server]\ncontrol_socket=:30000\n", "control_socket", ":30000", 2},
        // A server's port does not wrap to 16 bits.
        {"[remote]\nname=a\nserver=127.0.0.1:70000\n", "server", "127.0.0.1:70000", 3},
        {"[remote]\nname=a\nserver=localhost:-1\n", "server", "localhost:-1", 3},
        // Speeds: 1 to 2147483647, alone or as A:B.
        {remote_section("a", "speed_in=fast\n"), "speed_in", "fast", 4},
        {remote_section("a", "speed_out=0\n"), "speed_out", "0", 4},
        {remote_section("a", "speed_out=-5\n"), "speed_out", "-5", 4},
        {remote_section("a", "speed_in=400000:500000x\n"), "speed_in", "400000:500000x", 4},
        {remote_section("a", "speed_in = 2147483648 # one too many\n"), "speed_in", "2147483648", 4},
        {remote_section("a", "speed_in=:8000\n"), "speed_in", ":8000", 4},
        {remote_section("a", "speed_out=500:0\n"), "speed_out", "500:0", 4},
        {remote_section("a", "speed_out=1:2:3\n"), "speed_out", "1:2:3", 4},
        {remote_section("a", "speed_in=\n"), "speed_in", "", 4},
    };
    for (const auto& c : cases) {
        child_result r = run_child([&] {
            for (int fd = 3; fd < 1024; ++fd) close(fd);
            std::atexit([] {
                int bound = 0;  // sockets with a port of their own
                for (int fd = 0; fd < 1024; ++fd) {
                    sockaddr_in at{};
                    socklen_t len = sizeof at;
                    bound += getsockname(fd, reinterpret_cast<sockaddr*>(&at), &len) == 0 && at.sin_port;
                }
                std::printf("bound sockets: %d\n", bound);
            });
            load(c.text);
        });
        const std::string message =
            "Wrong '" + c.key + "' value '" + c.value + "' in line " + std::to_string(c.line) + " of " + dir.file("quorin.conf");
        EXPECT_EQ(r.code, 1) << c.text;
        EXPECT_NE(r.err.find("Critical Error: " + message + "\n"), std::string::npos) << c.text << r.err;
        EXPECT_NE(r.out.find("CRITICAL ERROR: " + message + " LINE "), std::string::npos) << c.text << r.out;
        EXPECT_NE(r.out.find("bound sockets: 0\n"), std::string::npos) << c.text << r.out;
    }
}

TEST_F(ConfigTest, StartUpLinesNameListenersAndWhatTheyLack) {
    const std::string log_path = dir.file("engine.log"), p0 = std::to_string(free_port(SOCK_STREAM));
    load("[server]\nlog=" + log_path + "\ncontrol_socket=0\n" + remote_section("main") + "[local]\nremote=mian\nsocks5\nport=" + p0 +
         "\n[local]\nremote=main\n[local]\nremote=main\nsocks4\n");
    const std::string text = read_file(log_path);
    for (const std::string& line : {std::string("]Console listening on 127.0.0.1:"), "][local] 0 listening on 0.0.0.0:" + p0 + "\n",
                                    "][local] 0 at 0.0.0.0:" + p0 + ": remote 'mian' names no [remote] record\n",
                                    std::string("][local] 1: no listener mode (socks5, socks4, http, mux, tproxy, "
                                                "transparent, tunnel, service_int or service_ext)\n")})
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
    EXPECT_EQ(text.find("[local] 2"), std::string::npos) << text;  // complete: nothing to say
}

TEST_F(ConfigTest, KeysNoSectionKnowsAreNamedOnceWithTheirLine) {
    const std::string log_path = dir.file("engine.log");
    // The misspelt [server] key comes before `log`; sat_ip is the interface's own.
    load("[server]\ndebgu=1\nlog=" + log_path + "\nsat_ip=10.0.0.9\n[services]\nintrenal=1,127.0.0.1:25\n" +
         remote_section("main", "pasword=secret\npasswd=secret\n") +
         "[local]\nremote=main\nsock5\nsocks5\n[other]\nfoo=1\n");
    EXPECT_EQ(remote_count, 1);  // nothing else changes
    EXPECT_STREQ(remote_table[0].passwd, "secret");
    EXPECT_EQ(local_table[0].mode, mode_socks5);
    const std::string text = read_file(log_path), file = dir.file("quorin.conf");
    const std::string lines[] = {"]Unknown [server] key 'debgu' in line 2 of " + file + ", ignoring\n",
                                 "]Unknown [services] key 'intrenal' in line 6 of " + file + ", ignoring\n",
                                 "]Unknown [remote] key 'pasword' in line 10 of " + file + ", ignoring\n",
                                 "]Unknown [local] key 'sock5' in line 14 of " + file + ", ignoring\n"};
    size_t count = 0;
    for (size_t at = text.find("Unknown"); at != std::string::npos; at = text.find("Unknown", at + 1)) ++count;
    EXPECT_EQ(count, std::size(lines)) << text;
    for (const std::string& line : lines) EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
}

// A NUL byte does not hide a line's end; the pieces of a line longer than
// the read buffer are one unknown key, not one per piece.
TEST_F(ConfigTest, NulBytesAndLongLinesKeepLineNumbersAndAreNamedOnce) {
    const std::string log_path = dir.file("engine.log");
    load("[server]\nlog=" + log_path + "\nqrid=a" + std::string(1, '\0') + "b\n#" + std::string(100000, 'x') +
         "\ndebgu=1\n" + std::string(3000, 'y') + "\n");
    const std::string text = read_file(log_path), file = dir.file("quorin.conf");
    const std::string lines[] = {"]Unknown [server] key '" + std::string(1023, 'x') + "' in line 4 of " + file,
                                 "]Unknown [server] key 'debgu' in line 5 of " + file,
                                 "]Unknown [server] key '" + std::string(1023, 'y') + "' in line 6 of " + file};
    size_t count = 0;
    for (size_t at = text.find("Unknown"); at != std::string::npos; at = text.find("Unknown", at + 1)) ++count;
    EXPECT_EQ(count, std::size(lines));
    for (const std::string& line : lines) EXPECT_NE(text.find(line), std::string::npos) << line;
}

TEST_F(ConfigTest, ValuesWithoutColonAreIgnoredWhereAColonIsNeeded) {
    load("[server]\nudpdstlog=127.0.0.1\n[remote]\nname=a\nserver=127.0.0.1\n");
    EXPECT_EQ(runtime.udpdstlog_port, 0);
    EXPECT_EQ(remote_count, 0);
}

}  // namespace
