#include "tools/refserver/server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/commands.h"
#include "protocol/fifo.h"
#include "protocol/hooks.h"
#include "protocol/packet.h"
#include "protocol/session_core.h"
#include "protocol/wire.h"
#include "tools/refserver/pacing.h"
#include "tools/refserver/resolver.h"
#include "tools/refserver/tun_side.h"
#include "tools/refserver/sat.h"

namespace {

// The engine clamps its own measure to 0.2 s; on loopback ours is far
// smaller and only feeds the tail-loss probe.
constexpr double min_rtt_s = 0.005;
// One payload of at most 1503 bytes inflates to about 1.5 MB at zlib's best
// ratio; beyond that it is no stream an honest client deflated.
constexpr uint32_t inflate_max_bytes = 2u << 20;
// Deflated bytes that may wait for the bucket before streams stop being read.
constexpr uint32_t out_deflated_cap = 256 * 1024;
// A stream whose client goes on sending after our stop is ended past
// stream_limit times this.
constexpr uint32_t stream_hard_cap_factor = 16;
// All streams of a session together hold no more than this for their sockets.
constexpr uint64_t session_out_cap = 256ull << 20;
// Out-of-order packets held for one session; an honest engine has far fewer
// in flight.
constexpr uint32_t rx_window_packets_max = 65536;
constexpr size_t control_conns_max = 64;
constexpr uint32_t read_per_event_bytes = 64 * 1024;
constexpr int datagrams_per_pass = 4096;
// A packet sent last and lost shows as a gap only when something follows it;
// an idle session with data in flight sends a keepalive for that, backing
// off while nothing is acknowledged.
constexpr double probe_min_s = 0.05;
constexpr double probe_max_s = 5.0;
constexpr double control_line_timeout_s = 30;
constexpr size_t control_line_max = 512;
constexpr int udp_socket_buffer_bytes = 4 << 20;
constexpr double idle_poll_s = 0.02;
// A client's packet slot: a longer packet from the TUN device would be
// dropped there.
constexpr size_t tun_packet_max_bytes = 1500;
constexpr int tun_reads_per_event = 256;
// An ended stream may go on writing what it holds for this long, as the
// engine lets its own closed streams drain.
constexpr double stream_drain_s = 60;

volatile sig_atomic_t stop_requested = 0;
volatile sig_atomic_t dump_requested = 0;
void on_signal(int) { stop_requested = 1; }
void on_dump_signal(int) { dump_requested = 1; }

double mono_now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// One line per notable event on standard output, flushed, for tests to wait on.
void event(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void event(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vprintf(fmt, ap);
    va_end(ap);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

bool verbose_log = false;

void proto_log_hook(int level, const char* fmt, va_list ap) {
    if (!verbose_log || level > 1) return;
    std::fputs("proto: ", stderr);
    std::vfprintf(stderr, fmt, ap);
}

void proto_fatal_hook(int where, const char* text) {
    std::fprintf(stderr, "refserver: fatal: %s (%d)\n", text, where);
    std::fflush(stderr);
    std::abort();
}

// Peer-supplied text in an event line: one word of printable characters.
std::string printable(const std::string& s) {
    std::string out;
    for (unsigned char c : s) out += (c > 32 && c < 127) ? char(c) : '?';
    if (out.empty()) out = "-";
    return out;
}

std::string endpoint_text(uint32_t addr_net, uint16_t port) {
    char a[INET_ADDRSTRLEN] = "?";
    in_addr in{};
    in.s_addr = addr_net;
    inet_ntop(AF_INET, &in, a, sizeof a);
    char out[64];
    std::snprintf(out, sizeof out, "%s:%u", a, unsigned(port));
    return out;
}

enum stream_state : uint8_t { st_resolving, st_connecting, st_open };

// One carried connection: to the destination that the client named, or a
// control connection bridged to a stream that this server opened.
struct rs_stream {
    uint16_t id = 0;
    int fd = -1;
    bool control = false;
    stream_state state = st_resolving;
    uint64_t ticket = 0;      // pending name lookup
    uint16_t port = 0;        // host order, for a lookup's connect
    std::string dest;
    byte_fifo out;            // from the client, not yet written
    bool peer_stopped = false;  // the client asked us to stop sending
    bool we_stopped = false;    // we asked the client to stop
    bool local_eof = false;     // our side read end of file and sent shutdown
    bool remote_shut = false;   // the client sent shutdown
    bool wr_shut = false;       // shutdown(SHUT_WR) done
    bool ended = false;         // the client ended it: write what is left, then close
    double drain_deadline = 0;
    uint64_t* session_out = nullptr;  // the session's total of bytes held in `out`

    rs_stream() = default;
    rs_stream(const rs_stream&) = delete;
    rs_stream& operator=(const rs_stream&) = delete;
    ~rs_stream() {
        if (session_out) *session_out -= out.len;
        fifo_free(&out);
        if (fd >= 0) close(fd);
    }
};

struct rs_session {
    session_core core;
    sockaddr_in peer{};
    std::string login;
    uint32_t speed_first = 0, speed_second = 0;
    uint16_t mru = 0;
    uint16_t packet_size = 0;  // wire bytes of our largest datagram
    uint64_t serial = 0;       // creation order: control opens use the newest
    token_bucket bucket;
    bool rx_pending = false;   // data packets stored, not yet delivered
    bool ack_due = false;      // delivered data not yet acknowledged by a header
    bool need_flush = false;   // commands deflated without a sync flush
    double probe_s = probe_min_s;
    uint64_t out_bytes = 0;    // held for all streams' sockets
    std::map<uint16_t, std::unique_ptr<rs_stream>> streams;
    uint16_t next_own_id = 0xFFFF;  // ids of our own opens, from the top down

    rs_session() = default;
    rs_session(const rs_session&) = delete;
    rs_session& operator=(const rs_session&) = delete;
    ~rs_session() {
        streams.clear();
        session_core_release(core);
    }
};

struct control_conn {
    std::string line;
    double since = 0;
};

struct totals {
    uint64_t dgrams_out = 0, bytes_out = 0, dgrams_in = 0, bytes_in = 0, dropped = 0;
    uint32_t resends_asked = 0, resent = 0;
};

enum slot_kind : uint8_t { slot_udp, slot_control_listener, slot_resolver, slot_control_conn, slot_stream, slot_tun };

struct slot_ref {
    slot_kind kind;
    uint32_t sid;
    uint16_t stream_id;
    int fd;
};

class server {
public:
    explicit server(const refserver_options& o) : opts_(o), resolver_(o.dns) {}
    ~server();
    server(const server&) = delete;
    server& operator=(const server&) = delete;

    int run();

    // Command handlers, called by the parser through the table below.
    void on_open(rs_session& s, const cmd_open_req& req);
    void on_open_internal(rs_session& s, uint8_t service, uint16_t id);
    void on_end(rs_session& s, uint16_t id);
    void on_data(rs_session& s, uint16_t id, const uint8_t* bytes, uint32_t n);
    void on_stop(rs_session& s, uint16_t id);
    void on_continue(rs_session& s, uint16_t id);
    void on_shutdown(rs_session& s, uint16_t id);
    void on_tunnel(rs_session& s, const uint8_t* pkt, uint16_t len);

private:
    bool open_sockets();
    void build_poll_set();
    int poll_timeout_ms() const;
    void dispatch(size_t i);

    void dump_state();
    void receive_datagrams();
    void handle_datagram(stx_packet* p, size_t len, const sockaddr_in& from);
    void handle_login(stx_packet* p, size_t len, const sockaddr_in& from);
    rs_session* find_session(uint32_t sid);
    void end_session(rs_session& s, const char* reason, bool send_reset);
    bool service_session(rs_session& s);
    void send_step(rs_session& s);
    void send_keepalive(rs_session& s);
    bool send_datagram(rs_session& s, const uint8_t* data, size_t len);
    void send_raw(const sockaddr_in& to, const uint8_t* data, size_t len);

    void emit(rs_session& s, const uint8_t* cmd, uint32_t n);
    void emit_stream_cmd(rs_session& s, cmd_code code, uint16_t id);
    void emit_data(rs_session& s, uint16_t id, const uint8_t* bytes, size_t n);
    bool session_can_take(const rs_session& s) const;

    rs_stream* find_stream(rs_session& s, uint16_t id);
    void drop_stream(rs_session& s, uint16_t id);
    void abort_stream(rs_session& s, uint16_t id, const char* why);
    bool start_connect(rs_session& s, rs_stream& st, uint32_t addr_net, uint16_t port);
    void stream_event(uint32_t sid, uint16_t id, short revents);
    void read_stream(rs_session& s, rs_stream& st);
    void write_stream(rs_session& s, rs_stream& st);
    void maybe_finish(rs_session& s, uint16_t id);
    short stream_interest(const rs_session& s, const rs_stream& st) const;

    void resolver_results();
    void tun_readable();
    void accept_control();
    void control_readable(int fd);
    void control_close(int fd);
    void control_command(int fd, const std::string& line, const std::string& rest);

    const refserver_options& opts_;
    resolver resolver_;
    tun_side tun_;
    int udp_fd_ = -1;
    int control_fd_ = -1;
    double now_ = 0;
    uint64_t serial_ = 0;
    uint64_t tickets_ = 0;
    double loss_acc_ = 0;
    totals totals_;
    std::map<uint32_t, std::unique_ptr<rs_session>> sessions_;
    std::map<uint64_t, std::pair<uint32_t, uint16_t>> lookups_;  // ticket -> session, stream
    std::map<int, control_conn> control_conns_;
    std::vector<pollfd> pfds_;
    std::vector<slot_ref> refs_;
    std::unique_ptr<sat_sender> sat_;  // downstream over the satellite, when asked for
};

struct handler_ctx {
    server* srv;
    rs_session* s;
};

server* ctx_srv(void* c) { return static_cast<handler_ctx*>(c)->srv; }
rs_session& ctx_s(void* c) { return *static_cast<handler_ctx*>(c)->s; }

const cmd_handlers handlers = {
    [](void* c, const cmd_open_req& req) { ctx_srv(c)->on_open(ctx_s(c), req); },
    [](void* c, uint8_t service, uint16_t id) { ctx_srv(c)->on_open_internal(ctx_s(c), service, id); },
    [](void* c, uint16_t id) { ctx_srv(c)->on_end(ctx_s(c), id); },
    [](void* c, uint16_t id, const uint8_t* b, uint32_t n) { ctx_srv(c)->on_data(ctx_s(c), id, b, n); },
    [](void* c, uint16_t id) { ctx_srv(c)->on_stop(ctx_s(c), id); },
    [](void* c, uint16_t id) { ctx_srv(c)->on_continue(ctx_s(c), id); },
    [](void* c, uint16_t id) { ctx_srv(c)->on_shutdown(ctx_s(c), id); },
    [](void* c, const uint8_t* pkt, uint16_t len) { ctx_srv(c)->on_tunnel(ctx_s(c), pkt, len); },
    [](void*, uint16_t len) { return len <= cmd_tunnel_max; },
};

server::~server() {
    sessions_.clear();
    for (auto& c : control_conns_) close(c.first);
    if (udp_fd_ >= 0) close(udp_fd_);
    if (control_fd_ >= 0) close(control_fd_);
}

// ---------------------------------------------------------------- set-up

bool server::open_sockets() {
    udp_fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (udp_fd_ < 0) {
        std::perror("refserver: udp socket");
        return false;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = opts_.listen.addr_net;
    a.sin_port = htons(opts_.listen.port);
    if (bind(udp_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::perror("refserver: bind udp");
        return false;
    }
    const int buf = udp_socket_buffer_bytes;
    setsockopt(udp_fd_, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
    setsockopt(udp_fd_, SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
    socklen_t al = sizeof a;
    getsockname(udp_fd_, reinterpret_cast<sockaddr*>(&a), &al);
    event("LISTEN %u", unsigned(ntohs(a.sin_port)));
    if (opts_.sat.set) {
        sat_ = std::make_unique<sat_sender>(opts_.sat, a.sin_addr.s_addr, ntohs(a.sin_port));
        if (!sat_->open()) {
            std::perror("refserver: satellite feed socket");
            return false;
        }
    }

    if (opts_.control_set) {
        control_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (control_fd_ < 0) {
            std::perror("refserver: control socket");
            return false;
        }
        const int one = 1;
        setsockopt(control_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in c{};
        c.sin_family = AF_INET;
        c.sin_addr.s_addr = opts_.control.addr_net;
        c.sin_port = htons(opts_.control.port);
        if (bind(control_fd_, reinterpret_cast<sockaddr*>(&c), sizeof c) != 0 || listen(control_fd_, 128) != 0) {
            std::perror("refserver: control listener");
            return false;
        }
        socklen_t cl = sizeof c;
        getsockname(control_fd_, reinterpret_cast<sockaddr*>(&c), &cl);
        event("CONTROL %u", unsigned(ntohs(c.sin_port)));
    }
    // Before the resolver's thread exists: the device may be opened from
    // another network namespace.
    if (!opts_.tun_name.empty()) {
        std::string err;
        if (!tun_.open(opts_.tun_name, opts_.tun_netns, &err)) {
            std::fprintf(stderr, "refserver: tun %s: %s\n", opts_.tun_name.c_str(), err.c_str());
            return false;
        }
        event("TUN %s", opts_.tun_name.c_str());
    }
    return resolver_.start();
}

int server::run() {
    verbose_log = opts_.verbose;
    proto_set_hooks(proto_log_hook, proto_fatal_hook);
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = on_dump_signal;
    sigaction(SIGUSR1, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (!open_sockets()) return 1;
    now_ = mono_now();
    while (!stop_requested) {
        build_poll_set();
        const int ready = poll(pfds_.data(), nfds_t(pfds_.size()), poll_timeout_ms());
        if (ready < 0 && errno != EINTR) {
            std::perror("refserver: poll");
            return 1;
        }
        now_ = mono_now();
        if (dump_requested) {
            dump_requested = 0;
            dump_state();
        }
        if (ready > 0)
            for (size_t i = 0; i < pfds_.size(); i++)
                if (pfds_[i].revents) dispatch(i);
        for (auto it = control_conns_.begin(); it != control_conns_.end();) {
            if (now_ - it->second.since > control_line_timeout_s) {
                close(it->first);
                it = control_conns_.erase(it);
            } else {
                ++it;
            }
        }
        for (auto it = sessions_.begin(); it != sessions_.end();) {
            if (service_session(*it->second))
                ++it;
            else
                it = sessions_.erase(it);
        }
    }
    for (auto& s : sessions_) end_session(*s.second, "shutdown", true);
    sessions_.clear();
    event("SHUTDOWN");
    return 0;
}

// On SIGUSR1: the state of every session and stream, for diagnosing a
// stalled test.
void server::dump_state() {
    for (auto& sp : sessions_) {
        const rs_session& s = *sp.second;
        const session_core& c = s.core;
        event("DIAG session %x rx_pid %u delivered %u window %u+%u/%u reqs %zu peer_good %u next %u/%u "
              "array_d %u+%u resend_q %zu in_flight %u deflated %u allowance %.0f idle %.3f/%.3f",
              c.session_id, c.last_rx_pid, c.last_delivered, c.window.first_id, c.window.used, c.window.count,
              c.reqs.items.size(), c.peer_last_good, c.next_pid, c.next_did, c.array_d.first, c.array_d.used,
              c.resend_q.items.size(), c.bytes_in_flight, c.out_deflated.len, s.bucket.allowance,
              now_ - c.last_rx_time, now_ - c.last_send);
        for (auto& stp : s.streams) {
            const rs_stream& st = *stp.second;
            event("DIAG stream %x %u state %d out %u peer_stopped %d we_stopped %d eof %d shut %d wr_shut %d ended %d",
                  c.session_id, unsigned(st.id), int(st.state), st.out.len, st.peer_stopped, st.we_stopped,
                  st.local_eof, st.remote_shut, st.wr_shut, st.ended);
        }
    }
}

// ---------------------------------------------------------------- poll set

void server::build_poll_set() {
    pfds_.clear();
    refs_.clear();
    auto add = [this](int fd, short events, slot_ref ref) {
        pfds_.push_back(pollfd{fd, events, 0});
        refs_.push_back(ref);
    };
    add(udp_fd_, POLLIN, {slot_udp, 0, 0, udp_fd_});
    add(resolver_.wake_fd(), POLLIN, {slot_resolver, 0, 0, resolver_.wake_fd()});
    if (control_fd_ >= 0) add(control_fd_, POLLIN, {slot_control_listener, 0, 0, control_fd_});
    if (tun_.fd() >= 0) add(tun_.fd(), POLLIN, {slot_tun, 0, 0, tun_.fd()});
    for (auto& c : control_conns_) add(c.first, POLLIN, {slot_control_conn, 0, 0, c.first});
    for (auto& sp : sessions_) {
        const rs_session& s = *sp.second;
        for (auto& stp : s.streams) {
            const rs_stream& st = *stp.second;
            if (st.fd < 0) continue;
            // A socket with nothing wanted stays out: its hang-up would
            // otherwise wake every poll until we read again.
            const short ev = stream_interest(s, st);
            if (ev) add(st.fd, ev, {slot_stream, sp.first, st.id, st.fd});
        }
    }
}

int server::poll_timeout_ms() const {
    double wait = idle_poll_s;
    for (auto& sp : sessions_) {
        const rs_session& s = *sp.second;
        const bool sendable = !s.core.resend_q.items.empty() ||
                              resend_req_size(s.core.reqs, now_) > 0 ||
                              (s.core.out_deflated.len > 0 && s.core.bytes_in_flight < opts_.window_bytes);
        if (sendable) wait = std::min(wait, std::max(bucket_wait_s(s.bucket), 0.001));
        if (!s.core.reqs.items.empty()) wait = std::min(wait, 0.001);  // due on the next tick
    }
    return int(std::ceil(wait * 1000));
}

void server::dispatch(size_t i) {
    const slot_ref ref = refs_[i];
    const short rev = pfds_[i].revents;
    switch (ref.kind) {
    case slot_udp:
        receive_datagrams();
        break;
    case slot_resolver:
        resolver_results();
        break;
    case slot_control_listener:
        accept_control();
        break;
    case slot_control_conn:
        if (control_conns_.count(ref.fd)) control_readable(ref.fd);
        break;
    case slot_stream:
        stream_event(ref.sid, ref.stream_id, rev);
        break;
    case slot_tun:
        tun_readable();
        break;
    }
}

// ---------------------------------------------------------------- datagrams

void server::receive_datagrams() {
    for (int i = 0; i < datagrams_per_pass; i++) {
        stx_packet* p = packet_alloc();
        sockaddr_in from{};
        socklen_t fl = sizeof from;
        const ssize_t n = recvfrom(udp_fd_, p->data, max_datagram_bytes, 0, reinterpret_cast<sockaddr*>(&from), &fl);
        if (n < 0) {
            packet_free(p);
            return;
        }
        totals_.dgrams_in++;
        totals_.bytes_in += uint64_t(n);
        handle_datagram(p, size_t(n), from);
    }
}

rs_session* server::find_session(uint32_t sid) {
    auto it = sessions_.find(sid);
    return it == sessions_.end() ? nullptr : it->second.get();
}

void server::send_raw(const sockaddr_in& to, const uint8_t* data, size_t len) {
    if (sendto(udp_fd_, data, len, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) >= 0) {
        totals_.dgrams_out++;
        totals_.bytes_out += len;
    }
}

void server::handle_datagram(stx_packet* p, size_t len, const sockaddr_in& from) {
    if (len < size_t(header_bytes)) {
        packet_free(p);
        return;
    }
    const pkt_header h = header_get(p->data);
    const uint8_t kind = h.flags & flags_kind_mask;
    if (kind == flags_login) {
        handle_login(p, len, from);
        return;
    }
    const size_t reqs_end = size_t(header_bytes) + size_t(h.flags & flags_reqs_mask) * resend_req_bytes;
    if (len < reqs_end || (kind != flags_data && kind != flags_reset)) {
        packet_free(p);
        return;
    }
    rs_session* s = find_session(h.session_id);
    if (kind == flags_reset) {
        packet_free(p);
        if (!s) return;
        event("RESET %x", h.session_id);
        end_session(*s, "reset", false);
        sessions_.erase(h.session_id);
        return;
    }
    if (!s) {
        packet_free(p);
        uint8_t reset[header_bytes];
        build_reset_packet(reset, h.session_id);
        send_raw(from, reset, sizeof reset);
        event("UNKNOWN %x", h.session_id);
        return;
    }
    s->peer = from;
    p->len = uint16_t(len);
    const rx_counters counters{&totals_.resends_asked, &totals_.resent};
    if (session_core_receive(s->core, p, now_, min_rtt_s, counters) == 0) s->rx_pending = true;
}

void server::handle_login(stx_packet* p, size_t len, const sockaddr_in& from) {
    login_view v{};
    const bool parsed = parse_login_packet(p->data, len, &v);
    const uint32_t sid = header_get(p->data).session_id;
    packet_free(p);
    if (!parsed) {
        event("LOGIN malformed session %x", sid);
        return;
    }
    const std::string login = v.login;
    auto user = opts_.users.find(login);
    bool ok = false;
    if (user != opts_.users.end()) {
        uint8_t digest[16];
        login_digest(v.nonce, user->second.c_str(), digest);
        ok = std::memcmp(digest, v.digest, sizeof digest) == 0;
    }
    rs_session* s = find_session(sid);
    if (!ok) {
        event("LOGIN refused %s", printable(login).c_str());
        uint8_t reset[header_bytes];
        const size_t n = build_marked_reset(reset, sizeof reset, sid, nullptr);
        send_raw(from, reset, n);
        if (s) {
            end_session(*s, "refused", false);
            sessions_.erase(sid);
        }
        return;
    }
    const bool repeat = s != nullptr;
    if (!s) {
        if (sessions_.size() >= opts_.max_sessions) {
            event("LOGIN full %s", printable(login).c_str());
            uint8_t reset[header_bytes + 32];
            const size_t n = build_marked_reset(reset, sizeof reset, sid, "Server is full");
            send_raw(from, reset, n);
            return;
        }
        auto fresh = std::make_unique<rs_session>();
        if (session_core_zinit(fresh->core, opts_.compression) != 0) {
            event("LOGIN zlib failure %s", printable(login).c_str());
            return;
        }
        s = fresh.get();
        s->core.session_id = sid;
        std::snprintf(s->core.name, sizeof s->core.name, "%s", printable(login).c_str());
        s->core.last_send = now_;
        s->core.last_flush = now_;
        s->login = login;
        s->serial = ++serial_;
        sessions_[sid] = std::move(fresh);
    }
    s->core.last_rx_time = now_;
    s->peer = from;
    s->speed_first = v.speed_in_first;
    s->speed_second = v.speed_in_second;
    s->mru = v.mru;
    // The announced mru is the largest datagram the client takes (mru - 28:
    // the IP and UDP headers are already off), our header included.
    s->packet_size = uint16_t(std::clamp<int>(v.mru, 128, max_datagram_bytes));
    bucket_set_rate(s->bucket, double(std::max<uint32_t>(v.speed_in_second, 1)), now_);
    event("LOGIN %s %s session %x speed_in %u:%u mru %u", repeat ? "repeat" : "ok", printable(login).c_str(), sid,
          unsigned(v.speed_in_first), unsigned(v.speed_in_second), unsigned(v.mru));
    // The client's session starts working with our first packet.
    send_keepalive(*s);
}

void server::end_session(rs_session& s, const char* reason, bool send_reset) {
    if (send_reset) {
        uint8_t reset[header_bytes];
        build_reset_packet(reset, s.core.session_id);
        send_raw(s.peer, reset, sizeof reset);
    }
    event("SESSION closed %x %s", s.core.session_id, reason);
    s.streams.clear();
    tun_.forget_session(s.core.session_id);
}

// ---------------------------------------------------------------- sending

bool server::send_datagram(rs_session& s, const uint8_t* data, size_t len) {
    if (opts_.loss_pct > 0) {
        loss_acc_ += opts_.loss_pct;
        if (loss_acc_ >= 100) {
            loss_acc_ -= 100;
            totals_.dropped++;
            return true;
        }
    }
    if (sat_ ? !sat_->send(data, len, ntohs(s.peer.sin_port))
             : sendto(udp_fd_, data, len, 0, reinterpret_cast<const sockaddr*>(&s.peer), sizeof s.peer) < 0)
        return false;
    totals_.dgrams_out++;
    totals_.bytes_out += len;
    return true;
}

void server::send_keepalive(rs_session& s) {
    stx_packet* p = session_core_build_packet(s.core, header_bytes, now_);
    send_datagram(s, p->data, p->len);
    bucket_take(s.bucket, p->len);
    packet_free(p);
    s.core.last_send = now_;
    s.ack_due = false;
}

void server::send_step(rs_session& s) {
    bucket_refill(s.bucket, now_);
    bool sent = false;
    while (!s.core.resend_q.items.empty() && bucket_may_send(s.bucket)) {
        stx_packet* p = packet_queue_pop(s.core.resend_q);
        session_core_prepare_resend(s.core, p, now_);
        const bool ok = send_datagram(s, p->data, p->len);
        bucket_take(s.bucket, p->len);
        s.core.resent_bytes += p->len;
        s.core.resent_packets++;
        sent = true;
        if (!ok) {
            s.bucket.allowance = std::min(s.bucket.allowance, 0.0);
            break;
        }
    }
    while (bucket_may_send(s.bucket)) {
        const uint32_t reqs = resend_req_size(s.core.reqs, now_);
        const uint32_t waiting = s.core.bytes_in_flight < opts_.window_bytes ? s.core.out_deflated.len : 0;
        if (reqs == 0 && waiting == 0) break;
        const int n = int(std::min<uint64_t>(s.packet_size, uint64_t(header_bytes) + reqs + waiting));
        stx_packet* p = session_core_build_packet(s.core, n, now_);
        if (p->len <= header_bytes) {
            packet_free(p);
            break;
        }
        const bool ok = send_datagram(s, p->data, p->len);
        session_core_commit_data(s.core, p, now_);
        s.core.last_send = now_;
        s.core.sent_bytes += p->len;
        s.core.sent_packets++;
        bucket_take(s.bucket, p->len);
        sent = true;
        if (!ok) {
            s.bucket.allowance = std::min(s.bucket.allowance, 0.0);
            break;
        }
    }
    if (sent) {
        s.ack_due = false;
        return;
    }
    const bool idle = now_ - s.core.last_send >= opts_.keepalive_s;
    const bool nothing_waits = s.core.resend_q.items.empty() &&
                               (s.core.out_deflated.len == 0 || s.core.bytes_in_flight >= opts_.window_bytes);
    const bool probe = s.core.bytes_in_flight > 0 && nothing_waits && now_ - s.core.last_send >= s.probe_s;
    if (s.ack_due || idle || probe) {
        if (probe && !s.ack_due) s.probe_s = std::min(s.probe_s * 2, probe_max_s);
        send_keepalive(s);
    }
}

bool server::service_session(rs_session& s) {
    if (s.rx_pending) {
        s.rx_pending = false;
        s.core.data_received = 0;
        process_rx_core(s.core, fifo_node_data_bytes, inflate_max_bytes);
        handler_ctx ctx{this, &s};
        if (!s.core.parser.broken) process_commands_core(s.core.parser, s.core.in_cmds, handlers, &ctx);
        if (s.core.parser.broken) s.core.close_mark = 1;
        s.ack_due = true;
    }
    const send_array& ad = s.core.array_d;
    const uint32_t g = s.core.peer_last_good;
    if (ad.used > 0 && !id_after(ad.first, g) && g - ad.first < ad.used) {
        clean_acked(s.core, g, now_);
        s.probe_s = std::clamp(2 * s.core.rtt, probe_min_s, probe_max_s);
    }
    if (s.core.close_mark || s.core.window.count > rx_window_packets_max) {
        end_session(s, "protocol", true);
        return false;
    }
    if (now_ - s.core.last_rx_time > opts_.timeout_s) {
        end_session(s, "timeout", true);
        return false;
    }
    for (auto it = s.streams.begin(); it != s.streams.end();) {
        if (it->second->ended && now_ > it->second->drain_deadline)
            it = s.streams.erase(it);
        else
            ++it;
    }
    if (s.need_flush) {
        fifo_deflate(&s.core.out_deflated, &s.core.deflater);
        s.need_flush = false;
    }
    send_step(s);
    return true;
}

// ---------------------------------------------------------------- commands

void server::emit(rs_session& s, const uint8_t* cmd, uint32_t n) {
    fifo_write_deflate(&s.core.out_deflated, cmd, n, &s.core.deflater, false);
    s.need_flush = true;
}

void server::emit_stream_cmd(rs_session& s, cmd_code code, uint16_t id) {
    uint8_t cmd[cmd_stream_bytes];
    emit(s, cmd, uint32_t(cmd_put_stream(cmd, code, id)));
}

void server::emit_data(rs_session& s, uint16_t id, const uint8_t* bytes, size_t n) {
    uint8_t cmd[cmd_data_max_bytes];
    while (n > 0) {
        const uint16_t k = uint16_t(std::min<size_t>(n, cmd_data_max));
        cmd_put_data_header(cmd, k, id);
        std::memcpy(cmd + 4, bytes, k);
        emit(s, cmd, uint32_t(cmd_data_header_bytes + k));
        bytes += k;
        n -= k;
    }
}

bool server::session_can_take(const rs_session& s) const {
    return s.core.out_deflated.len < out_deflated_cap && s.core.bytes_in_flight < opts_.window_bytes;
}

rs_stream* server::find_stream(rs_session& s, uint16_t id) {
    auto it = s.streams.find(id);
    return it == s.streams.end() ? nullptr : it->second.get();
}

void server::drop_stream(rs_session& s, uint16_t id) { s.streams.erase(id); }

void server::abort_stream(rs_session& s, uint16_t id, const char* why) {
    if (opts_.verbose) event("ABORT %x %u %s", s.core.session_id, unsigned(id), why);
    rs_stream* st = find_stream(s, id);
    if (!st || !st->ended) emit_stream_cmd(s, cmd_end, id);  // an ended stream's client knows
    drop_stream(s, id);
}

bool server::start_connect(rs_session& s, rs_stream& st, uint32_t addr_net, uint16_t port) {
    for (const rs_mapping& m : opts_.maps) {
        if (m.from.addr_net == addr_net && m.from.port == port) {
            addr_net = m.to.addr_net;
            port = m.to.port;
            break;
        }
    }
    st.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (st.fd < 0) {
        event("CONNECT failed %x %u %s socket %d", s.core.session_id, unsigned(st.id), st.dest.c_str(), errno);
        return false;
    }
    const int one = 1;
    setsockopt(st.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = addr_net;
    a.sin_port = htons(port);
    if (connect(st.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        st.state = st_open;
        return true;
    }
    if (errno == EINPROGRESS) {
        st.state = st_connecting;
        return true;
    }
    event("CONNECT failed %x %u %s %d", s.core.session_id, unsigned(st.id), st.dest.c_str(), errno);
    return false;
}

void server::on_open(rs_session& s, const cmd_open_req& req) {
    drop_stream(s, req.stream_id);  // the client reuses an id only once it is done with it
    const uint16_t port = ntohs(req.port_net);
    const std::string name(req.name, strnlen(req.name, req.name_len));
    auto st = std::make_unique<rs_stream>();
    st->session_out = &s.out_bytes;
    st->id = req.stream_id;
    st->dest = req.name_len ? printable(name) + ":" + std::to_string(port) : endpoint_text(req.addr_net, port);
    event("OPEN %x %u %s", s.core.session_id, unsigned(req.stream_id), st->dest.c_str());
    if (s.streams.size() >= opts_.max_streams) {
        event("CONNECT failed %x %u %s stream limit", s.core.session_id, unsigned(req.stream_id), st->dest.c_str());
        emit_stream_cmd(s, cmd_end, req.stream_id);
        return;
    }
    if (req.name_len) {
        st->state = st_resolving;
        st->port = port;
        st->ticket = ++tickets_;
        if (name.empty() || !resolver_.submit(st->ticket, name)) {
            event("CONNECT failed %x %u %s lookup refused", s.core.session_id, unsigned(req.stream_id),
                  st->dest.c_str());
            emit_stream_cmd(s, cmd_end, req.stream_id);
            return;
        }
        lookups_[st->ticket] = {s.core.session_id, req.stream_id};
        s.streams[req.stream_id] = std::move(st);
        return;
    }
    if (!start_connect(s, *st, req.addr_net, port)) {
        emit_stream_cmd(s, cmd_end, req.stream_id);
        return;
    }
    s.streams[req.stream_id] = std::move(st);
}

void server::on_open_internal(rs_session& s, uint8_t service, uint16_t id) {
    drop_stream(s, id);
    auto it = opts_.internal.find(service);
    event("OPENINT %x %u %u", s.core.session_id, unsigned(id), unsigned(service));
    if (it == opts_.internal.end() || s.streams.size() >= opts_.max_streams) {
        event("CONNECT failed %x %u internal %u", s.core.session_id, unsigned(id), unsigned(service));
        emit_stream_cmd(s, cmd_end, id);
        return;
    }
    auto st = std::make_unique<rs_stream>();
    st->session_out = &s.out_bytes;
    st->id = id;
    st->dest = endpoint_text(it->second.addr_net, it->second.port);
    if (!start_connect(s, *st, it->second.addr_net, it->second.port)) {
        emit_stream_cmd(s, cmd_end, id);
        return;
    }
    s.streams[id] = std::move(st);
}

void server::on_end(rs_session& s, uint16_t id) {
    if (opts_.verbose) event("END %x %u", s.core.session_id, unsigned(id));
    rs_stream* st = find_stream(s, id);
    if (!st) return;
    // The engine ends a stream normally too (its side closed after ours):
    // what it sent before the end still goes out, also when the end comes
    // before our connect (or the name lookup before it) has completed.
    if (st->out.len == 0) {
        drop_stream(s, id);
        return;
    }
    st->ended = true;
    st->drain_deadline = now_ + stream_drain_s;
}

void server::on_data(rs_session& s, uint16_t id, const uint8_t* bytes, uint32_t n) {
    rs_stream* st = find_stream(s, id);
    if (!st || st->remote_shut || st->ended) return;
    if (uint64_t(st->out.len) + n > uint64_t(opts_.stream_limit) * stream_hard_cap_factor ||
        s.out_bytes + n > session_out_cap) {
        abort_stream(s, id, "client ignores stop");
        return;
    }
    fifo_write(&st->out, bytes, n);
    s.out_bytes += n;
    if (!st->we_stopped && st->out.len > opts_.stream_limit) {
        st->we_stopped = true;
        emit_stream_cmd(s, cmd_stop, id);
        if (opts_.verbose) event("STOP sent %x %u", s.core.session_id, unsigned(id));
    }
}

void server::on_stop(rs_session& s, uint16_t id) {
    if (rs_stream* st = find_stream(s, id)) st->peer_stopped = true;
    if (opts_.verbose) event("STOP %x %u", s.core.session_id, unsigned(id));
}

void server::on_continue(rs_session& s, uint16_t id) {
    if (rs_stream* st = find_stream(s, id)) st->peer_stopped = false;
    if (opts_.verbose) event("CONTINUE %x %u", s.core.session_id, unsigned(id));
}

void server::on_shutdown(rs_session& s, uint16_t id) {
    rs_stream* st = find_stream(s, id);
    if (!st || st->ended) return;
    st->remote_shut = true;
    if (st->state == st_open && st->out.len == 0 && !st->wr_shut) {
        shutdown(st->fd, SHUT_WR);
        st->wr_shut = true;
    }
    maybe_finish(s, id);
}

void server::on_tunnel(rs_session& s, const uint8_t* pkt, uint16_t len) {
    const bool written = tun_.from_session(s.core.session_id, pkt, len);
    if (opts_.verbose) event("TUNNEL %x %u%s", s.core.session_id, unsigned(len), written ? "" : " dropped");
}

// Packets for a session's address go to it as tunnel commands; a session
// that cannot take more loses them, as a full router queue would.
void server::tun_readable() {
    uint8_t cmd[3 + 65536];
    for (int i = 0; i < tun_reads_per_event; i++) {
        uint32_t sid = 0;
        const ssize_t n = tun_.read_packet(cmd + 3, sizeof cmd - 3, &sid);
        if (n <= 0) return;
        rs_session* s = sid ? find_session(sid) : nullptr;
        if (!s || size_t(n) > tun_packet_max_bytes || !session_can_take(*s)) {
            if (opts_.verbose) event("TUNNEL out dropped %u", unsigned(n));
            continue;
        }
        cmd_put_tunnel_header(cmd, uint16_t(n));
        emit(*s, cmd, uint32_t(n) + 3);
        if (opts_.verbose) event("TUNNEL out %x %u", sid, unsigned(n));
    }
}

// ---------------------------------------------------------------- streams

short server::stream_interest(const rs_session& s, const rs_stream& st) const {
    if (st.state == st_connecting) return POLLOUT;
    if (st.state != st_open) return 0;
    short ev = 0;
    if (!st.ended && !st.local_eof && !st.peer_stopped && session_can_take(s)) ev |= POLLIN;
    if (st.out.len > 0) ev |= POLLOUT;
    return ev;
}

void server::maybe_finish(rs_session& s, uint16_t id) {
    rs_stream* st = find_stream(s, id);
    if (!st || st->out.len > 0 || !(st->ended || (st->local_eof && st->remote_shut))) return;
    if (opts_.verbose) event("CLOSED %x %u", s.core.session_id, unsigned(id));
    drop_stream(s, id);
}

void server::stream_event(uint32_t sid, uint16_t id, short revents) {
    rs_session* s = find_session(sid);
    if (!s) return;
    rs_stream* st = find_stream(*s, id);
    if (!st || st->fd < 0) return;
    if (st->state == st_connecting) {
        int err = 0;
        socklen_t el = sizeof err;
        getsockopt(st->fd, SOL_SOCKET, SO_ERROR, &err, &el);
        if (err) {
            event("CONNECT failed %x %u %s %d", sid, unsigned(id), st->dest.c_str(), err);
            abort_stream(*s, id, "connect");
            return;
        }
        if (!(revents & POLLOUT)) return;
        st->state = st_open;
        if (opts_.verbose) event("CONNECTED %x %u %s", sid, unsigned(id), st->dest.c_str());
    }
    if (revents & POLLERR) {
        int err = 0;
        socklen_t el = sizeof err;
        getsockopt(st->fd, SOL_SOCKET, SO_ERROR, &err, &el);
        if (err) {
            abort_stream(*s, id, "socket error");
            return;
        }
    }
    if (revents & (POLLIN | POLLHUP)) {
        read_stream(*s, *st);
        st = find_stream(*s, id);
        if (!st) return;
    }
    if (st->out.len > 0 || (revents & POLLOUT)) write_stream(*s, *st);
}

void server::read_stream(rs_session& s, rs_stream& st) {
    if (st.ended || st.local_eof || st.peer_stopped) return;
    uint8_t buf[cmd_data_max];
    uint32_t budget = read_per_event_bytes;
    const uint16_t id = st.id;
    while (budget > 0 && s.core.out_deflated.len < out_deflated_cap) {
        const ssize_t n = recv(st.fd, buf, sizeof buf, 0);
        if (n > 0) {
            emit_data(s, id, buf, size_t(n));
            budget -= std::min<uint32_t>(budget, uint32_t(n));
            continue;
        }
        if (n == 0) {
            st.local_eof = true;
            emit_stream_cmd(s, cmd_shutdown, id);
            maybe_finish(s, id);
            return;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) abort_stream(s, id, "read error");
        return;
    }
}

void server::write_stream(rs_session& s, rs_stream& st) {
    uint8_t buf[16384];
    const uint16_t id = st.id;
    while (st.out.len > 0) {
        const uint32_t k = fifo_peek(&st.out, buf, sizeof buf);
        const ssize_t n = send(st.fd, buf, k, MSG_NOSIGNAL);
        if (n > 0) {
            fifo_read(&st.out, nullptr, uint32_t(n));
            s.out_bytes -= uint64_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        abort_stream(s, id, "write error");
        return;
    }
    if (st.we_stopped && !st.ended && st.out.len <= opts_.stream_limit / 2) {
        st.we_stopped = false;
        emit_stream_cmd(s, cmd_continue, id);
        if (opts_.verbose) event("CONTINUE sent %x %u", s.core.session_id, unsigned(id));
    }
    if (st.out.len == 0 && st.remote_shut && !st.wr_shut && !st.ended) {
        shutdown(st.fd, SHUT_WR);
        st.wr_shut = true;
    }
    maybe_finish(s, id);
}

void server::resolver_results() {
    for (const resolve_result& r : resolver_.take_results()) {
        auto it = lookups_.find(r.ticket);
        if (it == lookups_.end()) continue;
        const uint32_t sid = it->second.first;
        const uint16_t id = it->second.second;
        lookups_.erase(it);
        rs_session* s = find_session(sid);
        if (!s) continue;
        rs_stream* st = find_stream(*s, id);
        if (!st || st->state != st_resolving || st->ticket != r.ticket) continue;
        if (!r.ok) {
            event("CONNECT failed %x %u %s unresolved", sid, unsigned(id), st->dest.c_str());
            abort_stream(*s, id, "unresolved");
            continue;
        }
        if (!start_connect(*s, *st, r.addr_net, st->port)) abort_stream(*s, id, "connect");
    }
}

// ---------------------------------------------------------------- control

void server::accept_control() {
    for (;;) {
        const int fd = accept4(control_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if (control_conns_.size() >= control_conns_max) {
            close(fd);
            continue;
        }
        control_conns_[fd].since = now_;
    }
}

void server::control_close(int fd) {
    close(fd);
    control_conns_.erase(fd);
}

void server::control_readable(int fd) {
    control_conn& c = control_conns_[fd];
    char buf[control_line_max];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        control_close(fd);
        return;
    }
    if (n < 0) return;
    c.line.append(buf, size_t(n));
    const size_t nl = c.line.find('\n');
    if (nl == std::string::npos) {
        if (c.line.size() > control_line_max) control_close(fd);
        return;
    }
    const std::string line = c.line.substr(0, nl);
    const std::string rest = c.line.substr(nl + 1);
    control_conns_.erase(fd);
    control_command(fd, line, rest);
}

// The connection's fd belongs to this call: it is closed or handed to a stream.
void server::control_command(int fd, const std::string& line, const std::string& rest) {
    auto reply_close = [fd](const std::string& text) {
        ssize_t w = send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        (void)w;
        close(fd);
    };
    std::istringstream words(line);
    std::string verb;
    words >> verb;
    if (verb == "STATS") {
        char text[256];
        std::snprintf(text, sizeof text,
                      "STATS sent %llu %llu recv %llu %llu sessions %zu dropped %llu resends_asked %u resent %u\n",
                      (unsigned long long)totals_.dgrams_out, (unsigned long long)totals_.bytes_out,
                      (unsigned long long)totals_.dgrams_in, (unsigned long long)totals_.bytes_in, sessions_.size(),
                      (unsigned long long)totals_.dropped, totals_.resends_asked, totals_.resent);
        reply_close(text);
        return;
    }
    if (verb == "STOP" || verb == "CONTINUE") {
        // Flow control of a client's stream on demand, to drive the client's
        // stop and continue handling at moments a test chooses.
        long id = -1;
        words >> id;
        rs_session* newest = nullptr;
        for (auto& sp : sessions_)
            if (!newest || sp.second->serial > newest->serial) newest = sp.second.get();
        if (!newest || id < 0 || id > 0xFFFF) {
            reply_close("ERR usage: " + verb + " STREAM (on the newest session)\n");
            return;
        }
        emit_stream_cmd(*newest, verb == "STOP" ? cmd_stop : cmd_continue, uint16_t(id));
        reply_close("OK\n");
        return;
    }
    std::string host;
    long number = -1;
    in_addr a{};
    if (verb == "OPEN" || verb == "OPENNAME") {
        words >> host >> number;
        if (host.empty() || host.size() > cmd_name_max || number < 0 || number > 65535) {
            reply_close("ERR usage: " + verb + " HOST PORT\n");
            return;
        }
        if (verb == "OPEN" && inet_pton(AF_INET, host.c_str(), &a) != 1) {
            reply_close("ERR bad address\n");
            return;
        }
    } else if (verb == "OPENINT") {
        words >> number;
        if (number < 0 || number > 31) {
            reply_close("ERR usage: OPENINT N (0-31)\n");
            return;
        }
    } else {
        reply_close("ERR unknown command\n");
        return;
    }
    rs_session* s = nullptr;
    for (auto& sp : sessions_)
        if (!s || sp.second->serial > s->serial) s = sp.second.get();
    if (!s) {
        reply_close("ERR no session\n");
        return;
    }
    if (s->streams.size() >= opts_.max_streams) {
        reply_close("ERR stream limit\n");
        return;
    }
    uint16_t id = s->next_own_id;
    while (s->streams.count(id)) id--;
    s->next_own_id = uint16_t(id - 1);

    uint8_t cmd[cmd_open_max_bytes];
    size_t cmd_len = 0;
    std::string what = verb + " ";
    if (verb == "OPEN") {
        cmd_len = cmd_put_open(cmd, htons(uint16_t(number)), a.s_addr, id, nullptr, 0);
        what += host + ":" + std::to_string(number);
    } else if (verb == "OPENNAME") {
        // As the engine sends a name.
        uint32_t marker_net;
        std::memcpy(&marker_net, cmd_name_placeholder_addr, 4);
        cmd_len = cmd_put_open(cmd, htons(uint16_t(number)), marker_net, id, host.data(), uint8_t(host.size()));
        what += printable(host) + ":" + std::to_string(number);
    } else {
        cmd_len = cmd_put_open_internal(cmd, uint8_t(number), id);
        what += std::to_string(number);
    }
    auto st = std::make_unique<rs_stream>();
    st->session_out = &s->out_bytes;
    st->id = id;
    st->fd = fd;
    st->control = true;
    st->state = st_open;
    st->dest = "control";
    s->streams[id] = std::move(st);
    emit(*s, cmd, uint32_t(cmd_len));
    if (!rest.empty()) emit_data(*s, id, reinterpret_cast<const uint8_t*>(rest.data()), rest.size());
    event("CONTROL open %x %u %s", s->core.session_id, unsigned(id), what.c_str());
}

}  // namespace

int refserver_run(const refserver_options& opts) {
    server srv(opts);
    return srv.run();
}
