#include "engine/loop.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/console.h"
#include "engine/listeners.h"
#include "engine/log.h"
#include "engine/resolver.h"
#include "engine/session.h"
#include "engine/startup.h"
#include "engine/streams.h"
#include "engine/timers.h"
#include "platform/net.h"
#include "platform/sleep.h"
#include "platform/tick.h"
#include "protocol/commands.h"
#include "protocol/hooks.h"

namespace {

uint32_t last_tick = 0;
uint64_t tick_offset_ms = 0;

constexpr double budget_share_interval_s = 0.1;
constexpr int poll_timeout_ms = 10;
// Below this many entries a compaction is cheap enough to run every pass.
constexpr int compaction_small_table = 49;
// Past this many pending removals the table is compacted at once.
constexpr int compaction_pending_max = 2000;
constexpr uint64_t closed_stream_overhead_bytes = 60;
constexpr int ipv4_dst_offset = 16;
// Long enough that a listener which cannot accept costs nothing; short
// enough that waiting clients are taken soon after descriptors come back.
constexpr double accept_pause_s = 0.25;
constexpr double shortage_quiet_s = 10.0;

// The poll(2) array mirrors the table; kept between passes so a pass
// allocates nothing once the table has stopped growing. Behind the table's
// entries it holds the resolver's wake descriptor, which is no entry of the
// table: finished name lookups wake the pass without a socket being ready.
std::vector<pollfd> poll_fds;
bool lookups_finished = false;

void table_resize(int capacity) {
    fd_poll.entries = static_cast<poll_entry*>(myrealloc(fd_poll.entries, sizeof(poll_entry) * size_t(capacity)));
    fd_poll.comp = static_cast<poll_companion*>(myrealloc(fd_poll.comp, sizeof(poll_companion) * size_t(capacity)));
    fd_poll.capacity = capacity;
}

short poll_events_of(uint16_t events) {
    short ev = 0;
    if (events & ev_read) ev |= POLLIN;
    if (events & ev_write) ev |= POLLOUT;
    return ev;
}

// Winsock's select reports a connection that the peer closed as readable
// (the read then sees the end or the error) and keeps its error set for
// failed connects. So a hang-up on an entry that wants to read is a read
// event, never an error that would skip the read; other failures are 0x10.
uint16_t revents_of(short got, uint16_t wanted) {
    uint16_t r = 0;
    if (got & POLLIN) r |= ev_read;
    if (got & POLLOUT) r |= ev_write;
    if (got & POLLHUP) r |= (wanted & ev_read) ? ev_read : ev_error;
    if (got & (POLLERR | POLLNVAL)) r |= ev_error;
    return r;
}

void drop_stream_buffers(stx_session* s, s_stream* st) {
    QUORIN_CHECK(s->queued_input >= st->input.len);
    s->queued_input = s->queued_input >= st->input.len ? s->queued_input - st->input.len : 0;
    fifo_free(&st->input);
    buf_out_free(st);
}

// One marked entry that belongs to a session and a stream. Returns true
// when the entry is gone (stream freed), false while it must stay.
bool compact_stream_entry(int index) {
    const poll_companion c = fd_poll.comp[index];
    const int fd = fd_poll.entries[index].fd;
    stx_session* s = c.session;
    s_stream* st = c.stream;

    if (st->conn_state != conn_established) drop_stream_buffers(s, st);
    if (st->close_time == 0) st->close_time = now;
    if (now - st->close_time > runtime.stream_drain_s) drop_stream_buffers(s, st);
    if (st->input.len || st->buf_out.len) return false;

    if ((c.close_flags & close_requested) && !(c.close_flags & close_peer_informed)) {
        session_stream_cmd(s, cmd_end, st->id);
    }
    if (fd != spare_socket) {
        if (tunnel_available && st->redir_port && tun.SetTcpRedirPortFordel) tun.SetTcpRedirPortFordel(st->redir_port);
        sock_close(fd);
    }
    stats.local_in += closed_stream_overhead_bytes;
    stats.local_out += closed_stream_overhead_bytes;
    s->local_in += closed_stream_overhead_bytes;
    s->local_out += closed_stream_overhead_bytes;

    if (st->in_ready) ready_list_remove(s, st);
    stream_ring_remove(s, st);
    if (s->streams && s->streams[st->id] == st) s->streams[st->id] = nullptr;
    QUORIN_CHECK(pending_removals > 0);
    if (pending_removals > 0) pending_removals--;
    if (cur_stream == st) cur_stream = nullptr;
    stream_record_free(st);
    return true;
}

// The listeners that accept (not the tunnel control connection, which
// shares their type) and the console listener, unless closed.
bool accepting_entry(int index) {
    const poll_companion& c = fd_poll.comp[index];
    if (c.close_flags) return false;
    if (c.type == fd_console_listener) return true;
    if (c.type != fd_listener) return false;
    const int local = c.local_delayed & local_index_mask;
    return !(local_table && local < local_count && local_table[local].mode == mode_tunnel);
}

}  // namespace

