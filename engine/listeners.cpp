#include "engine/listeners.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/globals.h"
#include "engine/log.h"
#include "engine/loop.h"
#include "engine/session.h"
#include "engine/streams.h"
#include "platform/net.h"
#include "protocol/commands.h"
#include "protocol/hooks.h"

namespace {

constexpr int accept_rounds_max = 65536;
constexpr uint32_t accept_overhead_in_bytes = 120;
constexpr uint32_t accept_overhead_out_bytes = 60;
constexpr uint32_t segment_bytes = 1500;
constexpr uint32_t segment_overhead_bytes = 60;
// Reading pauses while a stream's unpacked input is this close to streambuf.
constexpr int64_t streambuf_headroom_bytes = 256;
constexpr size_t handshake_read_bytes = 1024;
constexpr uint32_t mux_header_bytes = 7;
constexpr size_t socks4_hostname_max = 254;
constexpr uint8_t socks4_granted = 0x5A;
constexpr uint8_t socks5_no_auth = 0x00;
constexpr uint8_t socks5_atyp_unsupported = 0x08;

uint8_t read_buf[scratch_bytes];

struct accepted_conn {
    int fd;
    uint16_t events;
    s_stream* st;
};

uint32_t open_cmd(stx_session* s, uint16_t port_net, uint32_t addr_net, uint16_t id, const char* name,
                  uint8_t name_len) {
    uint8_t cmd[cmd_open_max_bytes];
    const size_t n = cmd_put_open(cmd, port_net, addr_net, id, name, name_len);
    return session_deflate(s, cmd, uint32_t(n));
}

uint32_t open_internal_cmd(stx_session* s, int service, uint16_t id) {
    uint8_t cmd[cmd_stream_bytes];
    const size_t n = cmd_put_open_internal(cmd, uint8_t(service & 0x1F), id);
    return session_deflate(s, cmd, uint32_t(n));
}

void send_all(int fd, const void* data, size_t n) {
    // Handshake replies are a few bytes on a fresh connection: the socket
    // buffer always has room for them.
    (void)send(fd, data, n, MSG_NOSIGNAL);
}

// Takes bytes that a MSG_PEEK read has already shown to be there.
void consume(int fd, size_t n) {
    uint8_t sink[handshake_read_bytes];
    (void)recv(fd, sink, std::min(n, sizeof sink), 0);
}

// A handshake that fails: the server never heard of the stream, so no end
// command follows; any partial header kept in the input goes too, so that
// nothing holds the entry back from removal.
void handshake_fail(s_stream* st) {
    fifo_free(&st->input);
    stream_mark(st, close_requested | close_peer_informed);
    stream_close(st);
}

// An open towards the address that the accepted connection was made to,
// unless that is the connection's own peer (a loop through ourselves).
void open_unless_self(stx_session* s, s_stream* st, uint32_t dst_addr, uint16_t dst_port, uint32_t peer_addr) {
    if (dst_addr == peer_addr) {
        log_msg(0, "ERROR! TRANSPARENT getsockopt error! name == name2 s_addr ");
        st->ended = 1;
        return;
    }
    open_cmd(s, dst_port, dst_addr, st->id, nullptr, 0);
}

void open_transparent(stx_session* s, s_stream* st, int fd) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len);
    const int p = ntohs(peer.sin_port);
    uint32_t dst_addr = 0;
    uint16_t dst_port = 0;
    if (tunnel_available && tun.GetTcpRedirDstIP) dst_addr = tun.GetTcpRedirDstIP(p);
    if (tunnel_available && tun.GetTcpRedirDstPort) dst_port = uint16_t(tun.GetTcpRedirDstPort(p));
    st->redir_port = uint16_t(p);
    const auto* a = reinterpret_cast<const uint8_t*>(&dst_addr);
    log_msg(1, "New connection to: %d.%d.%d.%d:%d\n", a[0], a[1], a[2], a[3], int(ntohs(dst_port)));
    open_unless_self(s, st, dst_addr, dst_port, peer.sin_addr.s_addr);
}

void open_tproxy(stx_session* s, s_stream* st, int fd) {
    sockaddr_in local{};
    sockaddr_in peer{};
    socklen_t len = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len);
    len = sizeof peer;
    getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len);
    open_unless_self(s, st, local.sin_addr.s_addr, local.sin_port, peer.sin_addr.s_addr);
}

