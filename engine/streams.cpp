#include "engine/streams.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

#include "engine/log.h"
#include "engine/loop.h"
#include "engine/resolver.h"
#include "engine/session.h"
#include "engine/tunnel.h"
#include "platform/net.h"
#include "protocol/hooks.h"

namespace {

// Every local segment is counted as if it carried 60 bytes of TCP/IP headers.
constexpr uint32_t segment_bytes = 1500;
constexpr uint32_t segment_overhead_bytes = 60;
constexpr uint32_t stream_limit_reset_after = 100;
// A peer that keeps sending after our stop would otherwise grow buf_out
// without end.
constexpr uint64_t buf_out_hard_limit_bytes = 64u << 20;

uint8_t fallback_scratch[scratch_bytes];

uint8_t* cmd_buf() { return scratch ? scratch : fallback_scratch; }

uint32_t clamp_buflen() {
    if (runtime.buflen <= 0 || runtime.buflen > int(scratch_bytes)) return scratch_bytes;
    return uint32_t(runtime.buflen);
}

poll_entry* entry_of(const s_stream* st) {
    if (!st || st->fd_index < 0 || st->fd_index >= fd_poll.count) return nullptr;
    // Compaction and the console's moves keep a stream and its entry in step.
    QUORIN_CHECK(fd_poll.comp[st->fd_index].stream == st);
    if (fd_poll.comp[st->fd_index].stream != st) return nullptr;
    return &fd_poll.entries[st->fd_index];
}

uint8_t close_flags_of(const s_stream* st) {
    return entry_of(st) ? fd_poll.comp[st->fd_index].close_flags : 0;
}

stx_session* session_of(const s_stream* st) {
    if (entry_of(st) && fd_poll.comp[st->fd_index].session) return fd_poll.comp[st->fd_index].session;
    return cur_session;
}

void drop_input(stx_session* s, s_stream* st) {
    QUORIN_CHECK(s->queued_input >= st->input.len);
    s->queued_input -= std::min(s->queued_input, st->input.len);
    fifo_free(&st->input);
}

// Whether reading from this stream's socket may be (re)enabled now.
bool read_allowed(const stx_session* s, const s_stream* st) {
    return entry_of(st) && !close_flags_of(st) && !st->ended && !st->stopped_by_peer && !st->local_end &&
           st->conn_state != conn_connecting_by_name && !s->delayed;
}

void account_local_out(stx_session* s, uint32_t n) {
    const uint32_t overhead = segment_overhead_bytes * (n / segment_bytes + 1);
    stats.local_out += n + overhead;
    stats.local_in += overhead;
    s->local_out += n + overhead;
    s->local_in += overhead;
}

s_stream* live_stream(stx_session* s, uint16_t id) {
    if (!s->streams) return nullptr;
    s_stream* st = s->streams[id];
    if (!st || st->id != id || st->ended) return nullptr;
    return st;
}

// The peer ended the stream: nothing more goes either way but buf_out,
// which an established stream still drains.
void end_stream(stx_session* s, s_stream* st) {
    stream_mark(st, close_requested | close_peer_informed);
    st->ended = 1;
    if (poll_entry* e = entry_of(st)) e->events &= uint16_t(~ev_read);
    ready_list_remove(s, st);
    drop_input(s, st);
}

int connect_to(int fd, uint32_t addr_net, uint16_t port_net) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = addr_net;
    to.sin_port = port_net;
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) return 0;
    return sock_would_block(sock_last_error()) ? 0 : -1;
}

// ---------------------------------------------------------------- opens by name
// The names are looked up by the resolver's workers; everything that touches
// a session or a stream happens here, on the engine thread, when the loop
// picks the results up.

struct pending_open {
    stx_session* s;
    uint32_t session_id;
    s_stream* st;
    uint16_t id;
    uint16_t port_net;
    std::string name;
};

uint64_t lookup_serial = 0;
std::unordered_map<uint64_t, pending_open> pending_opens;  // by lookup serial
// The serial of the lookup each waiting stream expects: a stream freed and a
// new one made at the same address must not take the old answer.
std::unordered_map<s_stream*, uint64_t> resolve_waiting;
pid_t lookups_pid = 0;

// A forked child inherits the waiting opens but none of the workers that
// would answer them.
void forget_foreign_lookups() {
    if (lookups_pid == getpid()) return;
    lookups_pid = getpid();
    pending_opens.clear();
    resolve_waiting.clear();
}