// ---------------------------------------------------------------- clock

void get_time(time_pair* t) {
    const uint32_t tick = tick_count();
    // The tick wraps every 49.7 days; each wrap is one more 2^32 ms.
    if (tick < last_tick) tick_offset_ms += uint64_t(1) << 32;
    last_tick = tick;
    const uint64_t ms = tick_offset_ms + tick;
    t->sec = int64_t(ms / 1000);
    t->nsec = int64_t(ms % 1000) * 1000000;
}

double time_to_sec(const time_pair& t) { return double(t.sec) + double(t.nsec) / 1e9; }

double clock_now() {
    time_pair t;
    get_time(&t);
    return time_to_sec(t);
}

void clock_reset() {
    last_tick = 0;
    tick_offset_ms = 0;
}

// ---------------------------------------------------------------- table

void poll_reset() {
    std::free(fd_poll.entries);
    std::free(fd_poll.comp);
    fd_poll = fd_poll_table{};
    poll_fds.clear();
    pending_removals = 0;
    session_head = nullptr;
}

int fd_append(int fd, uint16_t events, uint8_t type, stx_session* s, s_stream* st, int local_index) {
    if (fd_poll.capacity == 0 || !fd_poll.entries || !fd_poll.comp) table_resize(fd_poll_step);
    const int i = fd_poll.count;
    fd_poll.entries[i] = poll_entry{fd, events, 0};
    fd_poll.comp[i] = poll_companion{s, st, 0, uint8_t(local_index & local_index_mask), type};
    if (st) st->fd_index = i;
    fd_poll.count++;
    if (fd_poll.count == fd_poll.capacity) table_resize(fd_poll.capacity + fd_poll_step);
    return i;
}

void fd_reserve(int n) {
    if (fd_poll.capacity == 0 || !fd_poll.entries || !fd_poll.comp) table_resize(fd_poll_step);
    int capacity = fd_poll.capacity;
    while (fd_poll.count + n + 1 >= capacity) capacity += fd_poll_step;
    if (capacity != fd_poll.capacity) table_resize(capacity);
}

void fd_mark_removal(int index, uint8_t flags) {
    if (index < 0 || index >= fd_poll.count) return;
    poll_companion& c = fd_poll.comp[index];
    if (!c.close_flags) {
        pending_removals++;
        if (c.type == fd_stream) marked_streams_total++;
    }
    // Once the peer is known to have ended the stream, no end command may
    // follow, whatever marked the entry first.
    c.close_flags |= uint8_t(flags | close_requested);
}

void stream_record_free(s_stream* st) {
    if (!st) return;
    fifo_free(&st->input);
    buf_out_free(st);
    mem_free(st);
}

// ---------------------------------------------------------------- descriptor shortage

bool descriptor_in_reserve(int fd) { return fd >= 0 && fd >= descriptor_limit() - descriptor_reserve; }

void descriptors_short() {
    if (shortage_last < 0 || now - shortage_last > shortage_quiet_s)
        log_msg(0, "Out of descriptors (limit %d): new connections refused until some close\n", descriptor_limit());
    shortage_last = now;
}

void accept_pause() {
    descriptors_short();
    accept_paused_until = now + accept_pause_s;
    for (int i = 0; i < fd_poll.count; i++)
        if (accepting_entry(i)) fd_poll.entries[i].events &= uint16_t(~ev_read);
}

void accept_resume_due() {
    if (accept_paused_until == 0 || now < accept_paused_until) return;
    accept_paused_until = 0;
    for (int i = 0; i < fd_poll.count; i++)
        if (accepting_entry(i)) fd_poll.entries[i].events |= ev_read;
}