void announce(stx_session* s, s_stream* st, int fd, const local_entry* le) {
    switch (le ? le->mode : -1) {
    case mode_service_int: open_internal_cmd(s, le->service_number, st->id); break;
    case mode_service_ext: open_cmd(s, le->ext_port, le->ext_addr, st->id, nullptr, 0); break;
    case mode_transparent: open_transparent(s, st, fd); break;
    case mode_tproxy: open_tproxy(s, st, fd); break;
    case mode_mux: st->handshake = hs_mux; break;
    case mode_socks4: st->handshake = hs_socks4_listener; break;
    case mode_socks5: st->handshake = hs_socks5_listener; break;
    // An HTTP listener is the service's own HTTP proxy: internal service 0.
    case mode_http: open_internal_cmd(s, 0, st->id); break;
    default: break;
    }
}

void account_local_in(stx_session* s, uint32_t n) {
    const uint32_t overhead = segment_overhead_bytes * (n / segment_bytes + 1);
    stats.local_in += n + overhead;
    stats.local_out += overhead;
    s->local_in += n + overhead;
    s->local_out += overhead;
}

// ---------------------------------------------------------------- handshakes

// Mux: 7 header bytes, collected across reads in the stream's input (the
// stream is not packed before its open command). Only the header is read
// here, so the application's first data stay in the socket.
void mux_step(stx_session* s, s_stream* st, int fd) {
    uint8_t part[mux_header_bytes];
    const uint32_t have = std::min(st->input.len, mux_header_bytes);
    const ssize_t n = recv(fd, part, mux_header_bytes - have, 0);
    if (n < 0 && sock_would_block(sock_last_error())) return;
    if (n <= 0) {
        log_msg(0, "MUX ERROR! %d\n", n < 0 ? sock_last_error() : 0);
        handshake_fail(st);
        return;
    }
    fifo_write(&st->input, part, uint32_t(n));
    if (st->input.len < mux_header_bytes) return;
    uint8_t hdr[mux_header_bytes];
    fifo_read(&st->input, hdr, mux_header_bytes);
    uint32_t addr;
    uint16_t port;
    std::memcpy(&addr, hdr, 4);
    std::memcpy(&port, hdr + 4, 2);
    open_cmd(s, port, addr, st->id, nullptr, 0);
    st->handshake = hs_none;
}

void socks5_greeting(int fd, s_stream* st, const uint8_t* b, size_t n) {
    const size_t len = n >= 2 ? std::min(n, size_t(2) + b[1]) : n;
    consume(fd, len);
    const uint8_t reply[2] = {5, socks5_no_auth};
    send_all(fd, reply, sizeof reply);
    st->handshake = hs_socks5_request;
}

void too_short(s_stream* st, size_t n) {
    log_msg(0, "Socks packet too short: %d\n", int(n));
    handshake_fail(st);
}

void socks4_request(stx_session* s, s_stream* st, int fd, const uint8_t* b, size_t n) {
    if (n < 9) return too_short(st, n);
    if (b[1] != 1) {
        log_msg(0, "Invalid socks command: %d\n", b[1]);
        return handshake_fail(st);
    }
    const auto* user = reinterpret_cast<const char*>(b + 8);
    const auto* user_end = static_cast<const char*>(std::memchr(user, 0, n - 8));
    if (!user_end) return too_short(st, n);
    if (user_end != user) log_msg(1, "Socks username: %s\n", user);
    size_t len = size_t(user_end - user) + 9;

    char host[socks4_hostname_max + 1] = {0};
    uint8_t host_len = 0;
    const bool socks4a = b[4] == 0 && b[5] == 0 && b[6] == 0 && b[7] != 0;
    if (socks4a) {
        const auto* name = reinterpret_cast<const char*>(b + len);
        const auto* name_end = static_cast<const char*>(std::memchr(name, 0, n - len));
        if (!name_end) return too_short(st, n);
        const size_t name_len = size_t(name_end - name);
        len += name_len + 1;
        host_len = uint8_t(std::min(name_len, socks4_hostname_max));
        std::memcpy(host, name, host_len);
        log_msg(1, "Socks4a detected, hostname: %s\n", host);
    }
    uint16_t port;
    uint32_t addr;
    std::memcpy(&port, b + 2, 2);
    std::memcpy(&addr, b + 4, 4);
    log_msg(1, "Received dst %d.%d.%d.%d:%d \n", b[4], b[5], b[6], b[7], int(ntohs(port)));
    uint8_t reply[8] = {0, socks4_granted};
    std::memcpy(reply + 2, b + 2, 6);
    consume(fd, len);
    send_all(fd, reply, sizeof reply);
    open_cmd(s, port, addr, st->id, host_len ? host : nullptr, host_len);
    st->handshake = hs_none;
}

