#include "engine/config.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "engine/globals.h"
#include "engine/log.h"
#include "engine/loop.h"
#include "engine/session.h"
#include "engine/startup.h"
#include "engine/tunnel.h"
#include "platform/files.h"
#include "platform/net.h"
#include "protocol/conf_line.h"

const char* config_file_name = "quorin.conf";

namespace {

constexpr int line_buffer_bytes = conf_line_buffer_bytes;
constexpr int listen_backlog = 32768;
constexpr int datatimeout_min_s = 12;
constexpr int udp_ip_header_bytes = 28;  // mtu and mru are kept as UDP payload room

// Tunnel parameters of the [local] pass: they carry over from one section to
// the next and are read when a `tunnel` key is met.
struct tunnel_params {
    int timeout_s;
    bool manual;
    bool replace;
    bool dns_local;
    uint32_t ptp_ip;  // network order
};
tunnel_params tun_params;

// The line of the file that is being read, for the configuration errors.
int config_line = 0;

bool starts_with(const char* line, const char* key) { return std::strncmp(line, key, std::strlen(key)) == 0; }

int to_int(const std::string& s) { return std::atoi(s.c_str()); }

// A value near int's lowest end stays there rather than overflow; the
// session clamps the packet size anyway.
int payload_room(const std::string& v) {
    return int(std::max<int64_t>(int64_t(to_int(v)) - udp_ip_header_bytes, INT32_MIN));
}

// "host:port" split at the first colon; the port text is empty without one.
bool split_colon(const std::string& v, std::string* left, std::string* right) {
    size_t c = v.find(':');
    if (c == std::string::npos) {
        *left = v;
        right->clear();
        return false;
    }
    *left = v.substr(0, c);
    *right = v.substr(c + 1);
    return true;
}

// Decimal digits only, 0 to max. atoi would read "" or a word as 0 and
// wrap what does not fit: a value nobody wrote.
bool parse_decimal(const std::string& text, uint32_t max, uint32_t* out) {
    if (text.empty()) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + uint64_t(c - '0');
        if (v > max) return false;
    }
    *out = uint32_t(v);
    return true;
}

// A port as the file gives it, 0 to 65535: atoi would read "" as 0 (a
// random port) and cut 99999 to 16 bits, a listener where nobody expects one.
bool parse_port(const std::string& text, int* port) {
    uint32_t v;
    if (!parse_decimal(text, 65535, &v)) return false;
    *port = int(v);
    return true;
}

// A listener's [ip:]port: the address part, when there is one, must be a
// dotted IPv4 address. inet_addr reads a name, an empty text or a fifth
// number as 255.255.255.255, a bind that succeeds where nobody can connect.
bool split_listen_value(const std::string& v, uint32_t* addr, int* port) {
    std::string ip, port_text;
    *addr = htonl(INADDR_ANY);
    if (split_colon(v, &ip, &port_text)) {
        in_addr a{};
        if (inet_pton(AF_INET, ip.c_str(), &a) != 1) return false;
        *addr = a.s_addr;
    } else {
        port_text = v;
    }
    return parse_port(port_text, port);
}

[[noreturn]] void bad_value(const char* key, const std::string& value) {
    // fatal_error keeps the pointer until the process ends.
    static char text[line_buffer_bytes + 256];
    std::snprintf(text, sizeof text, "Wrong '%s' value '%s' in line %d of %s", key, value.c_str(), config_line,
                  config_file_name);
    fatal_error(__LINE__, text);
}

// A[:B], both 1 to 2147483647; without a colon both are A. The rate
// arithmetic is signed 32-bit, and a speed of 0 sends nothing, not even the
// login; atoi would also take "-5" as 4294967291 and "fast" as 0.
void set_speeds(const char* key, const std::string& v, uint32_t* a, uint32_t* b) {
    std::string left, right;
    const bool pair = split_colon(v, &left, &right);
    uint32_t first, second;
    if (!parse_decimal(left, INT32_MAX, &first) || first == 0) bad_value(key, v);
    if (!pair)
        second = first;
    else if (!parse_decimal(right, INT32_MAX, &second) || second == 0)
        bad_value(key, v);
    *a = first;
    *b = second;
}