// ---------------------------------------------------------------- polling

int poll_select(poll_entry* table, int count, int ms) {
    if (count < 0) count = 0;
    const int wake_fd = resolver_wake_fd();
    const size_t n = size_t(count) + (wake_fd >= 0 ? 1 : 0);
    poll_fds.resize(n);
    for (int i = 0; i < count; i++) {
        poll_fds[size_t(i)] = pollfd{table[i].fd, poll_events_of(table[i].events), 0};
        table[i].revents = 0;
    }
    if (wake_fd >= 0) poll_fds[size_t(count)] = pollfd{wake_fd, POLLIN, 0};
    const int rc = ::poll(poll_fds.data(), nfds_t(n), ms);
    lookups_finished = rc > 0 && wake_fd >= 0 && (poll_fds[size_t(count)].revents & POLLIN);
    if (rc < 0) {
        log_msg(900, "Select return:%i err:%i\n", rc, errno);
        return rc;
    }
    int ready = 0;
    for (int i = 0; i < count && rc > 0; i++) {
        table[i].revents = revents_of(poll_fds[size_t(i)].revents, table[i].events);
        if (table[i].revents) ready++;
    }
    return ready;
}

int poll_check(poll_entry* table, int count, int ms) {
    log_msg(900, "Check sockets initiated nfds=%i\n", count);
    sleep_ms(uint32_t(ms));
    int checked = 0;
    for (int i = 0; i < count; i++) {
        pollfd one{table[i].fd, poll_events_of(table[i].events), 0};
        table[i].revents = 0;
        const int rc = ::poll(&one, 1, 0);
        if (rc < 0) {
            log_msg(900, "poll %i - select return %i err %i\n", i, rc, errno);
            continue;
        }
        table[i].revents = revents_of(one.revents, table[i].events);
        checked++;
    }
    const int wake_fd = resolver_wake_fd();
    pollfd wake{wake_fd, POLLIN, 0};
    lookups_finished = wake_fd >= 0 && ::poll(&wake, 1, 0) > 0;
    return checked;
}

int poll_compact(int count) {
    int kept = 0;
    for (int i = 0; i < count; i++) {
        const poll_companion& c = fd_poll.comp[i];
        bool keep = true;
        if (c.close_flags) {
            if (c.session && c.stream) {
                cur_session = c.session;
                cur_stream = c.stream;
                keep = !compact_stream_entry(i);
            } else {
                if (fd_poll.entries[i].fd != spare_socket) sock_close(fd_poll.entries[i].fd);
                QUORIN_CHECK(pending_removals > 0);
                if (pending_removals > 0) pending_removals--;
                keep = false;
            }
        }
        if (!keep) continue;
        if (kept != i) {
            fd_poll.entries[kept] = fd_poll.entries[i];
            fd_poll.comp[kept] = fd_poll.comp[i];
            if (fd_poll.comp[kept].stream) fd_poll.comp[kept].stream->fd_index = kept;
        }
        kept++;
    }
    return kept;
}

// ---------------------------------------------------------------- the pass

void share_budget() {
    if (!runtime.totalspeed || now < budget.next_share) return;
    budget.pool = int64_t(runtime.totalspeed * budget_share_interval_s);
    budget.next_share = now + budget_share_interval_s;
    int64_t take = 0;
    if (budget.total_demand) {
        if (budget.pool > budget.total_demand) {
            take = budget.total_demand;
            budget.pool -= take;
        } else {
            take = budget.pool;
            budget.pool = 0;
        }
    }
    budget.share = budget.demanding ? uint32_t(uint64_t(take) / budget.demanding) : 0;
    if (stx_session* s = session_head) {
        do {
            const int64_t d = s->owed;
            if (d != 0) {
                if (d >= int64_t(budget.share)) {
                    s->allowance += int32_t(budget.share);
                } else {
                    s->allowance += int32_t(d);
                    budget.pool += int64_t(budget.share) - d;
                }
                s->owed = 0;
                QUORIN_CHECK(budget.demanding > 0);
                if (budget.demanding) budget.demanding--;
            }
            s = s->next;
        } while (s != session_head);
    }
    budget.total_demand = 0;
    budget.share = 0;
}

