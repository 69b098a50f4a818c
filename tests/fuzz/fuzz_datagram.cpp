// The receive path of a live session: datagrams from the "server" go through
// the real UDP socket into udp_receive, and the session timers deliver,
// parse and answer them.
//
// Input: records of
//   u8 control, u16 length (little-endian, low 11 bits), length bytes
// control bits:
//   0x01  write the live session's id over bytes 0-3 (the fuzzer cannot
//         guess it)
//   0x02  the bytes behind the header and its resend requests are plain
//         commands: deflate them (sync flush) with the harness's own stream,
//         as the server would
//   0x04  run one pass of the engine loop after the datagram (poll without
//         waiting, dispatch, session timers, compaction)
//   0x08  advance the clock by ((control >> 4)^2 * 100) ms first
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include <zlib.h>

#include "engine/globals.h"
#include "engine/loop.h"
#include "engine/session.h"
#include "engine/timers.h"
#include "protocol/fifo.h"
#include "protocol/wire.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr int records_max = 64;
constexpr uint16_t length_mask = 0x7FF;

z_stream server_deflater;
bool deflater_ready = false;

// The server's side of the command stream: one deflate stream per session.
std::vector<uint8_t> deflate_commands(const uint8_t* cmds, size_t n) {
    std::vector<uint8_t> out(n + n / 8 + 64);
    server_deflater.next_in = const_cast<Bytef*>(cmds);
    server_deflater.avail_in = uInt(n);
    server_deflater.next_out = out.data();
    server_deflater.avail_out = uInt(out.size());
    deflate(&server_deflater, Z_SYNC_FLUSH);
    out.resize(out.size() - server_deflater.avail_out);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_init_once();
    guard_set_strict(true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_reset();
    stx_session* s = fuzz_make_session();
    const uint32_t sid = s->session_id;
    if (!deflater_ready) {
        zstream_deflate_init(&server_deflater, 6);
        deflater_ready = true;
    } else {
        deflateReset(&server_deflater);
    }

    fuzz_reader in{data, size};
    std::vector<uint8_t> dgram;
    for (int rec = 0; rec < records_max; rec++) {
        uint8_t ctl;
        uint16_t len;
        if (!in.take_u8(&ctl) || !in.take_u16(&len)) break;
        const uint8_t* body;
        const size_t n = in.take(&body, len & length_mask);
        dgram.assign(body, body + n);

        if (ctl & 0x01 && dgram.size() >= 4) std::memcpy(dgram.data(), &sid, 4);
        if (ctl & 0x02 && dgram.size() >= size_t(header_bytes)) {
            const size_t reqs_end = size_t(header_bytes) + resend_req_bytes * (dgram[16] & flags_reqs_mask);
            if (dgram.size() >= reqs_end) {
                const std::vector<uint8_t> z = deflate_commands(dgram.data() + reqs_end, dgram.size() - reqs_end);
                dgram.resize(reqs_end);
                dgram.insert(dgram.end(), z.begin(), z.end());
            }
        }
        if (ctl & 0x08) {
            const uint32_t steps = ctl >> 4;
            fuzz_clock_advance_ms(steps * steps * 100);
        }
        fuzz_deliver_datagram(dgram.data(), dgram.size());
        if (ctl & 0x04) fuzz_loop_pass();
        fuzz_check_sessions();
        // What the engine sent back must not pile up in the sink.
        fuzz_drain(env.sink);
    }
    fuzz_loop_pass();
    fuzz_check_sessions();
    fuzz_teardown();
    return 0;
}
