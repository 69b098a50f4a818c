#include "ui/core/connection_settings.h"

#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/files.h"

const char engine_conf_file[] = "quorin.conf";

namespace {

QByteArray text(const QString& s) { return s.toLatin1(); }

bool starts_with(const char* line, const char* key) { return std::strncmp(line, key, std::strlen(key)) == 0; }

QString value_text(char* line) { return QString::fromLatin1(conf_line_value(line)); }

int value_number(char* line) { return std::atoi(conf_line_value(line)); }

// "A:B" gives A and B; a single number gives it twice.
void speed_pair(const QString& v, uint32_t* min, uint32_t* max) {
    const int colon = v.indexOf(':');
    if (colon < 0) {
        *min = *max = uint32_t(std::atoi(v.toLatin1().constData()));
        return;
    }
    *min = uint32_t(std::atoi(v.left(colon).toLatin1().constData()));
    *max = uint32_t(std::atoi(v.mid(colon + 1).toLatin1().constData()));
}

void write_speed(FILE* f, const char* key, uint32_t min, uint32_t max) {
    if (min == max)
        std::fprintf(f, "%s=%u\n", key, max);
    else
        std::fprintf(f, "%s=%u:%u\n", key, min, max);
}

void write_service(FILE* f, const LocalService& svc, int service_int) {
    if (!svc.enabled) return;
    std::fprintf(f, "[local]\nremote=quorin\nservice_int=%d\n", service_int);
    if (!svc.ip.isEmpty())
        std::fprintf(f, "port=%s:%d\n", text(svc.ip).constData(), svc.port);
    else
        std::fprintf(f, "port=%d\n", svc.port);
}

// Where write_conf puts each text: the key of its longest line, and the
// port written behind it after a ':' (any 16-bit port: the longest, 65535).
struct text_line {
    const char* key;
    int port;       // -1: no port follows
    int max_chars;  // the engine keeps no more; 0: only the line bounds it
};
constexpr int any_port = 65535;

text_line line_of(conf_text_field field) {
    switch (field) {
    case conf_text_field::port_addr: return {"port", any_port, 0};
    case conf_text_field::log: return {"log", -1, 0};
    case conf_text_field::sat_ip: return {"sat_ip", -1, 0};
    case conf_text_field::server: return {"server", any_port, 0};
    case conf_text_field::login: return {"login", -1, engine_login_max_chars};
    case conf_text_field::passwd: return {"passwd", -1, engine_login_max_chars};
    case conf_text_field::service_ip: return {"port", any_port, 0};
    // "tunnel=%s:3001" is longer than the transparent "port=%s:3000".
    case conf_text_field::tap_ip: return {"tunnel", tap_tunnel_port, 0};
    case conf_text_field::ptp_ip: break;
    }
    return {"ptp_ip", -1, 0};
}

// One pass over the file: every line of each section whose header matches
// goes to on_line; a line that begins with '[' ends the section and is
// examined again as a header.
template <typename Begin, typename Line, typename End>
void read_pass(FILE* f, const char* header, Begin on_begin, Line on_line, End on_end) {
    std::rewind(f);
    char buf[conf_line_buffer_bytes];
    bool in_section = false;
    const size_t header_len = std::strlen(header);
    while (std::fgets(buf, sizeof buf, f)) {
        char* line = conf_line_trim(buf);
        if (*line == '[') {
            if (in_section) on_end();
            in_section = std::strncmp(line, header, header_len) == 0;
            if (in_section) on_begin();
            continue;
        }
        if (in_section && *line) on_line(line);
    }
    if (in_section) on_end();
}

void read_server_line(ConnectionSettings& s, char* line) {
    if (starts_with(line, "port")) {
        const QString v = value_text(line);
        s.port = uint16_t(value_number(line));
        const int colon = v.indexOf(':');
        if (colon >= 0) {
            const QString addr = v.left(colon);
            // The DVB card's loopback line comes before the real port line;
            // should it be the last, its port is still the engine's port.
            s.port_addr = addr == dvb_socket_address ? QString() : addr;
            s.port = uint16_t(std::atoi(v.mid(colon + 1).toLatin1().constData()));
        }
    }
    if (starts_with(line, "debug")) s.debug = uint16_t(value_number(line));
    if (starts_with(line, "traffic")) s.traffic = uint16_t(value_number(line));
    if (starts_with(line, "log")) s.log = value_text(line);
    if (starts_with(line, "sat_ip")) s.sat_ip = value_text(line);
    if (starts_with(line, "datatimeout")) s.datatimeout = uint16_t(value_number(line));
}

void read_remote_line(ConnectionSettings& s, char* line) {
    if (starts_with(line, "server")) {
        const QString v = value_text(line);
        const int colon = v.indexOf(':');
        if (colon >= 0) {
            s.server = v.left(colon);
            s.server_port = uint16_t(std::atoi(v.mid(colon + 1).toLatin1().constData()));
        }
    }
    if (starts_with(line, "speed_in")) speed_pair(value_text(line), &s.speed_in_min, &s.speed_in_max);
    if (starts_with(line, "speed_out")) speed_pair(value_text(line), &s.speed_out_min, &s.speed_out_max);
    if (starts_with(line, "mtu")) s.mtu = uint16_t(value_number(line));
    if (starts_with(line, "login")) s.login = value_text(line);
    if (starts_with(line, "passwd")) s.passwd = value_text(line);
    if (starts_with(line, "mru")) s.mru = uint16_t(value_number(line));
}

struct local_section {
    int service = -1;
    bool tunnel = false;
    QString addr;
    uint16_t port = 0;
};

void read_local_line(ConnectionSettings& s, local_section& sec, char* line) {
    if (starts_with(line, "port")) {
        const QString v = value_text(line);
        const int colon = v.indexOf(':');
        if (colon >= 0) {
            sec.addr = v.left(colon);
            sec.port = uint16_t(std::atoi(v.mid(colon + 1).toLatin1().constData()));
        } else {
            sec.addr.clear();
            sec.port = uint16_t(value_number(line));
        }
    }
    if (starts_with(line, "service_int")) {
        sec.service = value_number(line);
        sec.tunnel = false;
    }
    // Any of these keys makes the section the tunnel's, whatever its value.
    if (starts_with(line, "tun_timeout")) {
        s.tap_tun_timeout = uint16_t(value_number(line));
        sec.tunnel = true;
    }
    if (starts_with(line, "tun_init")) {
        if (starts_with(conf_line_value(line), "manual")) s.tap_config_dhcp = false;
        sec.tunnel = true;
    }
    if (starts_with(line, "route")) {
        if (starts_with(conf_line_value(line), "replace")) s.tap_route_replace = true;
        sec.tunnel = true;
    }
    if (starts_with(line, "dns")) {
        if (starts_with(conf_line_value(line), "local")) s.tap_dns_server = false;
        sec.tunnel = true;
    }
    if (starts_with(line, "ptp_ip")) {
        s.tap_ptp_ip = value_text(line);
        sec.tunnel = true;
    }
    if (starts_with(line, "transparent")) sec.tunnel = true;
}

void end_local_section(ConnectionSettings& s, const local_section& sec) {
    if (sec.tunnel) {
        s.tap = true;
        s.tap_ip = sec.addr;
        return;
    }
    LocalService* svc = nullptr;
    switch (sec.service) {
    case service_int_http: svc = &s.http; break;
    case service_int_socks: svc = &s.socks; break;
    case service_int_int3: svc = &s.int3; break;
    case service_int_int4: svc = &s.int4; break;
    default:
        // A listener the dialog cannot show: the file is not ours to rewrite.
        s.settings_local = false;
        return;
    }
    *svc = LocalService{true, sec.addr, sec.port};
}

}  // namespace

