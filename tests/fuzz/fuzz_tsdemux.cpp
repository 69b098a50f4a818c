// The transport-stream splitter on arbitrary buffers. Input: one byte of
// flags (bit 0 whole-buffer mode, bit 1 whole-stream filter, bit 2 a filter
// of an unknown calling convention on PID 0x101), one byte k (0..7), k
// big-endian 16-bit buffer lengths used in turn, then the stream, cut into
// buffers of those lengths (a 0 is an empty buffer).
// Every delivery must be a whole packet that starts with the sync byte and
// reaches the filter of its own PID; a kept partial packet must start with
// the sync byte and be shorter than a packet.
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "tuner/kestrix_api.h"
#include "tuner/tsdemux.h"

namespace {

std::unique_ptr<ts_demux> demux;
bool whole_buffers = false;
size_t delivered_bytes = 0;

void quiet(const char*, ...) {}

void check_packet(const uint8_t* p, uint32_t n, int pid) {
    delivered_bytes += n;
    if (whole_buffers) return;
    if (n != ts_packet_bytes || p[0] != ts_sync_byte) std::abort();
    if (pid >= 0 && (((p[1] << 8) | p[2]) & ts_pid_mask) != pid) std::abort();
}

void on_all(const uint8_t* p, uint32_t n) { check_packet(p, n, -1); }
void on_0(const uint8_t* p, uint32_t n) { check_packet(p, n, 0); }
void on_100(const uint8_t* p, uint32_t n) { check_packet(p, n, 0x100); }
void on_1fff(const uint8_t* p, uint32_t n) { check_packet(p, n, 0x1FFF); }

void set(uint16_t pid, void (*cb)(const uint8_t*, uint32_t), uint32_t type = kestrix_cdecl) {
    uint32_t n = 0;
    demux_set_filter(*demux, pid, reinterpret_cast<void*>(cb), type, 0, &n, quiet);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return -1;
    demux.reset(new ts_demux());
    const uint8_t flags = data[0];
    const size_t k = data[1] % 8;
    if (size < 2 + 2 * k) return -1;
    std::vector<size_t> lengths;
    for (size_t i = 0; i < k; ++i) lengths.push_back(size_t(data[2 + 2 * i] << 8 | data[3 + 2 * i]));
    if (lengths.empty()) lengths.push_back(size);
    whole_buffers = flags & 1;
    demux->no_pid_filter = whole_buffers;
    if (flags & 2) set(ts_fullts_slot, on_all);
    if (flags & 4) set(0x101, on_all, 3);
    set(0, on_0);
    set(0x100, on_100);
    set(0x1FFF, on_1fff);
    delivered_bytes = 0;
    size_t off = 2 + 2 * k, turn = 0, fed = 0;
    while (off < size) {
        const size_t n = std::min(lengths[turn++ % lengths.size()], size - off);
        demux_capture(*demux, data + off, uint32_t(n), quiet);
        const ts_carry& c = demux->carry;
        if (c.count >= ts_packet_bytes || (c.count > 0 && c.bytes[0] != ts_sync_byte)) std::abort();
        off += n;
        fed += n;
        if (turn > 100000) break;  // a stream of empty buffers
    }
    // Each byte reaches at most the whole-stream filter and its PID's filter.
    if (delivered_bytes > 2 * fed) std::abort();
    return 0;
}