bool lookup_submit(stx_session* s, s_stream* st, const char* name, uint16_t port_net) {
    forget_foreign_lookups();
    const uint64_t serial = ++lookup_serial;
    if (!resolver_submit(serial, name)) return false;
    pending_opens[serial] = pending_open{s, s->session_id, st, st->id, port_net, name};
    resolve_waiting[st] = serial;
    return true;
}

bool session_alive(const stx_session* s, uint32_t session_id) {
    stx_session* it = session_head;
    if (!it) return false;
    do {
        if (it == s) return it->session_id == session_id;
        it = it->next;
    } while (it && it != session_head);
    return false;
}

void finish_open_by_name(const name_result& res) {
    auto found = pending_opens.find(res.serial);
    if (found == pending_opens.end()) return;
    const pending_open job = std::move(found->second);
    pending_opens.erase(found);
    auto w = resolve_waiting.find(job.st);
    if (w == resolve_waiting.end() || w->second != res.serial) return;
    resolve_waiting.erase(w);
    // The stream may have ended, or its session may be gone, while the name
    // was looked up; only a stream still waiting for this lookup goes on.
    if (!session_alive(job.s, job.session_id)) return;
    stx_session* s = job.s;
    s_stream* st = job.st;
    if (!s->streams || s->streams[job.id] != st || st->ended || st->conn_state != conn_connecting_by_name) return;
    poll_entry* e = entry_of(st);
    if (!e || close_flags_of(st)) return;

    if (!res.ok) {
        log_msg(1, "Cannot resolve %s, stream %d session %x\n", job.name.c_str(), int(job.id), s->session_id);
        stream_close(st);
        return;
    }
    const auto* a = reinterpret_cast<const uint8_t*>(&res.addr_net);
    if (res.addr_net == 0) {
        log_msg(0, "ABUSE: ZERO invalid host %d session %x\n", int(job.id), s->session_id);
        stream_close(st);
        return;
    }
    if (a[0] == 127) {
        log_msg(0, "ABUSE: ext to localhost %d session %x\n", int(job.id), s->session_id);
        stream_close(st);
        return;
    }
    if (connect_to(e->fd, res.addr_net, job.port_net) != 0) {
        stream_close(st);
        return;
    }
    st->conn_state = conn_connecting;
    if (read_allowed(s, st)) e->events |= ev_read;
    if (st->buf_out.len) e->events |= ev_write;
}

// ---------------------------------------------------------------- commands

void refuse_open(stx_session* s, uint16_t id) { session_stream_cmd(s, cmd_end, id); }

bool port_refused(stx_session* s, uint16_t port_net) {
    for (int i = 0; i < invalid_ports_count && i < invalid_ports_max; i++) {
        if (invalid_ports[i] == port_net) {
            log_msg(0, "ABUSE: Invalid port, verification failed %x\n", s->session_id);
            log_msg(0, "ABUSE: invalid port %d session %x\n", int(ntohs(port_net)), s->session_id);
            return true;
        }
    }
    return false;
}

bool stream_limit_reached(stx_session* s, uint16_t id) {
    if (s->stream_count < s->stream_limit) return false;
    s->over_limit++;
    log_msg(0, "reached limit fd(%d >= %d) on session %x(%s)\n", int(s->stream_count), int(s->stream_limit),
            s->session_id, s->name);
    refuse_open(s, id);
    if (s->over_limit > stream_limit_reset_after) {
        s->close_mark = 1;
        log_msg(0, "Sockets overlimit, session %x(%s) to be dropped (user have virus?)\n", s->session_id, s->name);
        send_reset_to(s->session_id, s->server_addr, s->server_port);
        log_msg(0, "Sending reset to customer, closing session %x\n", s->session_id);
    }
    return true;
}

// The peer opens ids it believes free: a stream of ours still holding the
// id is stale from its point of view, and must not send an end that would
// hit the new stream.
void retire_stream_id(stx_session* s, uint16_t id) {
    if (s_stream* old = live_stream(s, id)) {
        log_msg(1, "Stream %d reopened by server on session %x\n", int(id), s->session_id);
        end_stream(s, old);
        stream_close(old);
    }
}