// "a.b.c.d:port" of a bound socket.
std::string bound_address(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&sa.sin_addr.s_addr);
    char text[32];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d:%d", b[0], b[1], b[2], b[3], int(ntohs(sa.sin_port)));
    return text;
}

sockaddr_in inet_address(uint32_t addr_net, uint16_t port_net) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addr_net;
    sa.sin_port = port_net;
    return sa;
}

void set_int_option(int fd, int level, int name, int value) { setsockopt(fd, level, name, &value, sizeof value); }

void close_log_file() {
    if (runtime.log_file && runtime.log_file != stdout && runtime.log_file != stderr) std::fclose(runtime.log_file);
    runtime.log_file = nullptr;
}

// ------------------------------------------------------------- [server]

void open_log(const std::string& v) {
    FILE* f = std::fopen(v.c_str(), "a+");
    if (!f) {
        std::printf("FOPEN %s ERROR! %d\n", v.c_str(), errno);
        std::fflush(stdout);
        close_log_file();
        runtime.log_file = stdout;
        return;
    }
    std::setvbuf(f, nullptr, _IONBF, 0);
    close_log_file();
    runtime.log_file = f;
    log_msg(0, "Quorin started %s Build %s %s\n", quorin_version_text, quorin_build_date, quorin_build_time);
    log_msg(0, "close session format: udp_in/out/tcp_in/out\n");
}

void open_server_udp(const std::string& v) {
    uint32_t addr;
    int port;
    if (!split_listen_value(v, &addr, &port)) bad_value("port", v);
    int fd = socket(AF_INET, SOCK_DGRAM, 17);
    if (fd < 0) fatal_error(__LINE__, "cannot make server udp socket");
    sockaddr_in sa = inet_address(addr, htons(uint16_t(port)));
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) fatal_error(__LINE__, "cannot bind server udp port");
    set_nonblocking(fd);
    log_msg(1, "UDP buffer will be set to %d bytes\n", runtime.udpbuf);
    int size = runtime.udpbuf;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0) log_msg(1, "Setting SO_RCVBUF error\n");
    if (setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) != 0) log_msg(1, "Setting SO_SNDBUF error\n");
    socklen_t len = sizeof size;
    if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &len) != 0)
        log_msg(1, "Getting SO_RCVBUF error\n");
    else
        log_msg(1, "RCV UDP buffer set to %d bytes\n", size);
    len = sizeof size;
    if (getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, &len) != 0)
        log_msg(1, "Getting SO_SNDBUF error\n");
    else
        log_msg(1, "SND UDP buffer set to %d bytes\n", size);
    fd_append(fd, ev_read, fd_server_udp, nullptr, nullptr, 0);
    server_udp_fd = fd;
}

void set_udpdstlog(const std::string& v) {
    std::string host, port_text;
    if (!split_colon(v, &host, &port_text)) return;
    uint32_t addr;
    if (!resolve_ipv4(host.c_str(), &addr)) fatal_error(__LINE__, "parameter dstlog hostname is not resolved, exiting\n");
    uint16_t port = uint16_t(to_int(port_text));
    if (port == 0) fatal_error(__LINE__, "dstlog port parameter is not resolved, exiting\n");
    runtime.udpdstlog_addr = addr;
    runtime.udpdstlog_port = htons(port);
}

void open_control_socket(const std::string& v) {
    // The address part is not used, but one that is no address is a mistake.
    uint32_t ignored;
    int port;
    if (!split_listen_value(v, &ignored, &port)) bad_value("control_socket", v);
    int fd = socket(AF_INET, SOCK_STREAM, 6);
    if (fd < 0) fatal_error(__LINE__, "cannot make control socket");
    set_int_option(fd, SOL_SOCKET, SO_REUSEADDR, 1);
    // The console takes orders without a password: it never leaves the loopback address.
    sockaddr_in sa = inet_address(htonl(INADDR_LOOPBACK), htons(uint16_t(port)));
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) fatal_error(__LINE__, "cannot bind control port");
    set_nonblocking(fd);
    listen(fd, listen_backlog);
    fd_append(fd, ev_read, fd_console_listener, nullptr, nullptr, 0);
    log_msg(0, "Console listening on %s\n", bound_address(fd).c_str());
}