void socks5_request(stx_session* s, s_stream* st, int fd, const uint8_t* b, size_t n) {
    if (n < 8) return too_short(st, n);
    if (b[0] != 5) {
        log_msg(0, "Invalid socks version: %d\n", b[0]);
        return handshake_fail(st);
    }
    if (b[1] != 1) {
        log_msg(0, "Invalid socks command: %d\n", b[1]);
        return handshake_fail(st);
    }
    if (b[2] != 0) {
        log_msg(0, "Invalid socks reserved: %d\n", b[2]);
        return handshake_fail(st);
    }
    uint32_t addr;
    uint16_t port;
    char name[cmd_name_max + 1] = {0};
    uint8_t name_len = 0;
    size_t len;
    if (b[3] == 1) {
        log_msg(0, "Socks5: IPv4 address\n");
        if (n < 10) return too_short(st, n);
        std::memcpy(&addr, b + 4, 4);
        std::memcpy(&port, b + 8, 2);
        len = 10;
    } else if (b[3] == 3) {
        log_msg(0, "Socks5: Domain name\n");
        name_len = b[4];
        if (name_len == 0 || n < size_t(name_len) + 7) {
            log_msg(0, "Too short packet\n");
            return handshake_fail(st);
        }
        std::memcpy(name, b + 5, name_len);
        log_msg(1, "Received name %s\n", name);
        std::memcpy(&addr, cmd_name_placeholder_addr, 4);
        std::memcpy(&port, b + 5 + name_len, 2);
        len = size_t(name_len) + 7;
    } else {
        log_msg(0, "Invalid socks address type: %d\n", b[3]);
        const uint8_t reply[10] = {5, socks5_atyp_unsupported, 0, 1};
        send_all(fd, reply, sizeof reply);
        return handshake_fail(st);
    }
    uint8_t reply[handshake_read_bytes];
    std::memcpy(reply, b, len);
    reply[0] = 5;
    reply[1] = 0;
    reply[2] = 0;
    consume(fd, len);
    send_all(fd, reply, len);
    open_cmd(s, port, addr, st->id, name_len ? name : nullptr, name_len);
    st->handshake = hs_none;
}

// SOCKS reads peek: only the bytes of the message are taken, so whatever the
// client sent behind it (a pipelined request, its first data) is read later
// as it would have been without the handshake.
void socks_step(stx_session* s, s_stream* st, int fd) {
    uint8_t b[handshake_read_bytes];
    const ssize_t got = recv(fd, b, sizeof b, MSG_PEEK);
    if (got < 0 && sock_would_block(sock_last_error())) return;
    if (got <= 0) {
        log_msg(0, "MUX ERROR! %d\n", got < 0 ? sock_last_error() : 0);
        return handshake_fail(st);
    }
    const size_t n = size_t(got);
    switch (st->handshake) {
    case hs_socks4_listener:
        if (b[0] == 4) return socks4_request(s, st, fd, b, n);
        if (b[0] == 5) return socks5_greeting(fd, st, b, n);
        break;
    case hs_socks5_listener:
        if (n < 2) return too_short(st, n);
        if (b[0] == 5) return socks5_greeting(fd, st, b, n);
        if (b[0] == 4) return socks4_request(s, st, fd, b, n);
        break;
    default:
        return socks5_request(s, st, fd, b, n);
    }
    log_msg(0, "Invalid socks version: %d\n", b[0]);
    handshake_fail(st);
}

// ---------------------------------------------------------------- stream events