bool conf_file_present(const QString& path) {
    const QFileInfo info(path);
    if (!info.isFile()) return false;
    QFile f(path);
    return f.open(QIODevice::ReadOnly);
}

conf_text_fault conf_text_check(const QString& text, int max_chars) {
    for (const QChar c : text)
        if (c == '\r' || c == '\n' || c == QChar(0)) return conf_text_fault::line_break;
    for (const QChar c : text)
        if (c.unicode() > 0xFF) return conf_text_fault::not_latin1;
    if (text.contains(' ') || text.contains('\t')) return conf_text_fault::blank;
    if (text.startsWith('#')) return conf_text_fault::comment;
    if (max_chars > 0 && text.size() > max_chars) return conf_text_fault::too_long;
    return conf_text_fault::none;
}

int conf_text_max_chars(conf_text_field field) {
    const text_line l = line_of(field);
    if (l.max_chars > 0) return l.max_chars;
    // The key, '=', the text, ":port" and LF.
    int frame = int(std::strlen(l.key)) + 2;
    if (l.port >= 0) frame += 1 + int(std::to_string(l.port).size());
    return conf_line_max_bytes - frame;
}

conf_text_fault conf_text_check(conf_text_field field, const QString& text) {
    const text_line l = line_of(field);
    const conf_text_fault fault = conf_text_check(text, l.max_chars);
    if (fault != conf_text_fault::none) return fault;
    if (l.port >= 0 && text.contains(':')) return conf_text_fault::colon;
    if (text.size() > conf_text_max_chars(field)) return conf_text_fault::line_too_long;
    return conf_text_fault::none;
}

