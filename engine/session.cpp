#include "engine/session.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "engine/log.h"
#include "engine/loop.h"
#include "engine/streams.h"
#include "platform/net.h"
#include "platform/random.h"
#include "platform/sleep.h"
#include "protocol/hooks.h"
#include "protocol/session_core.h"
#include "protocol/wire.h"

int server_udp_fd = -1;

namespace {

constexpr int udp_overhead_bytes = 28;  // IP and UDP headers, counted in every figure
constexpr size_t session_name_max = 62;
constexpr uint16_t packet_size_min = 128;
constexpr uint16_t packet_size_max = 1472;
constexpr double loss_tolerance_percent = 1;
constexpr double undelay_factor_default = 4.0;
constexpr double rtt_initial_s = 10.0;
constexpr uint32_t login_send_pause_ms = 1000;

// The lines of the receive path that a datagram from anybody can cause:
// level, and the name the count of left-out lines goes by.
struct datagram_line_text {
    int level;
    const char* what;
};
const datagram_line_text datagram_line_texts[datagram_line_kinds] = {
    {1, "magic packet command received"},
    {1, "Too short packet"},
    {1, "Too short packet (Invalid data)"},
    {0, "reset unknown session"},
    {0, "Sending reset to server, unknown session"},
    {1, "sendto() error on a reset to an unknown session"},
};

// A junk flood must not fill the disk: the line is written only while its
// kind is within its rate.
__attribute__((format(printf, 2, 3))) void datagram_log(datagram_line kind, const char* fmt, ...) {
    const datagram_line_text& t = datagram_line_texts[kind];
    if (!line_limit_admit(datagram_lines[kind], t.level, t.what, now)) return;
    va_list ap;
    va_start(ap, fmt);
    log_vmsg(t.level, fmt, ap);
    va_end(ap);
}

// The [remote] record a session was made for: the first one its [local]
// entry names.
remote_record* remote_of(const stx_session* s) {
    if (!s || !local_table || !remote_table) return nullptr;
    if (s->local_index < 0 || s->local_index >= local_table_size) return nullptr;
    const local_entry& le = local_table[s->local_index];
    if (le.remotes.empty()) return nullptr;
    const int r = le.remotes[0];
    if (r < 0 || r >= remote_table_size) return nullptr;
    return &remote_table[r];
}

int first_remote_of(int local_index) {
    if (!local_table || local_index < 0 || local_index >= local_table_size) return -1;
    const local_entry& le = local_table[local_index];
    if (le.remotes.empty()) return -1;
    const int r = le.remotes[0];
    return r >= 0 && r < remote_table_size && remote_table ? r : -1;
}

// Session ids and nonces come from the system's random source: an id that
// can be guessed lets anyone reset the session or slip data into it, since
// datagrams are matched by id whoever sends them.
void draw_random(void* out, size_t n) {
    if (!random_bytes(out, n)) fatal_error(__LINE__, "cannot read the system random source");
}

// A fresh id that no live session uses; 0 and the magic id are never drawn,
// because a reset naming 0 is ignored and the magic id marks commands.
uint32_t new_session_id() {
    uint32_t id;
    do {
        draw_random(&id, sizeof id);
    } while (id == 0 || id == magic_session_id || session_by_id(id));
    return id;
}

void count_udp_out(stx_session* s, long sent) {
    if (s) s->udp_out += uint32_t(sent + udp_overhead_bytes);
    stats.udp_out += uint64_t(sent + udp_overhead_bytes);
}

// The login of the current session, sent authretry times. A failed send
// marks the session for closing only when it is being made.
void send_login(stx_session* s, const remote_record& r, bool mark_on_failure) {
    uint8_t nonce[8];
    draw_random(nonce, sizeof nonce);
    login_fields f{};
    f.session_id = s->session_id;
    f.login = r.login;
    f.nonce = nonce;
    f.password = r.passwd;
    f.speed_in_first = r.speed_in_min;
    f.speed_in_second = r.speed_in_max;
    f.mru = uint16_t(r.mru);
    f.rdelay = uint16_t(r.rdelay);
    f.rmode = uint16_t(r.rmode);
    uint8_t pkt[login_packet_bytes];
    build_login_packet(pkt, f);
    for (int i = 0; i < runtime.authretry; i++) {
        const long sent = session_sendto(s, pkt, sizeof pkt);
        if (sent < 0) {
            log_msg(1, "error %i on send, sending init packet\n", sock_last_error());
            if (mark_on_failure) s->close_mark = 1;
            sleep_ms(login_send_pause_ms);
            continue;
        }
        count_udp_out(s, sent);
        stats.datagrams_sent++;
    }
}

// The listening socket of a server that cannot be served goes away through
// compaction, so that no dead descriptor stays in the table.
void close_listener(int index) {
    fd_poll.entries[index].events = 0;
    fd_mark_removal(index, close_requested);
}

// Tables of closed sessions wait here for the next sessions: sessions come
// and go (resets, restarts of the server, refused logins), and a table fresh
// from the system costs mapping and faulting in 512 KiB where clearing one
// in use before is cheap. A few are kept, as many sessions as run at once
// on a usual configuration.
constexpr int spare_stream_tables_max = 4;
s_stream** spare_stream_tables[spare_stream_tables_max];
int spare_stream_table_count = 0;

s_stream** take_stream_table() {
    if (spare_stream_table_count > 0) {
        s_stream** t = spare_stream_tables[--spare_stream_table_count];
        return static_cast<s_stream**>(std::memset(t, 0, sizeof(s_stream*) * stream_table_size));
    }
    // Pages fresh from the system are zero already: no fill.
    auto* t = static_cast<s_stream**>(std::calloc(stream_table_size, sizeof(s_stream*)));
    if (!t) fatal_error(__LINE__, "virtual memory exhausted\n");
    return t;
}

void give_back_stream_table(s_stream** t) {
    if (spare_stream_table_count < spare_stream_tables_max)
        spare_stream_tables[spare_stream_table_count++] = t;
    else
        mem_free(t);
}

stx_session* make_session(int local_index, const remote_record& r) {
    stx_session* s = new (std::nothrow) stx_session();
    if (!s) fatal_error(__LINE__, "error allocated memory for struct stx_session");

    s->session_id = new_session_id();
    s->local_index = local_index;
    s->server_addr = r.server_addr;
    s->server_port = r.server_port;
    s->tunnel_fd = r.tunnel_fd;
    if (strnlen(r.name, sizeof r.name) > session_name_max)
        std::snprintf(s->name, sizeof s->name, "%s", "TOOLONG");
    else
        std::snprintf(s->name, sizeof s->name, "%.*s", int(session_name_max), r.name);

    s->last_rx_time = now;
    s->last_send = now;
    s->keepalive_s = keepalive_min_s;
    s->packet_size = uint16_t(std::clamp<int>(r.mtu, packet_size_min, packet_size_max));

    s->speed_min = r.speed_out_min;
    s->speed_max = r.speed_out_max;
    s->speed = s->speed_max;
    const uint32_t divider = runtime.burstdivider > 0 ? uint32_t(runtime.burstdivider) : 1;
    uint32_t burst = s->speed_max / divider;
    if (runtime.maxburst >= 0 && burst > uint32_t(runtime.maxburst)) burst = uint32_t(runtime.maxburst);
    if (burst < s->packet_size) burst = s->packet_size;
    s->burst = burst;
    s->allowance = int32_t(std::min<uint32_t>(burst, INT32_MAX));
    s->last_refill = now;
    // The first check's period runs from here, not from clock zero.
    s->last_check = now;
    if (r.ldelay_s != 0) s->flush_interval_s = r.ldelay_s;
    s->rtt = rtt_initial_s;
    s->loss_tolerance = loss_tolerance_percent;
    s->undelay_factor = undelay_factor_default;

    s->streams = take_stream_table();
    s->stream_limit = stream_limit_default;
    s->streambuf = runtime.streambuf;
    s->sockbuf = runtime.tcpsock_max;

    if (session_core_zinit(*s, runtime.compression) != 0) fatal_error(__LINE__, "err initialised inflate structured");

    if (!session_head) {
        session_head = s;
        s->next = s->prev = s;
    } else {
        s->prev = session_head;
        s->next = session_head->next;
        session_head->next->prev = s;
        session_head->next = s;
    }
    return s;
}

void log_peer(const char* what, uint32_t id, const sockaddr_in& from, const char* tail) {
    const uint8_t* a = reinterpret_cast<const uint8_t*>(&from.sin_addr.s_addr);
    log_msg(0, "%s %x from %d.%d.%d.%d:%d%s", what, id, a[0], a[1], a[2], a[3], int(ntohs(from.sin_port)), tail);
}

void handle_reset(stx_session* s, const stx_packet* p, int n, const pkt_header& h, const sockaddr_in& from) {
    if (!s) {
        const uint8_t* a = reinterpret_cast<const uint8_t*>(&from.sin_addr.s_addr);
        datagram_log(line_reset_unknown, "reset unknown session %x from %d.%d.%d.%d:%d\n", h.session_id, a[0], a[1],
                     a[2], a[3], int(ntohs(from.sin_port)));
        return;
    }
    if (h.session_id == 0) return;
    const bool marked = h.packet_id == reset_marker && h.data_id == reset_marker;
    if (marked && n > header_bytes) {
        // The reason has no terminator on the wire: it ends with the datagram.
        char text[max_datagram_bytes + 1];
        const int len = n - header_bytes;
        std::memcpy(text, p->data + header_bytes, size_t(len));
        text[len] = 0;
        const uint8_t* a = reinterpret_cast<const uint8_t*>(&from.sin_addr.s_addr);
        log_msg(0, "reset session %x from %d.%d.%d.%d:%d. %s\n", h.session_id, a[0], a[1], a[2], a[3],
                int(ntohs(from.sin_port)), text);
    } else if (marked) {
        log_peer("reset session", h.session_id, from, ". Invalid username or password!!\n");
        if (remote_record* r = remote_of(s)) r->login_refused = 1;
    } else {
        log_peer("reset session", h.session_id, from, "\n");
    }
    close_session(s);
}

}  // namespace

