// control_command on arbitrary blocks. A socketpair stands in for the
// console connection; two sessions (one per [local] entry, both on the
// loopback sink) give `show`, `set` and `reset` something to act on.
//
// Input: u8 receive-buffer choice, then records of u8 length and that many
// bytes. Each record is cut into blocks of at most the receive buffer, so
// that one block is exactly what one recv of control_command reads.
//
// `shutdown` ends the process by design (with no user interface bound it
// calls exit, with one it ends the calling thread): a block whose first word
// the console would read as "shutdown" is not sent. Everything else is;
// `set server` resolves only dotted quads here (the harness's name lookups
// always fail), and sessions keep sending to their own loopback address.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/console.h"
#include "engine/globals.h"
#include "engine/loop.h"
#include "engine/session.h"
#include "platform/net.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr int records_max = 32;
// The default, a block shorter than a command, and a few in between.
constexpr int rcvbuf_choices[] = {4076, 1, 2, 3, 8, 64, 255, 4075};

// The first word as control_command will see it.
bool is_shutdown(const uint8_t* b, size_t n) {
    std::string text(reinterpret_cast<const char*>(b), n);
    for (char& c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u > 0x7E) c = ' ';
    }
    const size_t start = text.find_first_not_of(' ');
    if (start == std::string::npos) return false;
    const size_t end = text.find(' ', start);
    return text.compare(start, end == std::string::npos ? std::string::npos : end - start, "shutdown") == 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_init_once();
    guard_set_strict(true);
    return 0;
}

// Whether any block of the input would order a shutdown.
bool orders_shutdown(fuzz_reader in, size_t rcvbuf) {
    for (int rec = 0; rec < records_max; rec++) {
        uint8_t len;
        if (!in.take_u8(&len)) break;
        const uint8_t* piece;
        size_t n = in.take(&piece, len);
        while (n) {
            const size_t block = std::min(n, rcvbuf);
            if (is_shutdown(piece, block)) return true;
            piece += block;
            n -= block;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const int rcvbuf = rcvbuf_choices[data[0] % (sizeof rcvbuf_choices / sizeof rcvbuf_choices[0])];
    if (orders_shutdown(fuzz_reader{data + 1, size - 1}, size_t(rcvbuf))) return -1;
    fuzz_reset(2);
    runtime.rcvbuf = rcvbuf;
    fuzz_make_session(0);
    // A second server, so that the two [local] entries get a session each.
    remote_table[1] = remote_table[0];
    std::snprintf(remote_table[1].name, sizeof remote_table[1].name, "second");
    remote_count = 2;
    local_table[1].remotes = {1};
    fuzz_make_session(1);

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) std::abort();
    set_nonblocking(pair[0]);
    set_nonblocking(pair[1]);
    fd_append(pair[0], ev_read, fd_console, nullptr, nullptr, 0);
    const int console_fd = pair[0];

    auto console_index = [console_fd]() {
        for (int i = 0; i < fd_poll.count; i++)
            if (fd_poll.entries[i].fd == console_fd && fd_poll.comp[i].type == fd_console) return i;
        return -1;
    };

    fuzz_reader in{data + 1, size - 1};
    bool open = true;
    for (int rec = 0; rec < records_max && open; rec++) {
        uint8_t len;
        if (!in.take_u8(&len)) break;
        const uint8_t* piece;
        size_t n = in.take(&piece, len);
        // An empty record: the peer's end of stream.
        if (n == 0) shutdown(pair[1], SHUT_WR);
        do {
            const size_t block = std::min(n, size_t(rcvbuf));
            if (block) (void)send(pair[1], piece, block, MSG_NOSIGNAL);
            piece += block;
            n -= block;
            const int index = console_index();
            if (index < 0) {
                open = false;
                break;
            }
            cur_index = index;
            cur_session = nullptr;
            cur_stream = nullptr;
            control_command();
            fuzz_drain(pair[1]);
            fuzz_drain(env.sink);
            if (console_index() < 0) open = false;
        } while (n && open);
    }
    close(pair[1]);
    fuzz_teardown();
    return 0;
}