void open_stream(stx_session* s, uint16_t id, uint32_t addr_net, uint16_t port_net, const char* name,
                 uint8_t name_len) {
    if (stream_limit_reached(s, id)) return;
    const int fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd < 0) {
        if (sock_out_of_descriptors(sock_last_error()))
            descriptors_short();
        else
            log_msg(0, "ext. service, session error\n");
        refuse_open(s, id);
        return;
    }
    if (descriptor_in_reserve(fd)) {
        sock_close(fd);
        descriptors_short();
        refuse_open(s, id);
        return;
    }
    set_nonblocking(fd);
    if (!name_len && connect_to(fd, addr_net, port_net) != 0) {
        sock_close(fd);
        refuse_open(s, id);
        return;
    }
    retire_stream_id(s, id);
    s_stream* st = stream_new(s, id);
    if (!st) {
        log_msg(0, "Stream malloc error session %x\n", s->session_id);
        sock_close(fd);
        refuse_open(s, id);
        return;
    }
    st->last_io = now;
    uint16_t events = 0;
    if (name_len) {
        st->conn_state = conn_connecting_by_name;
    } else {
        st->conn_state = conn_connecting;
        if (!s->delayed) events = ev_read;
    }
    fd_append(fd, events, fd_stream, s, st, s->local_index);
    if (name_len && !lookup_submit(s, st, name, port_net)) {
        log_msg(1, "Cannot resolve %s, stream %d session %x\n", name, int(id), s->session_id);
        stream_close(st);
    }
}

void on_open(void* ctx, const cmd_open_req& req) {
    auto* s = static_cast<stx_session*>(ctx);
    const uint16_t id = req.stream_id;
    const auto* a = reinterpret_cast<const uint8_t*>(&req.addr_net);
    if (!runtime.ttcp) {
        refuse_open(s, id);
        return;
    }
    if (req.addr_net == 0) {
        log_msg(0, "ABUSE: ZERO invalid host %d session %x\n", int(id), s->session_id);
        refuse_open(s, id);
        return;
    }
    if (a[0] == 127) {
        log_msg(0, "ABUSE: ext to localhost %d session %x\n", int(id), s->session_id);
        refuse_open(s, id);
        return;
    }
    if (req.port_net == 0) {
        log_msg(0, "ABUSE: ZERO invalid port %d session %x\n", int(id), s->session_id);
        refuse_open(s, id);
        return;
    }
    if (port_refused(s, req.port_net)) {
        refuse_open(s, id);
        return;
    }
    open_stream(s, id, req.addr_net, req.port_net, req.name, req.name_len);
}

void on_open_internal(void* ctx, uint8_t service, uint16_t id) {
    auto* s = static_cast<stx_session*>(ctx);
    const service_entry& svc = services_table[service % services_table_size];
    open_stream(s, id, svc.addr, svc.port, nullptr, 0);
}

void on_end(void* ctx, uint16_t id) {
    auto* s = static_cast<stx_session*>(ctx);
    if (s_stream* st = live_stream(s, id)) end_stream(s, st);
}

void on_data(void* ctx, uint16_t id, const uint8_t* bytes, uint32_t n) {
    auto* s = static_cast<stx_session*>(ctx);
    s_stream* st = live_stream(s, id);
    if (!st) return;
    const uint64_t tcpbuf = runtime.tcpbuf > 0 ? uint64_t(runtime.tcpbuf) : 0;
    if (uint64_t(st->buf_out.len) + n > std::max(buf_out_hard_limit_bytes, 2 * tcpbuf)) {
        log_msg(0, "Stream %d ignores stop, buffer overflow on session %x\n", int(id), s->session_id);
        stream_close(st);
        return;
    }
    if (buf_out_total + n > runtime.buf_out_total_max) {
        log_msg(0, "Streams hold %llu bytes for their sockets, stream %d on session %x closed\n",
                (unsigned long long)buf_out_total, int(id), s->session_id);
        stream_close(st);
        return;
    }
    buf_out_write(st, bytes, n);
    if (st->buf_out.len > tcpbuf && !st->stopped) {
        st->stopped = 1;
        st->stop_time = now;
        session_stream_cmd(s, cmd_stop, id);
    }
    if (st->conn_state != conn_connecting_by_name) {
        if (poll_entry* e = entry_of(st)) e->events |= ev_write;
    }
}

void on_stop(void* ctx, uint16_t id) {
    auto* s = static_cast<stx_session*>(ctx);
    s->stop_count++;
    s_stream* st = live_stream(s, id);
    if (!st) return;
    if (st->stopped_by_peer)
        log_msg(1, "Trying to delay already delayed stream %x %x(%s) dly %d\n", unsigned(id), s->session_id,
                s->name, int(s->delayed));
    st->stopped_by_peer = 1;
    if (poll_entry* e = entry_of(st)) e->events &= uint16_t(~ev_read);
    ready_list_remove(s, st);
}