long session_sendto(stx_session* s, const void* data, size_t len) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = s->server_addr;
    to.sin_port = s->server_port;
    return long(::sendto(server_udp_fd, data, len, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to));
}

long send_reset_to(uint32_t id, uint32_t addr, uint16_t port) {
    uint8_t pkt[header_bytes];
    build_reset_packet(pkt, id);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = addr;
    to.sin_port = port;
    return long(::sendto(server_udp_fd, pkt, sizeof pkt, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to));
}

stx_session* session_by_id(uint32_t id) {
    stx_session* s = session_head;
    if (!s) return nullptr;
    do {
        if (s->session_id == id) return s;
        s = s->next;
    } while (s != session_head);
    return nullptr;
}

int find_session() {
    const int index = cur_index;
    if (index < 0 || index >= fd_poll.count) return -1;
    if (fd_poll.comp[index].session) {
        cur_session = fd_poll.comp[index].session;
        return 0;
    }
    const int local_index = fd_poll.comp[index].local_delayed & local_index_mask;
    const int remote = first_remote_of(local_index);
    if (remote < 0) {
        log_msg(1, "Please check \"name\" option (error #201)\n");
        close_listener(index);
        return -1;
    }
    remote_record& r = remote_table[remote];
    if (r.login_refused == 1) {
        log_msg(1, "Please check login/password/balance\n");
        close_listener(index);
        return -1;
    }
    if (stx_session* s = session_head) {
        do {
            if (first_remote_of(s->local_index) == remote) {
                fd_poll.comp[index].session = s;
                cur_session = s;
                return 0;
            }
            s = s->next;
        } while (s != session_head);
    }

    stx_session* s = make_session(local_index, r);
    fd_poll.comp[index].session = s;
    cur_session = s;
    send_login(s, r, true);
    const uint8_t* a = reinterpret_cast<const uint8_t*>(&r.server_addr);
    log_msg(0, "connect to '%s' %i.%i.%i.%i:%i\n", r.name, a[0], a[1], a[2], a[3], int(ntohs(r.server_port)));
    return 0;
}