// Returns true when the write part of the event may run as well.
bool read_event(stx_session* s, s_stream* st, int index) {
    poll_entry& e = fd_poll.entries[index];
    if (fd_poll.comp[index].close_flags || st->stopped_by_peer) {
        e.events &= uint16_t(~ev_read);
        return false;
    }
    const int64_t have = st->input.len;
    if (have + streambuf_headroom_bytes >= s->streambuf) return true;
    int64_t size = s->streambuf - have;
    size = std::max<int64_t>(size, runtime.mintcpread);
    size = std::min<int64_t>(size, scratch_bytes);

    switch (st->handshake) {
    case hs_none: break;
    case hs_mux: mux_step(s, st, e.fd); return false;
    default: socks_step(s, st, e.fd); return false;
    }

    e.revents &= uint16_t(~ev_read);
    const ssize_t n = recv(e.fd, read_buf, size_t(size), 0);
    st->last_io = now;
    if (n < 0) {
        if (!sock_would_block(sock_last_error())) stream_close(st);
        return false;
    }
    if (n == 0) {
        st->local_end = 1;
        e.events &= uint16_t(~ev_read);
        if (st->remote_end) {
            // Both directions are finished; what the peer sent before its
            // shutdown still goes out to the application before removal.
            stream_mark(st, close_requested);
            st->ended = 1;
            e.events = st->buf_out.len ? ev_write : 0;
        }
    } else {
        const uint32_t got = uint32_t(n);
        st->bytes_read += got;
        account_local_in(s, got);
        fifo_write(&st->input, read_buf, got);
        s->queued_input += got;
    }
    if (!st->in_ready) ready_list_add(s, st);
    if (int64_t(st->input.len) + streambuf_headroom_bytes >= s->streambuf) {
        s->streambuf_delay_count++;
        e.events &= uint16_t(~ev_read);
    }
    return true;
}

void write_event(s_stream* st, int index) {
    poll_entry& e = fd_poll.entries[index];
    if (st->buf_out.len) return tcp_write();
    // The peer's shutdown met an empty buf_out: pass the end on now.
    if (st->remote_end && !fd_poll.comp[index].close_flags && st->conn_state != conn_connecting_by_name)
        shutdown(e.fd, SHUT_WR);
    e.events &= uint16_t(~ev_write);
}

void error_event(stx_session* s, s_stream* st, int index) {
    poll_entry& e = fd_poll.entries[index];
    if (e.fd != spare_socket) {
        // The socket is closed here, not by the removal: release its
        // redirect mapping here too.
        if (tunnel_available && st->redir_port && tun.SetTcpRedirPortFordel) tun.SetTcpRedirPortFordel(st->redir_port);
        st->redir_port = 0;
        sock_close(e.fd);
        e.fd = spare_socket;
    }
    e.events = 0;
    stream_mark(st, st->handshake == hs_none ? close_requested : close_requested | close_peer_informed);
    st->ended = 1;
    ready_list_remove(s, st);
    // A stream still in its handshake holds a partial header in its input
    // that was never counted as queued.
    if (st->handshake == hs_none) {
        QUORIN_CHECK(s->queued_input >= st->input.len);
        s->queued_input -= std::min(s->queued_input, st->input.len);
    }
    fifo_free(&st->input);
}

}  // namespace

