// The configuration reader on arbitrary file text: trim and conf_split on
// every line, then read_config on the whole text.
//
// read_config makes and binds sockets and ends the process on some values.
// The reader offers no seam to skip those side effects, so the harness makes
// them harmless and removes only the lines that would end the process:
// - bind is replaced (fuzz_support): every IPv4 bind goes to 127.0.0.1 port 0,
//   so `port`, `control_socket` and [local] `port` lines are read in full and
//   their sockets made, registered and closed again after the input;
// - name lookups always fail and only numeric addresses resolve, so no DNS
//   query leaves the process; connects and sends are held to loopback;
// - fopen reads nothing but the configuration file and appends to nothing,
//   so `log` exercises its failure branch (standard output, sent to
//   /dev/null here) and never creates a file;
// - the tunnel library is "available" with recording stand-ins, so
//   `transparent` listeners and `tap_guid` run their real paths.
// Lines removed before reading, each in the section where it would be read
// (judged by the last "[" line, a superset of what each pass reads):
// - [server] `udpdstlog`: a host that does not resolve or a port of 0 is fatal
//   by design, and a valid one would copy every log line to that address;
// - [remote] `server` whose host is not a dotted quad or whose port reads as
//   0 or past 65535: fatal by design;
// - [local] `tunnel` with a ":": the bring-up connects to a control port that
//   nothing listens on, which is fatal by design;
// - [server] `port` and `control_socket` and [local] `port` whose port is not
//   a number from 0 to 65535 or whose address part is not a dotted IPv4
//   address, and [remote] `speed_in` and `speed_out` whose speeds are not
//   numbers from 1 to 2147483647: configuration errors, fatal by design.
// Any other exit is a finding: libFuzzer reports it.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/config.h"
#include "engine/globals.h"
#include "engine/loop.h"
#include "engine/session.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr size_t line_buffer_bytes = 1024;  // the reader's fgets buffer
// Every `port` line makes a socket; more than this in one input only costs time.
constexpr int socket_lines_max = 64;

std::string config_path;
int config_fd = -1;

void stub_listen_port(int) {}
void stub_guid(const char* guid) {
    if (std::strlen(guid) > 1024) std::abort();
}

bool starts_with(const char* s, const char* key) { return std::strncmp(s, key, std::strlen(key)) == 0; }

bool server_value_fatal(const std::string& v) {
    const size_t colon = v.find(':');
    if (colon == std::string::npos) return false;  // ignored without ":"
    in_addr a{};
    if (inet_pton(AF_INET, v.substr(0, colon).c_str(), &a) != 1) return true;
    const long port = std::strtol(v.c_str() + colon + 1, nullptr, 10);
    return port <= 0 || port > 65535;
}

bool number_in(const std::string& text, long long min, long long max) {
    if (text.empty()) return false;
    long long n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + (c - '0');
        if (n > max) return false;
    }
    return n >= min;
}

bool port_value_fatal(const std::string& value) {
    const size_t colon = value.find(':');
    if (colon == std::string::npos) return !number_in(value, 0, 65535);
    in_addr a{};
    return inet_pton(AF_INET, value.substr(0, colon).c_str(), &a) != 1 || !number_in(value.substr(colon + 1), 0, 65535);
}

bool speed_value_fatal(const std::string& value) {
    const size_t colon = value.find(':');
    if (!number_in(value.substr(0, colon), 1, INT32_MAX)) return true;
    return colon != std::string::npos && !number_in(value.substr(colon + 1), 1, INT32_MAX);
}