void on_continue(void* ctx, uint16_t id) {
    auto* s = static_cast<stx_session*>(ctx);
    s_stream* st = live_stream(s, id);
    if (!st) return;
    if (st->in_ready) {
        log_msg(0, "Already stream %d in cycle %d\n", int(id), int(s->ready_count));
        return;
    }
    st->stopped_by_peer = 0;
    if (read_allowed(s, st)) entry_of(st)->events |= ev_read;
    // A stop can take a locally ended stream off the ready list before its
    // shutdown was packed; it must come back for that shutdown too.
    if (st->input.len || (st->local_end && !st->shutdown_sent)) ready_list_add(s, st);
}

void on_shutdown(void* ctx, uint16_t id) {
    auto* s = static_cast<stx_session*>(ctx);
    s_stream* st = live_stream(s, id);
    if (!st) return;
    st->remote_end = 1;
    poll_entry* e = entry_of(st);
    if (!e || close_flags_of(st)) return;
    if (st->local_end) {
        // Our own shutdown may still wait to be packed (no budget yet, or a
        // stop took the stream off the ready list): the packer marks the
        // entry once it has gone out, or the peer would never learn our end.
        if (st->shutdown_sent) stream_mark(st, close_requested | close_peer_informed);
    } else if (st->conn_state != conn_connecting_by_name) {
        // The write path passes the end on once buf_out is empty; with
        // buf_out already empty it would otherwise never run.
        e->events |= ev_write;
    }
}

bool on_tunnel_len(void* ctx, uint16_t len) {
    auto* s = static_cast<stx_session*>(ctx);
    if (len > clamp_buflen()) {
        log_msg(1, "Invalid tunnel packet %x(%s) size %i>%i\n", s->session_id, s->name, int(len), runtime.buflen);
        s->close_mark = 1;
        return false;
    }
    return true;
}

void on_tunnel(void* ctx, const uint8_t* pkt, uint16_t len) {
    auto* s = static_cast<stx_session*>(ctx);
    const int sent = tunnel_packet_out(s, pkt, len);
    stats.local_out += uint32_t(sent);
    s->local_out += uint32_t(sent);
}

const cmd_handlers command_effects = {
    on_open, on_open_internal, on_end, on_data, on_stop, on_continue, on_shutdown, on_tunnel, on_tunnel_len,
};

}  // namespace

// ---------------------------------------------------------------- deflate / inflate

uint32_t session_deflate(stx_session* s, const void* cmd, uint32_t n) {
    return fifo_write_deflate(&s->out_deflated, cmd, n, s->deflater_ready ? &s->deflater : nullptr,
                              runtime.ldelay_s == 0.0);
}

void session_flush(stx_session* s) {
    if (s->deflater_ready) fifo_deflate(&s->out_deflated, &s->deflater);
}

uint32_t session_stream_cmd(stx_session* s, cmd_code code, uint16_t stream_id) {
    uint8_t cmd[cmd_stream_bytes];
    const size_t n = cmd_put_stream(cmd, code, stream_id);
    return session_deflate(s, cmd, uint32_t(n));
}

void process_commands(stx_session* s) {
    if (process_commands_core(s->parser, s->in_cmds, command_effects, s) < 0) s->close_mark = 1;
}

// ---------------------------------------------------------------- packing

void pack_streams(stx_session* s, int64_t budget) {
    uint8_t* buf = cmd_buf();
    const uint32_t room = std::min<uint32_t>(clamp_buflen() - cmd_data_header_bytes, cmd_data_max);
    while (s->ready_head && budget >= 1) {
        s_stream* st = s->ready_head;
        uint32_t n = std::min<uint32_t>(s->packet_size, room);
        // Room for the shutdown that follows the last data.
        if (st->local_end) n = n > cmd_stream_bytes ? n - uint32_t(cmd_stream_bytes) : 0;
        if (n == 0) n = 1;
        const uint32_t got = fifo_read(&st->input, buf + cmd_data_header_bytes, n);
        if (got) {
            cmd_put_data_header(buf, uint16_t(got), st->id);
            const uint32_t deflated = session_deflate(s, buf, uint32_t(got + cmd_data_header_bytes));
            QUORIN_CHECK(s->queued_input >= got);
            s->queued_input -= std::min(s->queued_input, got);
            budget -= deflated;
            s->packed_compressed += deflated;
            s->packed_raw += got + cmd_data_header_bytes;
        }
        if (st->input.len == 0) {
            ready_list_remove(s, st);
            if (st->local_end && !st->shutdown_sent) {
                st->shutdown_sent = 1;
                session_stream_cmd(s, cmd_shutdown, st->id);
                if (st->remote_end && entry_of(st) && !close_flags_of(st))
                    stream_mark(st, close_requested | close_peer_informed);
            }
            if (read_allowed(s, st)) {
                poll_entry* e = entry_of(st);
                if (!(e->events & ev_read)) e->events |= ev_read;
            }
        } else if (!st->ended) {
            s->ready_head = st->ready_prev;
        }
    }
    if (budget < 1) budget_stops++;
    if (now - s->last_flush > s->flush_interval_s) {
        s->last_flush = now;
        session_flush(s);
    }
}