void tcp_accept() {
    const int li = cur_index;
    if (li < 0 || li >= fd_poll.count) return;
    if (find_session() == -1) return;
    stx_session* s = fd_poll.comp[li].session ? fd_poll.comp[li].session : cur_session;
    if (!s) return;
    const int local = fd_poll.comp[li].local_delayed & local_index_mask;
    const local_entry* le = (local_table && local < local_count) ? &local_table[local] : nullptr;
    if (le && le->mode == mode_tunnel) {
        tunnel_read_slots();
        return;
    }
    const int listen_fd = fd_poll.entries[li].fd;
    std::vector<accepted_conn> batch;
    for (int round = 0; round < accept_rounds_max; round++) {
        const int fd = accept(listen_fd, nullptr, nullptr);
        if (fd < 0) {
            const int err = sock_last_error();
            if (sock_out_of_descriptors(err)) {
                accept_pause();
                break;
            }
            if (!sock_would_block(err)) log_msg(1, "accept() error=%d. Connection refused, continue work...\n", err);
            break;
        }
        if (descriptor_in_reserve(fd)) {
            // Taken off the backlog and cut at once: the client learns it
            // was refused instead of waiting, and the listener does not
            // stay readable.
            sock_abort_on_close(fd);
            sock_close(fd);
            descriptors_short();
            continue;
        }
        set_nonblocking(fd);
        stats.local_in += accept_overhead_in_bytes;
        stats.local_out += accept_overhead_out_bytes;
        s->local_in += accept_overhead_in_bytes;
        s->local_out += accept_overhead_out_bytes;
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (s->sockbuf) {
            setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &s->sockbuf, sizeof s->sockbuf);
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &s->sockbuf, sizeof s->sockbuf);
        }

        uint16_t id = s->next_stream_id;
        bool free_id = false;
        for (int tried = 0; tried < stream_table_size; tried++, id++) {
            if (!s->streams[id]) {
                free_id = true;
                break;
            }
        }
        if (!free_id) {
            log_msg(1, "Stream conflict close socket %d!\n", fd);
            sock_close(fd);
            break;
        }
        s->next_stream_id = uint16_t(id + 1);

        s_stream* st = stream_new(s, id);
        if (!st) fatal_error(__LINE__, "error allocated memory for s_stream");
        st->fd_index = fd_poll.count + int(batch.size());
        st->conn_state = conn_established;
        st->handshake = hs_none;
        st->last_io = now;
        announce(s, st, fd, le);
        const uint16_t events = (s->delayed || st->ended) ? 0 : ev_read;
        batch.push_back(accepted_conn{fd, events, st});
    }
    if (batch.empty()) return;
    fd_reserve(int(batch.size()));
    for (const accepted_conn& c : batch) {
        const int index = fd_append(c.fd, c.events, fd_stream, s, c.st, local);
        // A connection to ourselves: nothing was opened, so nothing is ended.
        if (c.st->ended) fd_mark_removal(index, close_requested | close_peer_informed);
    }
}

void tunnel_read_slots() {
    stx_session* s = cur_session;
    const int i = cur_index;
    if (!s || i < 0 || i >= fd_poll.count) return;
    if (int64_t(runtime.buffertun) * int64_t(s->speed) < int64_t(s->out_deflated.len) + int64_t(s->bytes_in_flight)) {
        s->delay_count++;
        return;
    }
    if (!tun.recvbuf) return;
    const int fd = fd_poll.entries[i].fd;
    uint8_t cmd[3 + tun_slot_data_bytes];
    for (int k = 0; k < runtime.prefetch; k++) {
        uint8_t slot_index;
        const ssize_t got = recv(fd, &slot_index, 1, 0);
        if (got == 0 || (got < 0 && !sock_would_block(sock_last_error()))) {
            // The library's side is gone: the descriptor stays (it is never
            // closed here), but it must not wake every pass with its end.
            fd_poll.entries[i].events &= uint16_t(~ev_read);
            log_msg(1, "Tunnel control connection closed\n");
            break;
        }
        if (got != 1) break;
        PacketSlot& slot = tun.recvbuf[slot_index];
        const uint16_t len = tun_slot_length(slot);
        // A slot never holds more than 1500 bytes; a larger length is torn.
        if (len == 0 || len > tun_slot_data_bytes) break;
        stats.local_in += len;
        s->local_in += len;
        cmd_put_tunnel_header(cmd, len);
        std::memcpy(cmd + 3, slot.data, len);
        // Copied out: the library may fill the slot again.
        tun_slot_free(slot);
        session_deflate(s, cmd, uint32_t(len) + 3);
    }
}

void process_case_2() {
    stx_session* s = cur_session;
    s_stream* st = cur_stream;
    const int i = cur_index;
    if (!s || !st || i < 0 || i >= fd_poll.count) return;
    const uint16_t rev = fd_poll.entries[i].revents;
    if (rev & ev_read) {
        if (!read_event(s, st, i)) return;
    }
    if (rev & ev_write) {
        write_event(st, i);
        return;
    }
    if (!(rev & (ev_read | ev_write))) error_event(s, st, i);
}
