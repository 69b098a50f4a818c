// The proxy handshakes of process_case_2 (mux, SOCKS 4/4a on a socks4
// listener, SOCKS 5 on a socks5 listener) and the reads behind them. A
// socketpair stands in for the accepted connection; the input is what the
// application sends, in pieces, with the events the loop would report.
//
// Input: u8 mode choice, then records of
//   u8 control, u8 length, length bytes
// control bits: 0x01 read event, 0x02 write event, 0x04 the application
// closes its sending side after this piece, 0x08 no bytes are sent (an
// event with nothing behind it).
// At the end the session's outgoing command stream is inflated and parsed:
// whatever the handshakes announced must be well-formed commands.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <zlib.h>

#include "engine/globals.h"
#include "engine/listeners.h"
#include "engine/loop.h"
#include "engine/session.h"
#include "engine/streams.h"
#include "platform/net.h"
#include "protocol/commands.h"
#include "protocol/fifo.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr int records_max = 48;
constexpr int steps_per_piece = 4;

struct listener_choice {
    int mode;
    uint16_t handshake;
};
const listener_choice choices[] = {
    {mode_socks4, hs_socks4_listener},
    {mode_socks5, hs_socks5_listener},
    {mode_mux, hs_mux},
    {mode_socks5, hs_socks5_request},  // a greeting already answered
};

uint32_t opens = 0;
void on_open(void*, const cmd_open_req& r) {
    if (r.name[r.name_len] != 0) std::abort();
    opens++;
}

// The engine's output must be a valid command stream.
void check_output(stx_session* s) {
    session_flush(s);
    z_stream zs;
    zstream_inflate_init(&zs);
    byte_fifo plain;
    cmd_parser* parser = new cmd_parser();
    const cmd_handlers h = {on_open, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    uint8_t buf[4096];
    while (s->out_deflated.len) {
        const uint32_t n = fifo_read(&s->out_deflated, buf, sizeof buf);
        const int r = payload_inflate(&zs, buf, n, &plain, 4076, n * 1032 + 4076);
        if (r != Z_OK) {
            std::fprintf(stderr, "handshake: engine output does not inflate (%d)\n", r);
            std::abort();
        }
        if (process_commands_core(*parser, plain, h, nullptr) != 0) {
            std::fprintf(stderr, "handshake: engine output does not parse\n");
            std::abort();
        }
    }
    // A command cut off at the end would mean a torn record.
    if (parser->have || plain.len) {
        std::fprintf(stderr, "handshake: engine output ends inside a command\n");
        std::abort();
    }
    fifo_free(&plain);
    delete parser;
    inflateEnd(&zs);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_init_once();
    guard_set_strict(true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const listener_choice& choice = choices[data[0] % (sizeof choices / sizeof choices[0])];
    fuzz_reader in{data + 1, size - 1};

    fuzz_reset(1, choice.mode);
    stx_session* s = fuzz_make_session();
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) std::abort();
    set_nonblocking(pair[0]);
    set_nonblocking(pair[1]);

    // As tcp_accept makes a stream for an accepted connection.
    s_stream* st = stream_new(s, s->next_stream_id++);
    st->conn_state = conn_established;
    st->handshake = choice.handshake;
    st->last_io = now;
    const int index = fd_append(pair[0], ev_read, fd_stream, s, st, 0);

    bool closed = false;
    for (int rec = 0; rec < records_max; rec++) {
        uint8_t ctl, len;
        if (!in.take_u8(&ctl) || !in.take_u8(&len)) break;
        const uint8_t* piece;
        const size_t n = in.take(&piece, len);
        if (!closed && !(ctl & 0x08) && n) (void)send(pair[1], piece, n, MSG_NOSIGNAL);
        if (!closed && ctl & 0x04) {
            shutdown(pair[1], SHUT_WR);
            closed = true;
        }
        uint16_t rev = 0;
        if (ctl & 0x01) rev |= ev_read;
        if (ctl & 0x02) rev |= ev_write;
        for (int step = 0; step < steps_per_piece; step++) {
            if (index >= fd_poll.count || fd_poll.comp[index].stream != st) break;
            if (fd_poll.comp[index].close_flags) break;
            cur_index = index;
            cur_session = s;
            cur_stream = st;
            fd_poll.entries[index].revents = rev;
            process_case_2();
            fd_poll.entries[index].revents = 0;
            // A socks step reads one message; another may wait behind it.
            if (!(rev & ev_read) || st->handshake == hs_none) break;
        }
        fuzz_drain(pair[1]);
        fuzz_check_sessions();
        if (fd_poll.comp[index].close_flags) break;
    }
    // What the handshake read as data goes out in data commands.
    if (session_head == s && s->ready_head) pack_streams(s, 1 << 20);
    check_output(s);
    close(pair[1]);
    fuzz_teardown();
    return 0;
}