QVector<conf_text_problem> conf_text_problems(const ConnectionSettings& s) {
    const struct {
        const char* key;
        conf_text_field field;
        const QString& text;
    } texts[] = {
        {"port", conf_text_field::port_addr, s.port_addr},
        {"log", conf_text_field::log, s.log},
        {"sat_ip", conf_text_field::sat_ip, s.sat_ip},
        {"server", conf_text_field::server, s.server},
        {"login", conf_text_field::login, s.login},
        {"passwd", conf_text_field::passwd, s.passwd},
        {"http", conf_text_field::service_ip, s.http.ip},
        {"int3", conf_text_field::service_ip, s.int3.ip},
        {"int4", conf_text_field::service_ip, s.int4.ip},
        {"socks", conf_text_field::service_ip, s.socks.ip},
        {"tunnel", conf_text_field::tap_ip, s.tap_ip},
        {"ptp_ip", conf_text_field::ptp_ip, s.tap_ptp_ip},
    };
    QVector<conf_text_problem> problems;
    for (const auto& t : texts) {
        const conf_text_fault fault = conf_text_check(t.field, t.text);
        if (fault != conf_text_fault::none) problems.push_back({t.key, t.field, t.text, fault});
    }
    return problems;
}

bool write_conf(const ConnectionSettings& s, bool dvb_connect, const QString& path) {
    // A line break in a text would write lines of its own: nothing goes out
    // that the reader would not give back.
    if (!conf_text_problems(s).isEmpty()) return false;
    // The whole text first: the file is replaced at once or not at all.
    char* buf = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&buf, &len);
    if (!f) return false;
    std::fprintf(f, "[server]\n");
    std::fprintf(f, "traffic=%d\n", s.traffic);
    if (s.debug != 0) std::fprintf(f, "debug=%d\n", s.debug);
    if (s.port_addr.isEmpty()) {
        std::fprintf(f, "port=%d\n", s.port);
    } else {
        if (dvb_connect) std::fprintf(f, "port=%s:%d\n", dvb_socket_address, s.port);
        std::fprintf(f, "port=%s:%d\n", text(s.port_addr).constData(), s.port);
    }
    std::fprintf(f, "log=%s\n", text(s.log).constData());
    std::fprintf(f, "datatimeout=%d\n", s.datatimeout);
    std::fprintf(f, "control_socket=%s:%d\n", console_host, console_port);
    if (!s.sat_ip.isEmpty()) std::fprintf(f, "sat_ip=%s\n", text(s.sat_ip).constData());
    std::fprintf(f, "[remote]\nname=quorin\n");
    std::fprintf(f, "server=%s:%d\n", text(s.server).constData(), s.server_port);
    std::fprintf(f, "login=%s\npasswd=%s\n", text(s.login).constData(), text(s.passwd).constData());
    std::fprintf(f, "mtu=%d\nmru=%d\n", s.mtu, s.mru);
    write_speed(f, "speed_in", s.speed_in_min, s.speed_in_max);
    write_speed(f, "speed_out", s.speed_out_min, s.speed_out_max);
    write_service(f, s.http, service_int_http);
    write_service(f, s.int3, service_int_int3);
    write_service(f, s.int4, service_int_int4);
    write_service(f, s.socks, service_int_socks);
    if (s.tap) {
        std::fprintf(f, "[local]\nremote=quorin\ntun_timeout=%d\n", s.tap_tun_timeout);
        std::fprintf(f, "tun_init=%s\n", s.tap_config_dhcp ? "dhcp" : "manual");
        if (s.tap_route_replace) std::fprintf(f, "route=replace\n");
        if (!s.tap_dns_server) std::fprintf(f, "dns=local\n");
        if (!s.tap_ptp_ip.isEmpty()) std::fprintf(f, "ptp_ip=%s\n", text(s.tap_ptp_ip).constData());
        std::fprintf(f, "tunnel=%s:%d\n", text(s.tap_ip).constData(), tap_tunnel_port);
        std::fprintf(f, "[local]\nremote=quorin\ntransparent\n");
        std::fprintf(f, "port=%s:%d\n", text(s.tap_ip).constData(), tap_transparent_port);
    }
    const bool formatted = !std::ferror(f) && std::fclose(f) == 0;
    const bool written = formatted && replace_file(QFile::encodeName(path).toStdString(), std::string(buf, len));
    const int err = errno;
    std::free(buf);
    errno = err;
    return written;
}