void dispatch_ready(int ready) {
    int i = 0;
    while (i < fd_poll.count && ready > 0) {
        if (!(fd_poll.entries[i].revents && fd_poll.entries[i].events)) {
            i++;
            continue;
        }
        if (fd_poll.count > fd_poll_limit) fatal_error(__LINE__, "ERROR! Fd_poll reached 65000\n");
        ready--;
        cur_index = i;
        cur_session = fd_poll.comp[i].session;
        cur_stream = fd_poll.comp[i].stream;
        if (runtime.traffic_s && now - last_traffic_line > runtime.traffic_s) {
            log_msg(0, "(traf)UDP IN/OUT/ TCP IN/OUT: %lld/%lld/%lld/%lld \n", (long long)stats.udp_in,
                    (long long)stats.udp_out, (long long)stats.local_in, (long long)stats.local_out);
            last_traffic_line = now;
        }
        const int count_before = fd_poll.count;
        switch (fd_poll.comp[i].type) {
            case fd_server_udp: udp_receive(); break;
            case fd_listener: tcp_accept(); break;
            case fd_stream: process_case_2(); break;
            case fd_console_listener: control_accept(); break;
            case fd_console: control_command(); break;
            case fd_tunnel_device: tunnel_device_read(); break;
            default: log_msg(0, "Invalid socket type? %d\n", int(fd_poll.comp[i].type)); break;
        }
        // A console connection leaves the table at once by moving the last
        // entry into its slot. That entry has not been looked at yet in
        // this dispatch (it stood behind i), so slot i is examined again.
        if (fd_poll.count < count_before && i < fd_poll.count) continue;
        i++;
    }
}

void main_loop_pass() {
    // A stop signal takes the console's road; the loop's 10 ms poll bounds
    // how long it waits for that.
    if (const int signo = stop_signal_received()) {
        log_msg(1, "Signal %d received\n", signo);
        shutdown_sequence();
    }
    now = clock_now();
    accept_resume_due();
    share_budget();
    int ready = poll_select(fd_poll.entries, fd_poll.count, poll_timeout_ms);
    if (ready < 0) ready = poll_check(fd_poll.entries, fd_poll.count, poll_timeout_ms);
    dispatch_ready(ready);
    datagram_lines_flush();
    if (lookups_finished) streams_poll_pending();
    session_timers();
    if (pending_removals &&
        (fd_poll.count <= compaction_small_table || pending_removals > compaction_pending_max ||
         now - last_compaction > compaction_interval_s)) {
        fd_poll.count = poll_compact(fd_poll.count);
        last_compaction = now;
    }
}

void main_loop() {
    if (!fd_poll.entries || !fd_poll.comp) fatal_error(__LINE__, "error allocate memory for fd_poll");
    for (;;) main_loop_pass();
}

// ---------------------------------------------------------------- tunnel device

void tunnel_device_read() {
    static uint8_t buf[scratch_bytes];
    const int fd = fd_poll.entries[cur_index].fd;
    const int buflen = runtime.buflen > 0 && runtime.buflen <= scratch_bytes ? runtime.buflen : scratch_bytes;
    const int room = buflen - int(cmd_tunnel_header_bytes);
    if (room <= 0) return;
    for (int k = 0; k < runtime.prefetch; k++) {
        const ssize_t n = ::read(fd, buf + cmd_tunnel_header_bytes, size_t(room));
        if (n <= 0) break;
        // Too short to name a destination: nobody can route it.
        if (n < ipv4_dst_offset + 4) continue;
        if (!session_head) continue;
        uint32_t dst;
        std::memcpy(&dst, buf + cmd_tunnel_header_bytes + ipv4_dst_offset, 4);
        stx_session* found = nullptr;
        stx_session* s = session_head;
        do {
            for (size_t j = 0; j + 1 < s->networks.size() && !found; j += 2)
                if ((dst & s->networks[j + 1]) == (s->networks[j] & s->networks[j + 1])) found = s;
            s = s->next;
        } while (!found && s != session_head);
        if (!found) {
            log_msg(2, "Packet discarded on tunnel\n");
            break;
        }
        if (int64_t(runtime.buffertun) * int64_t(found->speed) <
            int64_t(found->out_deflated.len) + int64_t(found->bytes_in_flight)) {
            found->dropped_packets++;
            break;
        }
        cmd_put_tunnel_header(buf, uint16_t(n));
        session_deflate(found, buf, uint32_t(n + cmd_tunnel_header_bytes));
    }
}
