// The command stream once inflated, in two parts:
// 1. The wire core's parser (process_commands_core) with recording handlers.
//    The input is parsed once whole and once cut into pieces; both must give
//    the same commands (a command may be split anywhere across packets).
// 2. The engine's effects (process_commands) on a live session, fed in the
//    same pieces, with writes to the streams' sockets in between.
//
// Input: u8 seed, then the command bytes. Piece lengths come from a small
// generator seeded with the first byte; its top bits also choose a small
// tcpbuf (0x80, so that stop and continue come into play) and whether the
// streams' sockets are written at all (0x40 keeps buf_out filling).
//
// Opens never leave loopback. Internal services map to a loopback listener.
// Opens by address and by name are served (ttcp 1), but the harness's
// connect refuses every destination outside loopback without a syscall (the
// engine itself refuses 0.0.0.0 and 127.x), and its name lookups fail, so a
// named open ends in "Cannot resolve" unless the name is a dotted quad.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/globals.h"
#include "engine/listeners.h"
#include "engine/loop.h"
#include "engine/resolver.h"
#include "engine/session.h"
#include "engine/streams.h"
#include "protocol/commands.h"
#include "protocol/fifo.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr uint16_t tunnel_len_limit = 4076;
constexpr int write_rounds_max = 8;
constexpr int small_tcpbuf = 1500;
// Each lookup fails at once here (the harness's name lookups): the bound
// only keeps a stuck worker from hanging the target.
constexpr int resolver_wait_rounds = 100;
constexpr int resolver_wait_ms = 10;

struct event {
    char kind;
    uint32_t a = 0, b = 0;
    std::string bytes;
    bool operator==(const event& o) const { return kind == o.kind && a == o.a && b == o.b && bytes == o.bytes; }
};

struct recorder {
    std::vector<event> events;
};

void add(void* ctx, event e) { static_cast<recorder*>(ctx)->events.push_back(std::move(e)); }

void rec_open(void* ctx, const cmd_open_req& r) {
    if (r.name[r.name_len] != 0) std::abort();
    add(ctx, {'o', uint32_t(r.stream_id) << 16 | r.port_net, r.addr_net, std::string(r.name, r.name_len)});
}
void rec_internal(void* ctx, uint8_t svc, uint16_t id) {
    if (svc > 31) std::abort();
    add(ctx, {'i', svc, id, {}});
}
void rec_end(void* ctx, uint16_t id) { add(ctx, {'e', id, 0, {}}); }
void rec_stop(void* ctx, uint16_t id) { add(ctx, {'s', id, 0, {}}); }
void rec_cont(void* ctx, uint16_t id) { add(ctx, {'c', id, 0, {}}); }
void rec_shutdown(void* ctx, uint16_t id) { add(ctx, {'h', id, 0, {}}); }
void rec_data(void* ctx, uint16_t id, const uint8_t* b, uint32_t n) {
    if (n > cmd_data_max) std::abort();
    auto& ev = static_cast<recorder*>(ctx)->events;
    // The parser hands data over as it sits in the fifo's nodes: pieces of
    // one command arrive as several calls.
    if (!ev.empty() && ev.back().kind == 'd' && ev.back().a == id) {
        ev.back().bytes.append(reinterpret_cast<const char*>(b), n);
        return;
    }
    add(ctx, {'d', id, 0, std::string(reinterpret_cast<const char*>(b), n)});
}
void rec_tunnel(void* ctx, const uint8_t* pkt, uint16_t len) {
    if (len > tunnel_len_limit) std::abort();
    add(ctx, {'t', len, 0, std::string(reinterpret_cast<const char*>(pkt), len)});
}
bool rec_tunnel_len(void*, uint16_t len) { return len <= tunnel_len_limit; }

const cmd_handlers recording = {rec_open, rec_internal, rec_end,    rec_data,      rec_stop,
                                rec_cont, rec_shutdown, rec_tunnel, rec_tunnel_len};

struct pieces {
    uint32_t state;
    size_t next() {
        state = state * 1103515245u + 12345u;
        const uint32_t r = state >> 16;
        // Mostly short pieces (headers split everywhere), now and then a long one.
        return (r & 7) == 0 ? 1 + (r >> 3) % 3000 : 1 + (r >> 3) % 12;
    }
};

// Parses `cmds` fed in pieces (whole when split is false).
recorder parse(const uint8_t* cmds, size_t n, bool split, uint8_t seed, int* result) {
    recorder rec;
    cmd_parser* p = new cmd_parser();
    byte_fifo in;
    pieces gen{seed};
    size_t off = 0;
    *result = 0;
    while (off < n) {
        const size_t take = split ? std::min(gen.next(), n - off) : n - off;
        fifo_write(&in, cmds + off, uint32_t(take));
        off += take;
        *result = process_commands_core(*p, in, recording, &rec);
        if (*result < 0) break;
        // Every byte is taken: header bytes into the parser's state, body
        // bytes handed over or kept with the command.
        if (in.len != 0) std::abort();
    }
    fifo_free(&in);
    delete p;
    return rec;
}

// Lets every stream with something for its socket write it, as the loop
// would on a write event.
void write_streams(stx_session* s) {
    for (int round = 0; round < write_rounds_max; round++) {
        bool any = false;
        for (int i = 0; i < fd_poll.count && session_head == s; i++) {
            if (!(fd_poll.entries[i].events & ev_write) || fd_poll.comp[i].session != s) continue;
            if (!fd_poll.comp[i].stream) continue;
            any = true;
            cur_index = i;
            cur_session = s;
            cur_stream = fd_poll.comp[i].stream;
            fd_poll.entries[i].revents = ev_write;
            process_case_2();
            fd_poll.entries[i].revents = 0;
        }
        if (!any) break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_init_once();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t seed = data[0];
    const uint8_t* cmds = data + 1;
    const size_t n = size - 1;

    int whole_result = 0, split_result = 0;
    const recorder whole = parse(cmds, n, false, seed, &whole_result);
    const recorder split = parse(cmds, n, true, seed, &split_result);
    if (whole_result != split_result || !(whole.events == split.events)) {
        std::fprintf(stderr, "parser: whole and split parsing differ (%d/%d, %zu/%zu events)\n", whole_result,
                     split_result, whole.events.size(), split.events.size());
        std::abort();
    }

    fuzz_reset();
    runtime.ttcp = 1;
    if (seed & 0x80) runtime.tcpbuf = small_tcpbuf;
    // Opens beyond loopback are refused by the guard, never made.
    guard_set_strict(false);
    stx_session* s = fuzz_make_session();
    pieces gen{seed};
    size_t off = 0;
    while (off < n && session_head == s && !s->close_mark) {
        const size_t take = std::min(gen.next(), n - off);
        fifo_write(&s->in_cmds, cmds + off, uint32_t(take));
        off += take;
        process_commands(s);
        if (!(seed & 0x40)) write_streams(s);
        // Marked streams leave the table as the loop would remove them.
        if (pending_removals && session_head == s) fd_poll.count = poll_compact(fd_poll.count);
        fuzz_check_sessions();
    }
    // Named opens come back from the resolver's threads; let them finish
    // while the session still exists, as the loop would, woken by the
    // resolver's descriptor as the loop is.
    for (int i = 0; i < resolver_wait_rounds && streams_pending_count(); i++) {
        streams_poll_pending();
        pollfd wake{resolver_wake_fd(), POLLIN, 0};
        if (streams_pending_count() && wake.fd >= 0) poll(&wake, 1, resolver_wait_ms);
    }
    fuzz_teardown();
    return 0;
}