// The file as the reader will meet it: lines cut the way fgets cuts them
// (at most 1023 bytes, so a longer line goes on as further lines), judged
// after trim, kept or dropped whole.
std::string filter(const uint8_t* data, size_t size, int* socket_lines) {
    std::string out;
    std::string section;
    size_t off = 0;
    *socket_lines = 0;
    while (off < size) {
        size_t n = 0;
        while (off + n < size && n < line_buffer_bytes - 1) {
            n++;
            if (data[off + n - 1] == '\n') break;
        }
        std::string raw(reinterpret_cast<const char*>(data + off), n);
        off += n;
        // fgets stops at a NUL only as far as the caller sees: the rest of
        // that piece is lost to it. Cut there, the same way.
        char buf[line_buffer_bytes];
        std::memcpy(buf, raw.data(), raw.size());
        buf[raw.size()] = 0;
        char* line = trim(buf);
        const std::string value = conf_split(line);
        if (*line == '[') {
            section = line;
        } else if (starts_with(section.c_str(), "[server]")) {
            if (starts_with(line, "udpdstlog")) continue;
            if (starts_with(line, "port") || starts_with(line, "control_socket")) {
                if (port_value_fatal(value)) continue;
                ++*socket_lines;
            }
        } else if (starts_with(section.c_str(), "[remote]")) {
            if (starts_with(line, "server") && server_value_fatal(value)) continue;
            if (starts_with(line, "speed_in") && speed_value_fatal(value)) continue;
            if (starts_with(line, "speed_out") && speed_value_fatal(value)) continue;
        } else if (starts_with(section.c_str(), "[local]")) {
            if (starts_with(line, "tunnel") && value.find(':') != std::string::npos) continue;
            if (starts_with(line, "port")) {
                if (port_value_fatal(value)) continue;
                ++*socket_lines;
            }
        }
        out += raw;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_init_once();
    guard_set_strict(true);
    guard_set_rewrite_bind(true);
    // Standard output is where a failed `log` file sends the log.
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    close(null_fd);
    config_fd = memfd_create("quorin.conf", 0);
    if (config_fd < 0) {
        std::perror("memfd_create");
        std::abort();
    }
    config_path = "/proc/self/fd/" + std::to_string(config_fd);
    config_file_name = config_path.c_str();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int socket_lines = 0;
    const std::string text = filter(data, size, &socket_lines);
    if (socket_lines > socket_lines_max) return -1;

    // The helpers on their own, on every piece of the text.
    {
        std::string copy(text);
        char* save = nullptr;
        for (char* line = strtok_r(copy.data(), "\n", &save); line; line = strtok_r(nullptr, "\n", &save)) {
            std::vector<char> buf(line, line + std::strlen(line) + 1);
            char* t = trim(buf.data());
            if (std::strlen(t) > std::strlen(line)) std::abort();
            const std::string v = conf_split(t);
            if (v.size() > std::strlen(t)) std::abort();
            strip_eol(buf.data());
        }
    }

    if (ftruncate(config_fd, 0) != 0 || pwrite(config_fd, text.data(), text.size(), 0) != ssize_t(text.size()))
        std::abort();

    fuzz_reset();
    // The settings as at start-up; the reader closes a log file it finds,
    // so /dev/null is taken away first.
    runtime.log_file = nullptr;
    runtime_defaults();
    fd_poll.count = 0;  // the reader registers its own sockets
    tunnel_available = 1;
    tun.SetTunTcpListenPort = stub_listen_port;
    tun.SetTapGuid = stub_guid;
    guard_set_fopen_only(config_file_name);
    read_config();
    guard_set_fopen_only(nullptr);

    // What the reader filled must hold together.
    if (remote_count < 0 || remote_count > remote_table_size) std::abort();
    if (local_count < 0 || local_count > local_table_size) std::abort();
    for (int i = 0; i < remote_count; i++) {
        const remote_record& r = remote_table[i];
        if (!std::memchr(r.name, 0, sizeof r.name) || !std::memchr(r.login, 0, sizeof r.login) ||
            !std::memchr(r.passwd, 0, sizeof r.passwd))
            std::abort();
        if (!r.name[0] || !r.server_addr || !r.server_port) std::abort();
        for (uint32_t speed : {r.speed_in_min, r.speed_in_max, r.speed_out_min, r.speed_out_max})
            if (speed == 0 || speed > INT32_MAX) std::abort();
    }
    for (int i = 0; i < local_count; i++)
        for (int r : local_table[i].remotes)
            if (r < 0 || r >= remote_count) std::abort();
    if (invalid_ports_count < 0 || invalid_ports_count > invalid_ports_max) std::abort();
    if (!std::memchr(runtime.qrid, 0, sizeof runtime.qrid)) std::abort();
    if (runtime.buflen < 0 || runtime.buflen > 4076) std::abort();
    if (unsigned(runtime.rcvbuf) > unsigned(runtime.buflen)) std::abort();
    if (runtime.datatimeout_s < 12) std::abort();

    // The log file, when a `log` line made one, is standard output.
    if (runtime.log_file == stdout) runtime.log_file = nullptr;
    server_udp_fd = env.engine_udp;
    fuzz_teardown();
    return 0;
}
