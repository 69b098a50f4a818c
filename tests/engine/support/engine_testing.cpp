#include "tests/engine/support/engine_testing.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "engine/config.h"
#include "engine/log.h"
#include "engine/loop.h"
#include "engine/session.h"
#include "engine/streams.h"
#include "platform/net.h"
#include "platform/sleep.h"
#include "platform/tick.h"
#include "protocol/fifo.h"

namespace engine_testing {

uint32_t fake_ms = 0;
std::vector<uint32_t> sleeps;
uint32_t fake_tick() { return fake_ms; }
void record_sleep(uint32_t ms) { sleeps.push_back(ms); }

std::vector<uint32_t> in_slices(const std::vector<uint32_t>& waits) {
    std::vector<uint32_t> out;
    for (uint32_t ms : waits)
        for (; ms > 0; ms -= std::min<uint32_t>(ms, 100)) out.push_back(std::min<uint32_t>(ms, 100));
    return out;
}

remote_record remotes[remote_table_size];
local_entry locals[local_table_size];

void set_remote(remote_record& r, const char* name, uint16_t port_net) {
    std::snprintf(r.name, sizeof r.name, "%s", name);
    r.server_addr = htonl(INADDR_LOOPBACK);
    r.server_port = port_net;
    r.speed_in_min = 1000;
    r.speed_in_max = 8000;
    r.speed_out_min = 500;
    r.speed_out_max = 3000;
    r.mtu = 1472;
    r.mru = 1472;
    r.ldelay_s = 0.05;
}

// ---------------------------------------------------------------- sockets

int loopback_socket(int type, uint16_t* port_net) {
    const int fd = socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    if (port_net) *port_net = a.sin_port;
    set_nonblocking(fd);
    return fd;
}

int tcp_listener(uint32_t addr_net, uint16_t* port_net) {
    const int l = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = addr_net;
    if (bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(l);
        return -1;
    }
    listen(l, 16);
    socklen_t len = sizeof a;
    getsockname(l, reinterpret_cast<sockaddr*>(&a), &len);
    *port_net = a.sin_port;
    return l;
}

std::pair<int, int> tcp_pair() {
    uint16_t port;
    const int l = tcp_listener(htonl(INADDR_LOOPBACK), &port);
    const int c = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = port;
    connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
    const int e = accept(l, nullptr, nullptr);
    close(l);
    set_nonblocking(e);
    return {e, c};
}

bool wait_readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

bool fd_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

void send_datagram(int from, uint16_t port_net, const void* data, size_t n) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = port_net;
    sendto(from, data, n, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

std::vector<bytes> drain_datagrams(int fd, int settle_us) {
    std::vector<bytes> out;
    if (settle_us) usleep(settle_us);
    bytes b(2048);
    ssize_t n;
    while ((n = recv(fd, b.data(), b.size(), 0)) >= 0) out.emplace_back(b.begin(), b.begin() + n);
    return out;
}

std::string read_all(FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    return out;
}

bool hosts_only(const char* host, uint32_t* addr_net) {
    in_addr a{};
    if (inet_pton(AF_INET, host, &a) == 1) {
        *addr_net = a.s_addr;
        return true;
    }
    if (std::strcmp(host, "localhost") != 0) return false;
    *addr_net = htonl(INADDR_LOOPBACK);
    return true;
}

// ---------------------------------------------------------------- commands

namespace {

std::vector<rec>& recs(void* ctx) { return *static_cast<std::vector<rec>*>(ctx); }

void rec_open(void* ctx, const cmd_open_req& r) {
    recs(ctx).push_back(rec{0, r.stream_id, 0, r.addr_net, r.port_net, std::string(r.name, r.name_len), ""});
}
void rec_open_internal(void* ctx, uint8_t service, uint16_t id) {
    recs(ctx).push_back(rec{1, id, service, 0, 0, "", ""});
}
void rec_stream(void* ctx, int code, uint16_t id) { recs(ctx).push_back(rec{code, id, 0, 0, 0, "", ""}); }
void rec_end(void* ctx, uint16_t id) { rec_stream(ctx, 2, id); }
void rec_stop(void* ctx, uint16_t id) { rec_stream(ctx, 4, id); }
void rec_cont(void* ctx, uint16_t id) { rec_stream(ctx, 5, id); }
void rec_shutdown(void* ctx, uint16_t id) { rec_stream(ctx, 7, id); }
void rec_data(void* ctx, uint16_t id, const uint8_t* b, uint32_t n) {
    std::vector<rec>& v = recs(ctx);
    if (v.empty() || v.back().code != 3 || v.back().id != id) v.push_back(rec{3, id, 0, 0, 0, "", ""});
    v.back().data.append(reinterpret_cast<const char*>(b), n);
}
void rec_tunnel(void* ctx, const uint8_t* p, uint16_t len) {
    recs(ctx).push_back(rec{6, 0, 0, 0, 0, "", std::string(p, p + len)});
}

}  // namespace

const cmd_handlers recorder = {rec_open, rec_open_internal, rec_end,    rec_data, rec_stop,
                               rec_cont, rec_shutdown,      rec_tunnel, nullptr};

int count_code(const std::vector<rec>& v, int code) {
    int n = 0;
    for (const rec& r : v) n += r.code == code;
    return n;
}

bytes data_cmd(uint16_t id, const std::string& payload) {
    bytes b(4);
    cmd_put_data_header(b.data(), uint16_t(payload.size()), id);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

bytes stream_cmd(cmd_code code, uint16_t id) {
    bytes b(3);
    cmd_put_stream(b.data(), code, id);
    return b;
}

bytes open_cmd(uint16_t id, uint32_t addr_net, uint16_t port_net, const std::string& name) {
    bytes b(10 + name.size());
    cmd_put_open(b.data(), port_net, addr_net, id, name.empty() ? nullptr : name.c_str(), uint8_t(name.size()));
    return b;
}

bytes open_internal_cmd(uint8_t service, uint16_t id) {
    bytes b(3);
    cmd_put_open_internal(b.data(), service, id);
    return b;
}

bytes tunnel_cmd(uint16_t len, uint8_t fill) {
    bytes b(3);
    cmd_put_tunnel_header(b.data(), len);
    b.insert(b.end(), len, fill);
    return b;
}

bytes cat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

server_codec::server_codec() {
    zstream_inflate_init(&in_);
    zstream_deflate_init(&out_, 6);
}

server_codec::~server_codec() {
    inflateEnd(&in_);
    deflateEnd(&out_);
}

std::string server_codec::take_output(stx_session* s) {
    bytes z(s->out_deflated.len);
    fifo_read(&s->out_deflated, z.data(), uint32_t(z.size()));
    byte_fifo plain;
    payload_inflate(&in_, z.data(), uint32_t(z.size()), &plain, 4076, 64u << 20);
    std::string out(plain.len, '\0');
    fifo_read(&plain, out.data(), uint32_t(out.size()));
    fifo_free(&plain);
    return out;
}

std::vector<rec> server_codec::take_commands(stx_session* s) {
    session_flush(s);
    bytes z(s->out_deflated.len);
    fifo_read(&s->out_deflated, z.data(), uint32_t(z.size()));
    byte_fifo plain;
    payload_inflate(&in_, z.data(), uint32_t(z.size()), &plain, 4076, 64u << 20);
    std::vector<rec> out;
    process_commands_core(parser_, plain, recorder, &out);
    fifo_free(&plain);
    return out;
}

bytes server_codec::packet(const bytes& plain) {
    bytes out(plain.size() + 256);
    out_.next_in = const_cast<Bytef*>(plain.data());
    out_.avail_in = uInt(plain.size());
    out_.next_out = out.data();
    out_.avail_out = uInt(out.size());
    deflate(&out_, Z_SYNC_FLUSH);
    out.resize(out.size() - out_.avail_out);
    return out;
}

// ---------------------------------------------------------------- fixture

void EngineTest::SetUp() {
    log_install_protocol_hooks();
    globals_reset();
    poll_reset();
    tick_set_source(fake_tick);
    sleeps.clear();
    sleep_set_impl(record_sleep);
    fake_ms = start_ms_;
    clock_reset();
    now = clock_now();
    last_compaction = now;
    log = std::tmpfile();
    runtime.log_file = log;
    runtime.debug = 1;
    spare_socket = udp_socket(nullptr);
    for (auto& r : remotes) r = remote_record{};
    for (auto& l : locals) l = local_entry{};
    remote_table = remotes;
    local_table = locals;
}

void EngineTest::TearDown() {
    while (session_head) close_session(session_head);
    for (int i = 0; i < fd_poll.count; i++)
        if (fd_poll.entries[i].fd != spare_socket && fd_poll.entries[i].fd > 2) sock_close(fd_poll.entries[i].fd);
    for (int fd : extra_fds) sock_close(fd);
    poll_reset();
    sock_close(spare_socket);
    spare_socket = -1;
    server_udp_fd = -1;
    runtime.log_file = nullptr;
    std::fclose(log);
    remote_table = nullptr;
    local_table = nullptr;
    tick_set_source(nullptr);
    sleep_set_impl(nullptr);
}

int EngineTest::start_fake_server() {
    fake_server = udp_socket(&fake_port);
    extra_fds.push_back(fake_server);
    server_udp_fd = udp_socket(&engine_port);
    const int index = fd_append(server_udp_fd, ev_read, fd_server_udp, nullptr, nullptr, 0);
    set_remote(remotes[0], "alpha", fake_port);
    remote_count = 1;
    return index;
}

stx_session* EngineTest::make_session(int mode) {
    if (fake_server < 0) start_fake_server();
    locals[0].remotes = {0};
    locals[0].mode = mode;
    local_count = 1;
    cur_index = fd_append(socket(AF_INET, SOCK_STREAM, 0), ev_read, fd_listener, nullptr, nullptr, 0);
    EXPECT_EQ(0, find_session());
    return cur_session;
}

void ConfigFileTest::SetUp() {
    globals_reset();
    poll_reset();
    server_udp_fd = -1;
}

void ConfigFileTest::TearDown() {
    for (int i = 0; i < fd_poll.count; ++i)
        if (fd_poll.entries[i].fd != spare_socket) close(fd_poll.entries[i].fd);
    fd_poll.count = 0;
    server_udp_fd = -1;
    config_file_name = "quorin.conf";
    globals_reset();
}

void ConfigFileTest::load(const std::string& text) {
    dir.write("quorin.conf", text);
    path = dir.file("quorin.conf");
    config_file_name = path.c_str();
    read_config();
}

}  // namespace engine_testing