void server_tunnel_device(const std::string& v) {
    if (v.find(':') == std::string::npos) return;
    // Descriptor 0 is standard input here; reading packets from it would eat
    // the terminal. There is no device to open, so nothing is registered.
    log_msg(0, "Tunnel device '%s' ignored: no tunnel device on this system\n", v.c_str());
}

void set_clamped_buflen(int v) {
    runtime.buflen = unsigned(v) > unsigned(scratch_bytes) ? scratch_bytes : v;
    if (unsigned(runtime.rcvbuf) > unsigned(runtime.buflen)) runtime.rcvbuf = runtime.buflen;
}

struct server_key {
    const char* key;
    int runtime_settings::*field;       // plain int settings
    void (*apply)(const std::string&);  // settings with rules or side effects
};

using rs = runtime_settings;

const server_key server_keys[] = {
    {"tos", &rs::tos, nullptr},
    {"ttl", &rs::ttl, nullptr},
    {"ttcp", &rs::ttcp, nullptr},
    {"ldelay", nullptr, [](const std::string& v) { runtime.ldelay_s = to_int(v) / 1000.0; }},
    {"qos", &rs::qos, nullptr},
    {"global_force_min_speed", &rs::global_force_min_speed, nullptr},
    {"maxburst", &rs::maxburst, nullptr},
    {"burstdivider", &rs::burstdivider, nullptr},
    {"minmeasuredrtt", nullptr,
     [](const std::string& v) {
         runtime.minmeasuredrtt_s = to_int(v) / 1000.0;
         log_msg(1, "Enforcing minmeasuredrtt to %f\n", runtime.minmeasuredrtt_s);
     }},
    {"tunnel", nullptr, server_tunnel_device},
    {"onconnect", nullptr, [](const std::string& v) { runtime.onconnect = v; }},
    {"onworking", nullptr, [](const std::string& v) { runtime.onworking = v; }},
    {"onclose", nullptr, [](const std::string& v) { runtime.onclose = v; }},
    {"datatimeout", nullptr,
     [](const std::string& v) {
         int t = to_int(v);
         runtime.datatimeout_s = t < datatimeout_min_s ? datatimeout_min_s : t;
     }},
    {"packetloss_agressivity", &rs::packetloss_agressivity, nullptr},
    {"packer", &rs::packer, nullptr},
    {"traffic", &rs::traffic_s, nullptr},
    {"verboselog", nullptr,
     [](const std::string& v) {
         runtime.verboselog = to_int(v);
         runtime.verbose_text.assign(log_buffer_bytes, 0);
     }},
    {"tcpbuf", &rs::tcpbuf, nullptr},
    {"streambuf", &rs::streambuf, nullptr},
    {"rcvbuf", nullptr,
     [](const std::string& v) {
         runtime.rcvbuf = to_int(v);
         if (unsigned(runtime.rcvbuf) > unsigned(runtime.buflen)) runtime.rcvbuf = runtime.buflen;
     }},
    {"mintcpread", &rs::mintcpread, nullptr},
    {"buffertun", &rs::buffertun, nullptr},
    {"buflen", nullptr, [](const std::string& v) { set_clamped_buflen(to_int(v)); }},
    {"udpbuf", &rs::udpbuf, nullptr},
    {"compression", &rs::compression, nullptr},
    {"authretry", &rs::authretry, nullptr},
    {"packetretry", &rs::packetretry, nullptr},
    {"ext_protocol", &rs::ext_protocol, nullptr},
    {"debug", &rs::debug, nullptr},
    {"syslog", &rs::syslog, nullptr},
    {"prefetch", &rs::prefetch, nullptr},
    {"aggressive", &rs::aggressive, nullptr},
    {"antistale", &rs::antistale, nullptr},
    {"tcpsock_max", &rs::tcpsock_max, nullptr},
    {"tcpsock_min", &rs::tcpsock_min, nullptr},
    {"default_maxrtt", &rs::default_maxrtt, nullptr},
    {"tcpnodelay", nullptr, [](const std::string&) { runtime.tcpnodelay = 1; }},
    {"tcpcork", nullptr, [](const std::string&) { runtime.tcpcork = 1; }},
    {"memalign", nullptr, [](const std::string& v) { runtime.memalign = to_int(v) != 0; }},
    {"log", nullptr, open_log},
    {"qrid", nullptr,
     [](const std::string& v) { std::snprintf(runtime.qrid, sizeof runtime.qrid, "%s", v.c_str()); }},
    {"totalspeed", &rs::totalspeed, nullptr},
    {"port", nullptr, open_server_udp},
    {"udpdstlog", nullptr, set_udpdstlog},
    {"control_socket", nullptr, open_control_socket},
    // The interface keeps the satellite side's address here for itself.
    {"sat_ip", nullptr, [](const std::string&) {}},
};