void send_init_packet() {
    stx_session* s = cur_session;
    if (!s) return;
    const remote_record* r = remote_of(s);
    if (!r) return;
    send_login(s, *r, false);
}

void udp_receive() {
    const int fd = fd_poll.entries[cur_index].fd;
    for (;;) {
        stx_packet* p = packet_alloc();
        sockaddr_in from{};
        socklen_t from_len = sizeof from;
        const ssize_t got =
            ::recvfrom(fd, p->data, max_datagram_bytes, 0, reinterpret_cast<sockaddr*>(&from), &from_len);
        if (got < 0) {
            const int err = sock_last_error();
            packet_free(p);
            if (err == EINTR) continue;
            if (sock_would_block(err) || udp_peer_unreachable(err)) return;
            log_msg(1, "error udp %d socket %d poll_id %d\n", err, fd, cur_index);
            fatal_error(__LINE__, "error recv from udp port");
        }
        const int n = int(got);
        stats.udp_in += uint64_t(n + udp_overhead_bytes);
        stats.datagrams_received++;

        // The buffer is zero-filled, so a short datagram reads as zeros here.
        const pkt_header h = header_get(p->data);
        if (h.session_id == magic_session_id)
            datagram_log(line_magic, "magic packet command received %x\n", h.packet_id);

        if (n < header_bytes) {
            datagram_log(line_too_short, "%d - Too short packet, %d ? %d, dropped\n", n, n, header_bytes);
            packet_free(p);
            continue;
        }
        const int reqs = h.flags & flags_reqs_mask;
        const int need = header_bytes + resend_req_bytes * reqs;
        if (n < need) {
            datagram_log(line_short_requests,
                         "%d+(resends)%d - Too short packet (Invalid data), received %d header size %d\n",
                         header_bytes, resend_req_bytes * reqs, n, need);
            packet_free(p);
            continue;
        }

        stx_session* s = session_by_id(h.session_id);
        if (s) s->udp_in += uint32_t(n + udp_overhead_bytes);

        if ((h.flags & flags_kind_mask) == flags_reset) {
            handle_reset(s, p, n, h, from);
            packet_free(p);
            continue;
        }

        if (!s) {
            const long sent = send_reset_to(h.session_id, from.sin_addr.s_addr, from.sin_port);
            const int err = sock_last_error();
            datagram_log(line_unknown_session, "Sending reset to server, unknown session %x\n", h.session_id);
            if (sent < 0)
                datagram_log(line_reset_send_error, "sendto() error = %d\n", err);
            else
                stats.udp_out += uint64_t(sent + udp_overhead_bytes);
            packet_free(p);
            continue;
        }

        const uint32_t before = s->last_rx_pid;
        p->len = uint16_t(n);
        const rx_counters counters{&stats.resends_asked, &stats.resent};
        const int kind = session_core_receive(*s, p, now, runtime.minmeasuredrtt_s, counters);
        if (kind != 1 && before != 1 && s->last_rx_pid == 1 && remote_of(s)) {
            s->working = 1;
            log_msg(0, "session to '%s' %x working\n", s->name, s->session_id);
        }
    }
}