// ---------------------------------------------------------------- writing

void send_continue(s_stream* st, uint32_t n) {
    const uint32_t before = st->buf_out.len;
    buf_out_read(st, nullptr, n);
    const uint32_t half = runtime.tcpbuf > 0 ? uint32_t(runtime.tcpbuf) / 2 : 0;
    if (st->stopped && before >= half && st->buf_out.len < half) {
        st->stopped = 0;
        if (stx_session* s = session_of(st)) session_stream_cmd(s, cmd_continue, st->id);
    }
}

void tcp_write() {
    stx_session* s = cur_session;
    s_stream* st = cur_stream;
    if (!s || !st) return;
    poll_entry* e = entry_of(st);
    if (!e) return;
    while (fifo_node* node = st->buf_out.head) {
        const uint32_t avail = node->write_off - node->read_off;
        const ssize_t r = send(e->fd, node->data + node->read_off, avail, MSG_NOSIGNAL);
        if (r < 0) {
            if (sock_would_block(sock_last_error())) return;
            stream_mark(st, close_requested);
            st->ended = 1;
            ready_list_remove(s, st);
            drop_input(s, st);
            buf_out_free(st);
            e->events = 0;
            return;
        }
        const uint32_t n = uint32_t(r);
        st->last_io = now;
        st->conn_state = conn_established;
        account_local_out(s, n);
        send_continue(st, n);
        if (n != avail) break;
    }
    if (!st->buf_out.len && st->remote_end && !close_flags_of(st)) {
        shutdown(e->fd, SHUT_WR);
        e->events &= uint16_t(~ev_write);
    }
}

// ---------------------------------------------------------------- delaying

void sockets_delay_all(stx_session* s) {
    if (s->delayed) return;
    s->delayed = 1;
    s_stream* st = s->stream_ring;
    if (!st) return;
    do {
        poll_entry* e = entry_of(st);
        if (e && !st->ended && !st->stopped_by_peer) {
            e->events &= uint16_t(~ev_read);
            e->revents &= uint16_t(~ev_read);
        }
        st = st->next;
    } while (st && st != s->stream_ring);
}

void sockets_undelay_all(stx_session* s) {
    if (!s->delayed) return;
    s->delayed = 0;
    s_stream* st = s->stream_ring;
    if (!st) return;
    do {
        if (read_allowed(s, st) && st->input.len == 0) entry_of(st)->events |= ev_read;
        st = st->next;
    } while (st && st != s->stream_ring);
}

// ---------------------------------------------------------------- stream records

void stream_mark(s_stream* st, uint8_t flags) {
    if (entry_of(st)) fd_mark_removal(st->fd_index, flags);
}

void buf_out_write(s_stream* st, const void* data, uint32_t n) {
    fifo_write(&st->buf_out, data, n);
    buf_out_total += n;
}

uint32_t buf_out_read(s_stream* st, void* dst, uint32_t n) {
    const uint32_t taken = fifo_read(&st->buf_out, dst, n);
    QUORIN_CHECK(buf_out_total >= taken);
    buf_out_total -= std::min<uint64_t>(buf_out_total, taken);
    return taken;
}

void buf_out_free(s_stream* st) {
    QUORIN_CHECK(buf_out_total >= st->buf_out.len);
    buf_out_total -= std::min<uint64_t>(buf_out_total, st->buf_out.len);
    fifo_free(&st->buf_out);
}