// Each section's line reader: false when no key of the section matches.
bool server_line(const char* line) {
    bool known = false;
    for (const server_key& k : server_keys) {
        if (!starts_with(line, k.key)) continue;
        known = true;
        std::string v = conf_split(line);
        if (k.field)
            runtime.*k.field = to_int(v);
        else
            k.apply(v);
    }
    return known;
}

// ------------------------------------------------------------- [services]

void set_internal_service(const std::string& v) {
    size_t comma = v.find(',');
    if (comma == std::string::npos) return;
    std::string host, port_text;
    if (!split_colon(v.substr(comma + 1), &host, &port_text)) return;
    int n = to_int(v.substr(0, comma));
    if (n < 0 || n >= services_table_size) return;
    uint32_t addr;
    if (!resolve_ipv4(host.c_str(), &addr)) return;
    services_table[n].addr = addr;
    services_table[n].port = htons(uint16_t(to_int(port_text)));
}

void set_invalid_ports(const std::string& v) {
    invalid_ports_count = 0;
    if (v.empty()) return;
    size_t start = 0;
    while (invalid_ports_count < invalid_ports_max) {
        size_t comma = v.find(',', start);
        invalid_ports[invalid_ports_count++] = htons(uint16_t(to_int(v.substr(start, comma - start))));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
}

bool services_line(const char* line) {
    const bool internal = starts_with(line, "internal"), refused = starts_with(line, "ext_invalid_port");
    if (internal) set_internal_service(conf_split(line));
    if (refused) set_invalid_ports(conf_split(line));
    return internal || refused;
}

// ------------------------------------------------------------- [remote]

remote_record* cur_remote = nullptr;

void set_remote_server(remote_record& r, const std::string& v) {
    std::string host, port_text;
    if (!split_colon(v, &host, &port_text)) return;
    // Read as atoi reads it, but a port that does not fit is no port: cut
    // to 16 bits, 70000 would be 4464.
    const long wide = std::strtol(port_text.c_str(), nullptr, 10);
    if (wide < 0 || wide > 65535) bad_value("server", v);
    uint32_t addr;
    if (!resolve_ipv4(host.c_str(), &addr)) fatal_error(__LINE__, "server parameter is not resolved, exiting\n");
    const uint16_t port = uint16_t(wide);
    if (port == 0) fatal_error(__LINE__, "server port parameter is not resolved, exiting\n");
    r.server_addr = addr;
    r.server_port = htons(port);
}

void scan_word15(char* dst, const std::string& v) {
    // The login and password fields hold 15 characters and a terminator.
    std::sscanf(v.c_str(), "%15s", dst);
}

struct remote_key {
    const char* key;
    void (*apply)(remote_record&, const std::string&);
};

const remote_key remote_keys[] = {
    {"name",
     [](remote_record& r, const std::string& v) {
         std::snprintf(r.name, sizeof r.name, "%s", v.c_str());
         strip_eol(r.name);
     }},
    {"server", set_remote_server},
    {"login", [](remote_record& r, const std::string& v) { scan_word15(r.login, v); }},
    {"passwd", [](remote_record& r, const std::string& v) { scan_word15(r.passwd, v); }},
    {"speed_in",
     [](remote_record& r, const std::string& v) { set_speeds("speed_in", v, &r.speed_in_min, &r.speed_in_max); }},
    {"speed_out",
     [](remote_record& r, const std::string& v) { set_speeds("speed_out", v, &r.speed_out_min, &r.speed_out_max); }},
    {"mtu", [](remote_record& r, const std::string& v) { r.mtu = payload_room(v); }},
    {"mru",
     [](remote_record& r, const std::string& v) {
         r.mru = payload_room(v);
         log_msg(5, "config mru %d\n", r.mru);
     }},
    {"maxrtt", [](remote_record& r, const std::string& v) { r.maxrtt = to_int(v); }},
    {"ldelay", [](remote_record& r, const std::string& v) { r.ldelay_s = to_int(v) / 1000.0; }},
    {"rdelay", [](remote_record& r, const std::string& v) { r.rdelay = to_int(v); }},
    {"lmode", [](remote_record& r, const std::string& v) { r.lmode = int16_t(to_int(v)); }},
    {"rmode", [](remote_record& r, const std::string& v) { r.rmode = int16_t(to_int(v)); }},
};

bool remote_begin() {
    if (remote_count >= remote_table_size) return false;
    remote_record& r = remote_table[remote_count];
    std::memset(&r, 0, sizeof r);
    r.speed_in_min = 1000;
    r.speed_in_max = 8000;
    r.speed_out_min = 500;
    r.speed_out_max = 3000;
    r.mtu = 1500;
    r.mru = 1500 - udp_ip_header_bytes;
    r.maxrtt = runtime.default_maxrtt;
    r.ldelay_s = runtime.ldelay_s;
    r.tunnel_fd = -1;
    cur_remote = &r;
    return true;
}

bool remote_line(const char* line) {
    bool known = false;
    for (const remote_key& k : remote_keys) {
        if (!starts_with(line, k.key)) continue;
        known = true;
        k.apply(*cur_remote, conf_split(line));
    }
    return known;
}

void remote_end() {
    const remote_record& r = *cur_remote;
    bool complete = r.name[0] && r.server_addr && r.server_port && r.speed_in_min && r.speed_in_max &&
                    r.speed_out_min && r.speed_out_max;
    // An incomplete section leaves its slot to the next one.
    if (complete) ++remote_count;
}

// ------------------------------------------------------------- [local]

const char tun_missing_text[] = "TUN section present in config, but tun.dll not found or not up to date";

// What the end of a [local] section reports about it.
struct local_section {
    std::string remote_name;  // the last remote= value
    std::string listener;     // the address of the last listener made
};
local_section cur_local;

void open_local_listener(local_entry& e, int index, const std::string& v) {
    uint32_t addr;
    int port;
    if (!split_listen_value(v, &addr, &port)) bad_value("port", v);
    int fd = socket(AF_INET, SOCK_STREAM, 6);
    if (fd < 0) fatal_error(__LINE__, "cannot make server tcp socket");
    set_int_option(fd, SOL_SOCKET, SO_REUSEADDR, 1);
    if (e.mode == mode_transparent) {
        if (!tunnel_available) fatal_error(__LINE__, tun_missing_text);
        tun.SetTunTcpListenPort(htons(uint16_t(port)));
    }
    set_int_option(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    sockaddr_in sa = inet_address(addr, htons(uint16_t(port)));
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        const uint8_t* b = reinterpret_cast<const uint8_t*>(&addr);
        log_msg(1, "cannot bind server tcp socket. %i.%i.%i.%i:%i err: %i\n", b[0], b[1], b[2], b[3], port,
                sock_last_error());
        fatal_error(__LINE__, "cannot bind server tcp socket");
    }
    set_nonblocking(fd);
    listen(fd, listen_backlog);
    fd_append(fd, ev_read, fd_listener, nullptr, nullptr, index);
    // A bare port listens on every interface: the log says where.
    cur_local.listener = bound_address(fd);
    log_msg(0, "[local] %d listening on %s\n", index, cur_local.listener.c_str());
}

void start_local_tunnel(local_entry& e, int index, const std::string& v) {
    e.mode = mode_tunnel;
    std::string ip_text, port_text;
    if (!split_colon(v, &ip_text, &port_text)) return;
    uint32_t ip = parse_ipv4(ip_text.c_str());
    uint16_t port_net = htons(uint16_t(to_int(port_text)));
    log_msg(0, "Starting tunnel dll.IP: %x port:%x Timeout %i seconds\n", ip, port_net, tun_params.timeout_s);
    if (!tunnel_available) fatal_error(__LINE__, tun_missing_text);
    // A tunnel section that names no server routes nothing to a server.
    int remote = e.remotes.empty() ? -1 : e.remotes[0];
    uint32_t server_ip = remote < 0 ? 0 : remote_table[remote].server_addr;
    if (!start_tun(ip, tun_params.ptp_ip, server_ip, port_net, tun_params.timeout_s * 1000, !tun_params.manual,
                   tun_params.replace, tun_params.dns_local)) {
        log_msg(0, "Error starting tunnel\n");
        return;
    }
    // A stop signal during the bring-up: what it set goes back now.
    shutdown_if_stopped();
    log_msg(0, "Tunnel start OK\n");
    int fd = socket(AF_INET, SOCK_STREAM, 6);
    if (fd < 0) fatal_error(__LINE__, "cannot make server tcp socket");
    sockaddr_in sa = inet_address(htonl(INADDR_LOOPBACK), port_net);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        log_msg(0, "Cant connect control socket port %s", port_text.c_str());
        fatal_error(__LINE__, "Can't connect to tunnel control socket.");
    }
    set_int_option(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    set_nonblocking(fd);
    fd_append(fd, ev_read, fd_listener, nullptr, nullptr, index);
    if (remote >= 0) remote_table[remote].tunnel_fd = fd;
}

void set_service_ext(local_entry& e, const std::string& v) {
    std::string host, port_text;
    split_colon(v, &host, &port_text);
    uint32_t addr;
    if (!resolve_ipv4(host.c_str(), &addr)) {
        log_msg(0, "Wrong host on service ext '%s', ignoring\n", v.c_str());
        return;
    }
    e.mode = mode_service_ext;
    e.ext_addr = addr;
    e.ext_port = htons(uint16_t(to_int(port_text)));
}

struct local_key {
    const char* key;
    void (*apply)(local_entry&, int index, const std::string&);
};

const local_key local_keys[] = {
    {"remote",
     [](local_entry& e, int, const std::string& v) {
         cur_local.remote_name = v;
         for (int i = 0; i < remote_count; ++i)
             if (std::strncmp(remote_table[i].name, v.c_str(), 64) == 0) e.remotes.push_back(i);
     }},
    {"service_int",
     [](local_entry& e, int, const std::string& v) {
         int n = to_int(v);
         // Service 2 is the server's SOCKS 5: the engine answers it locally.
         if (n == 2) {
             e.mode = mode_socks5;
         } else {
             e.mode = mode_service_int;
             e.service_number = n;
         }
     }},
    {"service_ext", [](local_entry& e, int, const std::string& v) { set_service_ext(e, v); }},
    {"transparen", [](local_entry& e, int, const std::string&) { e.mode = mode_transparent; }},
    {"mux", [](local_entry& e, int, const std::string&) { e.mode = mode_mux; }},
    {"tproxy", [](local_entry& e, int, const std::string&) { e.mode = mode_tproxy; }},
    {"socks4", [](local_entry& e, int, const std::string&) { e.mode = mode_socks4; }},
    {"socks5", [](local_entry& e, int, const std::string&) { e.mode = mode_socks5; }},
    {"http", [](local_entry& e, int, const std::string&) { e.mode = mode_http; }},
    {"tunnel", start_local_tunnel},
    {"port", open_local_listener},
    {"tun_timeout", [](local_entry&, int, const std::string& v) { tun_params.timeout_s = to_int(v); }},
    {"tun_init", [](local_entry&, int, const std::string& v) { tun_params.manual = v.compare(0, 6, "manual") == 0; }},
    {"route", [](local_entry&, int, const std::string& v) { tun_params.replace = v.compare(0, 6, "replac") == 0; }},
    {"dns", [](local_entry&, int, const std::string& v) { tun_params.dns_local = v == "local"; }},
    {"ptp_ip", [](local_entry&, int, const std::string& v) { tun_params.ptp_ip = parse_ipv4(v.c_str()); }},
    {"tap_guid",
     [](local_entry&, int, const std::string& v) {
         if (tunnel_available) tun.SetTapGuid(v.c_str());
     }},
};

bool local_begin() {
    if (local_count >= local_table_size) return false;
    local_entry& e = local_table[local_count];
    e.remotes.clear();
    e.mode = mode_service_int;
    e.service_number = -1;
    e.ext_addr = 0;
    e.ext_port = 0;
    cur_local = local_section{};
    return true;
}

bool local_line(const char* line) {
    bool known = false;
    for (const local_key& k : local_keys) {
        if (!starts_with(line, k.key)) continue;
        known = true;
        k.apply(local_table[local_count], local_count, conf_split(line));
    }
    return known;
}

// A section without a server or a mode takes connections and drops each
// one without a word: say so once, at start-up.
void local_end() {
    const local_entry& e = local_table[local_count];
    const std::string at = cur_local.listener.empty() ? "" : " at " + cur_local.listener;
    if (e.remotes.empty())
        log_msg(0, "[local] %d%s: remote '%s' names no [remote] record\n", local_count, at.c_str(),
                cur_local.remote_name.c_str());
    if (e.mode == mode_service_int && e.service_number < 0)
        log_msg(0,
                "[local] %d%s: no listener mode (socks5, socks4, http, mux, tproxy, transparent, tunnel, "
                "service_int or service_ext)\n",
                local_count, at.c_str());
    ++local_count;
}

// ------------------------------------------------------------- passes

struct pass {
    const char* header;
    bool headers_again;  // the line that ends a section may open the next one
    // The section opens the log and sets `debug` wherever in it they stand:
    // what it says about its own lines waits for the end of the pass.
    bool sets_up_log;
    bool (*begin)();
    bool (*line)(const char*);
    void (*end)();
};

// A misspelt key (`pasword`) would otherwise show only in what it fails to
// set.
struct unknown_key {
    std::string key;
    int line;
};

void log_unknown_key(const pass& ps, const unknown_key& u) {
    log_msg(0, "Unknown %s key '%s' in line %d of %s, ignoring\n", ps.header, u.key.c_str(), u.line, config_file_name);
}

// The file as a regular file only: a FIFO put in its place would hold the
// reader until some writer came.
FILE* open_config_file() {
    const int fd = open_regular_file(config_file_name, O_RDONLY);
    if (fd < 0) return nullptr;
    FILE* f = fdopen(fd, "r");
    if (!f) close(fd);
    return f;
}

// One read of the file, as fgets reads it: up to the line end (kept) or
// size - 1 bytes. The count of bytes read says whether the line ended; a
// NUL byte in the line would hide its end from strchr.
bool read_piece(FILE* f, char* buf, int size, bool* line_ended) {
    int n = 0;
    int c = 0;
    while (n < size - 1 && (c = std::getc(f)) != EOF) {
        buf[n++] = char(c);
        if (c == '\n') break;
    }
    buf[n] = 0;
    *line_ended = n > 0 && buf[n - 1] == '\n';
    return n > 0;
}

void read_pass(const pass& ps) {
    FILE* f = open_config_file();
    if (!f) return;
    const size_t header_len = std::strlen(ps.header);
    char buf[line_buffer_bytes];
    bool in_section = false;
    std::vector<unknown_key> unknown;
    config_line = 0;
    int unknown_line = 0;  // the last line named as unknown
    bool line_start = true, line_ended = false;
    while (read_piece(f, buf, sizeof buf, &line_ended)) {
        engine_stop_point();
        // The rest of a line longer than the buffer is read as a further
        // line, but it keeps its number.
        if (line_start) ++config_line;
        line_start = line_ended;
        char* p = trim(buf);
        if (!*p) continue;
        if (*p == '[') {
            if (in_section) {
                in_section = false;
                ps.end();
                if (!ps.headers_again) continue;
            }
            if (std::strncmp(p, ps.header, header_len) == 0) in_section = ps.begin();
            continue;
        }
        if (!in_section || ps.line(p)) continue;
        // The pieces of one long line (a pasted blob, a long comment) are
        // one mistake, named once.
        if (unknown_line == config_line) continue;
        unknown_line = config_line;
        const unknown_key u{std::string(p, std::strcspn(p, "=# \t")), config_line};
        if (ps.sets_up_log)
            unknown.push_back(u);
        else
            log_unknown_key(ps, u);
    }
    if (in_section) ps.end();
    std::fclose(f);
    for (const unknown_key& u : unknown) log_unknown_key(ps, u);
}

void prepare_tables() {
    config_tables_alloc();
    std::memset(remote_table, 0, sizeof(remote_record) * remote_table_size);
    for (int i = 0; i < local_table_size; ++i) local_table[i] = local_entry{};
    remote_count = 0;
    local_count = 0;
    std::memset(services_table, 0, sizeof services_table);
    invalid_ports_count = 0;
    tun_params = tunnel_params{};
    tun_params.ptp_ip = parse_ipv4("10.0.0.1");
}

void prepare_descriptor_table() {
    if (!fd_poll.entries || !fd_poll.comp) {
        fd_poll.entries = static_cast<poll_entry*>(mymalloc(sizeof(poll_entry) * fd_poll_step, 1));
        fd_poll.comp = static_cast<poll_companion*>(mymalloc(sizeof(poll_companion) * fd_poll_step, 1));
        fd_poll.capacity = fd_poll_step;
    }
    fd_poll.count = 0;
    // Closed stream sockets are swapped for this one until compaction, so a
    // recycled descriptor number never reaches the poll under an old entry.
    if (spare_socket < 0) {
        spare_socket = socket(AF_INET, SOCK_DGRAM, 17);
        if (spare_socket < 0) fatal_error(__LINE__, "cannot make server udp socket");
    }
}

}  // namespace

