// The connection settings the connect dialog holds, and the engine
// configuration file written from them and read back into them. The writer
// produces a fixed subset of the engine's format; the reader understands
// exactly that subset and decides whether the file is one the interface can
// reproduce (settings_local).
#pragma once

#include <QString>
#include <QVector>

#include <cstdint>

#include "protocol/conf_line.h"

// One of the four local proxy services.
struct LocalService {
    bool enabled;
    QString ip;
    uint16_t port;
};

// Engine service numbers of the four services, which is also their order in
// the file.
constexpr int service_int_http = 0;
constexpr int service_int_socks = 2;
constexpr int service_int_int3 = 3;
constexpr int service_int_int4 = 4;

// Fixed ports of the tunnel's two sections.
constexpr int tap_tunnel_port = 3001;
constexpr int tap_transparent_port = 3000;
// The engine's console: the writer puts it there, the statistics window
// dials it there.
constexpr const char* console_host = "127.0.0.1";
constexpr uint16_t console_port = 30000;
// The address of the extra socket a DVB card delivers to.
constexpr const char* dvb_socket_address = "127.0.0.1";

struct ConnectionSettings {
    bool settings_local = false;
    uint16_t port = 0;
    QString port_addr;
    uint16_t traffic = 60;
    uint16_t debug = 0;
    QString log;
    uint16_t datatimeout = 0;
    QString sat_ip;
    QString server;
    uint16_t server_port = 0;
    uint32_t speed_in_min = 0, speed_in_max = 0;
    uint32_t speed_out_min = 0, speed_out_max = 0;
    uint16_t mtu = 0, mru = 0;
    QString login;
    QString passwd;
    bool tun_present = false;
    bool tap = false;
    QString tap_ip;
    uint16_t tap_tun_timeout = 0;
    bool tap_config_dhcp = false;
    bool tap_dns_server = true;
    bool tap_route_replace = false;
    QString tap_ptp_ip;
    LocalService http{true, "127.0.0.1", 3128};
    LocalService int3{false, "127.0.0.1", 3129};
    LocalService int4{false, "127.0.0.1", 3129};
    LocalService socks{true, "127.0.0.1", 1080};
};

// "quorin.conf", in the working directory.
extern const char engine_conf_file[];

// A regular file that opens for reading. Anything else counts as no file:
// the engine could not start from it either.
bool conf_file_present(const QString& path = engine_conf_file);

// Writes the whole file, with mode 0600 (it holds the password), through a
// new file renamed over the earlier one; a link stays a link and its target
// is replaced. dvb_connect adds the DVB card's loopback socket line. False,
// with the earlier file as it was, when the file cannot be written (errno
// tells why; EINVAL or EISDIR: what stands there is not a regular file, and
// nothing was opened), and when the settings hold a text the file cannot
// carry.
bool write_conf(const ConnectionSettings& s, bool dvb_connect, const QString& path = engine_conf_file);

// Reads the file into s and sets settings_local. False when it does not
// open; s keeps its values then.
bool read_conf(ConnectionSettings& s, const QString& path = engine_conf_file);

// Why a text cannot be written as a value and come back from the engine's
// reader as it stands: CR, LF and NUL end the line and would start lines of
// the text's own making; the file is 8-bit; the engine reads a value as one
// word (leading blanks skipped, cut at the first blank), one that begins
// with '#' as empty, and keeps 15 characters of the login and the password;
// it reads a line longer than conf_line_max_bytes as two, and what follows
// the first ':' of a "host:port" value as the port.
enum class conf_text_fault { none, line_break, not_latin1, blank, comment, too_long, line_too_long, colon };
constexpr int engine_login_max_chars = 15;
// Any text as one word of one line; max_chars 0: no limit.
conf_text_fault conf_text_check(const QString& text, int max_chars = 0);

// The texts write_conf writes, each on lines of its own.
enum class conf_text_field { port_addr, log, sat_ip, server, login, passwd, service_ip, tap_ip, ptp_ip };
// The longest text the field takes: 15 characters for the login and the
// password; for the others, the most that leaves the longest line the text
// is written on (key, '=', text, the port behind it, line end) within
// conf_line_max_bytes.
int conf_text_max_chars(conf_text_field field);
// The text as the field's value: the rules of any text, its line's room,
// and no ':' in a host that a port follows.
conf_text_fault conf_text_check(conf_text_field field, const QString& text);

// A text of the settings that the file cannot carry.
struct conf_text_problem {
    const char* key;  // the file's key (a service's by its name)
    conf_text_field field;
    QString text;
    conf_text_fault fault;
};
// Every text write_conf and the subscription keep, checked.
QVector<conf_text_problem> conf_text_problems(const ConnectionSettings& s);

// Line rules of the reader, whose lines are those of the engine's.
// Without leading blanks, control bytes and bytes 128-255, cut at the line
// end; a line that reaches '#' first is empty.
char* conf_line_trim(char* line);
// The trimmed text after the first '=' (or after a '#' met before it).
char* conf_line_value(char* line);