void stream_cut(s_stream* st) {
    poll_entry* e = entry_of(st);
    if (!e || e->fd == spare_socket) return;
    // Ended both ways already, with nothing left to write or to send: the
    // session's loss takes nothing from it, and its end stays clean.
    if (close_flags_of(st) && !st->buf_out.len && !st->input.len) return;
    sock_abort_on_close(e->fd);
}

void streams_cut_all() {
    stx_session* s = session_head;
    if (!s) return;
    do {
        if (s_stream* st = s->stream_ring) {
            do {
                stream_cut(st);
                st = st->next;
            } while (st && st != s->stream_ring);
        }
        s = s->next;
    } while (s && s != session_head);
}

void stream_close(s_stream* st) {
    stream_mark(st, close_requested);
    st->ended = 1;
    buf_out_free(st);
    if (poll_entry* e = entry_of(st)) e->events = 0;
}

s_stream* stream_new(stx_session* s, uint16_t id) {
    // Plain zero-filled memory: the record is freed by stream_record_free.
    auto* st = static_cast<s_stream*>(std::calloc(1, sizeof(s_stream)));
    if (!st) return nullptr;
    st->id = id;
    st->fd_index = -1;
    if (s->streams) s->streams[id] = st;
    if (!s->stream_ring) {
        st->next = st;
        st->prev = st;
        s->stream_ring = st;
    } else {
        s_stream* last = s->stream_ring->prev;
        st->prev = last;
        st->next = s->stream_ring;
        last->next = st;
        s->stream_ring->prev = st;
    }
    s->stream_count++;
    return st;
}

void ready_list_add(stx_session* s, s_stream* st) {
    if (st->in_ready) return;
    if (!s->ready_head) {
        st->ready_next = st;
        st->ready_prev = st;
        s->ready_head = st;
    } else {
        s_stream* last = s->ready_head->ready_prev;
        st->ready_prev = last;
        st->ready_next = s->ready_head;
        last->ready_next = st;
        s->ready_head->ready_prev = st;
    }
    st->in_ready = 1;
    s->ready_count++;
}

void ready_list_remove(stx_session* s, s_stream* st) {
    if (!st->in_ready) return;
    if (st->ready_next == st) {
        s->ready_head = nullptr;
    } else {
        st->ready_prev->ready_next = st->ready_next;
        st->ready_next->ready_prev = st->ready_prev;
        if (s->ready_head == st) s->ready_head = st->ready_next;
    }
    st->ready_next = nullptr;
    st->ready_prev = nullptr;
    st->in_ready = 0;
    QUORIN_CHECK(s->ready_count > 0);
    if (s->ready_count) s->ready_count--;
}

void stream_ring_remove(stx_session* s, s_stream* st) {
    if (!st->next) return;
    if (st->next == st) {
        s->stream_ring = nullptr;
    } else {
        st->prev->next = st->next;
        st->next->prev = st->prev;
        if (s->stream_ring == st) s->stream_ring = st->next;
    }
    st->next = nullptr;
    st->prev = nullptr;
    QUORIN_CHECK(s->stream_count > 0);
    if (s->stream_count) s->stream_count--;
}

// ---------------------------------------------------------------- open by name

void streams_poll_pending() {
    forget_foreign_lookups();
    for (const name_result& r : resolver_take()) finish_open_by_name(r);
}

size_t streams_pending_count() {
    forget_foreign_lookups();
    return resolve_waiting.size();
}

// ---------------------------------------------------------------- tunnel

int tunnel_packet_out(stx_session* s, const uint8_t* pkt, uint16_t len) {
    const int fd = s->tunnel_fd >= 0 ? s->tunnel_fd : tunnel_control_fd();
    if (fd < 0 || !tunnel_available || !tun.sendbuf) {
        log_msg(1, "No tunnel found. Failure!\n");
        return 0;
    }
    if (len > tun_slot_data_bytes) return 0;
    const uint8_t g = uint8_t(tunnel_send_slot % tun_slot_count);
    PacketSlot& slot = tun.sendbuf[g];
    // The library has not written the packet in this slot yet: this one is
    // lost rather than that one torn while it is being written.
    if (tun_slot_length(slot) != 0) return 0;
    std::memcpy(slot.data, pkt, len);
    tun_slot_fill(slot, len);
    if (send(fd, &g, 1, MSG_NOSIGNAL) != 1) {
        tun_slot_free(slot);
        if (!sock_would_block(sock_last_error())) log_msg(1, "Error sending packet to tunnel\n");
        return 0;
    }
    tunnel_send_slot = uint16_t((g + 1) % tun_slot_count);
    return len;
}