void config_tables_alloc() {
    if (!remote_table) remote_table = static_cast<remote_record*>(mymalloc(sizeof(remote_record) * remote_table_size, 1));
    if (!local_table) {
        void* block = mymalloc(sizeof(local_entry) * local_table_size, 1);
        local_table = static_cast<local_entry*>(block);
        for (int i = 0; i < local_table_size; ++i) new (&local_table[i]) local_entry{};
    }
}

void runtime_defaults() {
    if (runtime.log_file && runtime.log_file != stdout && runtime.log_file != stderr) std::fclose(runtime.log_file);
    runtime = runtime_settings{};
    runtime.ttcp = 1;
    runtime.ldelay_s = 0.05;
    runtime.qos = 2;
    runtime.maxburst = 524288;
    runtime.burstdivider = 8;
    runtime.minmeasuredrtt_s = 0.2;
    runtime.datatimeout_s = 300;
    runtime.packetloss_agressivity = 1;
    runtime.packer = 1;
    runtime.tcpbuf = 65536;
    runtime.streambuf = 8192;
    runtime.rcvbuf = scratch_bytes;
    runtime.mintcpread = 64;
    runtime.buffertun = 3;
    runtime.buflen = scratch_bytes;
    runtime.udpbuf = 262144;
    runtime.compression = 9;
    runtime.authretry = 1;
    runtime.packetretry = 1;
    runtime.prefetch = 64;
    runtime.aggressive = 1;
    runtime.default_maxrtt = 5;
    runtime.memalign = 1;
    std::snprintf(runtime.qrid, sizeof runtime.qrid, "%s", "default");
    runtime.stream_drain_s = stream_drain_limit_s;
    runtime.buf_out_total_max = buf_out_total_limit_bytes;
}