bool read_conf(ConnectionSettings& s, const QString& path) {
    // A FIFO put there would hold the open until someone writes to it.
    const int fd = open_regular_file(QFile::encodeName(path).toStdString(), O_RDONLY);
    if (fd < 0) return false;
    FILE* f = fdopen(fd, "r");
    if (!f) {
        close(fd);
        return false;
    }

    read_pass(
        f, "[server]", [] {}, [&](char* line) { read_server_line(s, line); }, [] {});

    s.mtu = 500;
    s.mru = 1460;
    s.speed_in_min = 1000;
    s.speed_in_max = 8000;
    s.speed_out_min = 500;
    s.speed_out_max = 3000;
    s.settings_local = true;
    int remotes = 0;
    read_pass(
        f, "[remote]", [&] { ++remotes; }, [&](char* line) { read_remote_line(s, line); }, [] {});
    // Only one server fits the dialog.
    if (remotes > 1) s.settings_local = false;

    s.tap_config_dhcp = true;
    s.tap_route_replace = false;
    s.tap_dns_server = true;
    s.tap_tun_timeout = 10;
    s.tap = false;
    s.http.enabled = s.socks.enabled = s.int3.enabled = s.int4.enabled = false;
    local_section sec;
    read_pass(
        f, "[local]", [&] { sec = local_section{}; }, [&](char* line) { read_local_line(s, sec, line); },
        [&] { end_local_section(s, sec); });

    std::fclose(f);
    return true;
}

char* conf_line_trim(char* line) {
    int i = 0;
    while (i < conf_line_buffer_bytes && line[i] != 0 && line[i] != '#' && static_cast<signed char>(line[i]) <= ' ')
        ++i;
    if (i >= conf_line_buffer_bytes || line[i] == 0 || line[i] == '#') {
        line[0] = 0;
        return line;
    }
    char* start = line + i;
    while (i < conf_line_buffer_bytes - 1 && line[i] != 0 && line[i] != '\n' && line[i] != '\r') ++i;
    line[i] = 0;
    return start;
}

char* conf_line_value(char* line) {
    char* p = line;
    while (*p && *p != '=' && *p != '#') ++p;
    if (!*p) return p;
    return conf_line_trim(p + 1);
}