void datagram_lines_flush() {
    for (int k = 0; k < datagram_line_kinds; k++)
        line_limit_flush(datagram_lines[k], datagram_line_texts[k].level, datagram_line_texts[k].what, now);
}

void reset_sessions() {
    stx_session* s = session_head;
    if (!s) return;
    do {
        s->close_mark = 1;
        const long sent = send_reset_to(s->session_id, s->server_addr, s->server_port);
        log_msg(0, "Reset session %x\n", s->session_id);
        if (sent < 0)
            log_msg(1, "sendto() error = %d\n", sock_last_error());
        else
            stats.udp_out += uint64_t(sent + udp_overhead_bytes);
        s = s->next;
    } while (s != session_head);
}

void close_session(stx_session* s) {
    if (!s) return;
    const remote_record* r = remote_of(s);
    log_msg(0, "close session '%s' %x %lu/%lu/%lu/%lu (%d online)\n", r ? r->name : s->name, s->session_id,
            (unsigned long)s->udp_in, (unsigned long)s->udp_out, (unsigned long)s->local_in,
            (unsigned long)s->local_out, 0);

    // Every stream ends with the session; the peer is gone, so no end
    // command follows, and what was still under way is cut (a reset at the
    // close). The records are freed here: their entries no longer name
    // them, so compaction could not.
    while (s_stream* st = s->stream_ring) {
        const int i = st->fd_index;
        const bool has_entry = i >= 0 && i < fd_poll.count && fd_poll.comp[i].stream == st;
        if (has_entry) stream_cut(st);
        fifo_free(&st->input);
        buf_out_free(st);
        st->ended = 1;
        if (has_entry) {
            fd_mark_removal(i, close_requested | close_peer_informed);
            fd_poll.comp[i].session = nullptr;
            fd_poll.comp[i].stream = nullptr;
            fd_poll.entries[i].events = 0;
        }
        if (st->in_ready) ready_list_remove(s, st);
        stream_ring_remove(s, st);
        if (s->streams && s->streams[st->id] == st) s->streams[st->id] = nullptr;
        if (cur_stream == st) cur_stream = nullptr;
        stream_record_free(st);
    }
    s->queued_input = 0;

    if (s->next == s) {
        session_head = nullptr;
    } else {
        s->prev->next = s->next;
        s->next->prev = s->prev;
        if (session_head == s) session_head = s->next;
    }
    s->next = s->prev = nullptr;

    for (int i = 0; i < fd_poll.count; i++) {
        if (fd_poll.comp[i].session != s) continue;
        fd_poll.comp[i].session = nullptr;
        fd_poll.comp[i].stream = nullptr;
    }

    // What this session still owed from the shared budget must not keep
    // counting against the others.
    if (s->owed) {
        QUORIN_CHECK(budget.demanding > 0);
        budget.total_demand = budget.total_demand >= s->owed ? budget.total_demand - s->owed : 0;
        if (budget.demanding) budget.demanding--;
        s->owed = 0;
    }

    session_core_release(*s);
    give_back_stream_table(s->streams);
    s->streams = nullptr;
    if (cur_session == s) cur_session = nullptr;
    delete s;
}