char* trim(char* line) {
    unsigned char* p = reinterpret_cast<unsigned char*>(line);
    while (*p && (*p <= ' ' || (*p & 0x80))) ++p;
    if (*p == '#') *p = 0;
    unsigned char* e = p;
    while (*e && *e != '\r' && *e != '\n') ++e;
    *e = 0;
    return reinterpret_cast<char*>(p);
}

static bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string conf_split(const char* line) {
    const char* p = line;
    while (*p && *p != '=' && *p != '#') ++p;
    if (!*p) return std::string();
    ++p;
    while (is_blank(*p)) ++p;
    if (*p == '#') return std::string();
    const char* e = p;
    while (*e && !is_blank(*e) && *e != '\r' && *e != '\n') ++e;
    return std::string(p, e);
}

void strip_eol(char* s) {
    size_t n = std::strlen(s);
    while (n > 0 && (s[n - 1] == '\r' || s[n - 1] == '\n' || is_blank(s[n - 1]))) s[--n] = 0;
}

int read_config() {
    std::snprintf(runtime.qrid, sizeof runtime.qrid, "%s", "default");
    close_log_file();
    prepare_descriptor_table();
    prepare_tables();

    const pass passes[] = {
        {"[server]", false, true, [] { return true; }, server_line, [] {}},
        {"[services]", false, false, [] { return true; }, services_line, [] {}},
        {"[remote]", true, false, remote_begin, remote_line, remote_end},
        {"[local]", true, false, local_begin, local_line, local_end},
    };
    for (const pass& ps : passes) read_pass(ps);
    return 0;
}
