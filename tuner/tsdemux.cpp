#include "tuner/tsdemux.h"

#include <cstring>
#include <thread>

#include "tuner/kestrix_api.h"

namespace {

// Depth of deliveries running on this thread: a removal made from inside a
// callback must not wait for the delivery that called it.
thread_local int delivery_depth = 0;

struct guard_scope {
    delivery_guard& g;
    explicit guard_scope(delivery_guard& guard) : g(guard) {
        g.entered.fetch_add(1, std::memory_order_seq_cst);
        ++delivery_depth;
    }
    ~guard_scope() {
        --delivery_depth;
        g.left.fetch_add(1, std::memory_order_release);
    }
    guard_scope(const guard_scope&) = delete;
    guard_scope& operator=(const guard_scope&) = delete;
};

// Called after a callback pointer was cleared (seq_cst): a delivery that
// read the old pointer entered before that, so it is among the first
// `entered` ones, and deliveries of one guard run one after the other.
void wait_quiet(delivery_guard& g) {
    if (delivery_depth > 0) return;
    const uint64_t entered = g.entered.load(std::memory_order_seq_cst);
    while (g.left.load(std::memory_order_acquire) < entered) std::this_thread::yield();
}

using fastcall_fn = void KESTRIX_FASTCALL(const uint8_t*, uint32_t);
using stdcall_fn = void KESTRIX_STDCALL(const uint8_t*, uint32_t);
using cdecl_fn = void KESTRIX_CDECL(const uint8_t*, uint32_t);

void deliver(const FilterEntry& f, const uint8_t* data, uint32_t length, ts_log_fn log) {
    void* cb = f.callback.load(std::memory_order_seq_cst);
    if (!cb) return;
    switch (f.type.load(std::memory_order_relaxed)) {
    case kestrix_fastcall:
        reinterpret_cast<fastcall_fn*>(cb)(data, length);
        break;
    case kestrix_stdcall:
        reinterpret_cast<stdcall_fn*>(cb)(data, length);
        break;
    case kestrix_cdecl:
        reinterpret_cast<cdecl_fn*>(cb)(data, length);
        break;
    default:
        log("Unknown CalllBack type !");
        break;
    }
}

void deliver_packet(ts_demux& d, const uint8_t* p, ts_log_fn log) {
    deliver(d.filters[ts_fullts_slot], p, ts_packet_bytes, log);
    deliver(d.filters[((p[1] << 8) | p[2]) & ts_pid_mask], p, ts_packet_bytes, log);
}

}  // namespace

void ts_split(ts_demux& d, const uint8_t* data, uint32_t length, ts_log_fn log) {
    if (!data || length == 0) return;
    if (d.no_pid_filter) {
        deliver(d.filters[ts_fullts_slot], data, length, log);
        return;
    }
    ts_carry& c = d.carry;
    if (c.count > 0) {
        const uint32_t missing = ts_packet_bytes - c.count;
        if (length < missing) {
            log("Sample not contain enought data !");
            c.count = 0;
        } else {
            std::memcpy(c.bytes + c.count, data, missing);
            c.count = 0;
            deliver_packet(d, c.bytes, log);
            data += missing;
            length -= missing;
        }
    }
    while (length > 0) {
        auto* sync = static_cast<const uint8_t*>(std::memchr(data, ts_sync_byte, length));
        if (!sync) {
            if (length > ts_packet_bytes) log("%d bytes without packets !", int(length));
            return;
        }
        length -= uint32_t(sync - data);
        data = sync;
        if (length < ts_packet_bytes) {
            std::memcpy(c.bytes, data, length);
            c.count = length;
            return;
        }
        deliver_packet(d, data, log);
        data += ts_packet_bytes;
        length -= ts_packet_bytes;
    }
}

void demux_capture(ts_demux& d, const uint8_t* data, uint32_t length, ts_log_fn log) {
    guard_scope in(d.capture_guard);
    if (d.new_stream.exchange(false, std::memory_order_acquire)) d.carry.count = 0;
    ts_split(d, data, length, log);
}

void demux_remote_key(ts_demux& d, uint32_t key) {
    guard_scope in(d.remote_guard);
    void* cb = d.remote.callback.load(std::memory_order_seq_cst);
    if (cb) reinterpret_cast<kestrix_remote_fn*>(cb)(&key, sizeof key);
}

int demux_set_filter(ts_demux& d, uint16_t pid, void* callback, uint32_t type, uint32_t size,
                     uint32_t* filter_number, ts_log_fn log) {
    if (pid > ts_fullts_slot) {
        log("PID > %u !", ts_fullts_slot);
        return 0;
    }
    FilterEntry& f = d.filters[pid];
    if (f.callback.load(std::memory_order_relaxed)) {
        // A slot in use is never overwritten. The whole-stream filter and
        // single-PID filters live side by side.
        if (pid == ts_fullts_slot)
            log("FullTS filter exists !");
        else
            log("Filter for PID %u exists !", unsigned(pid));
        return 0;
    }
    f.type.store(type, std::memory_order_relaxed);
    f.size = size;
    f.number = d.counter;
    f.callback.store(callback, std::memory_order_seq_cst);
    *filter_number = d.counter;
    log("filter_num=%u", d.counter);
    ++d.counter;
    return 1;
}

int demux_del_filter(ts_demux& d, uint32_t filter_number, ts_log_fn log) {
    for (FilterEntry& f : d.filters) {
        if (f.number == filter_number && f.callback.load(std::memory_order_relaxed)) {
            f.callback.store(nullptr, std::memory_order_seq_cst);
            wait_quiet(d.capture_guard);
            return 1;
        }
    }
    if (d.remote.callback.load(std::memory_order_relaxed) && d.remote.number == filter_number) {
        d.remote.callback.store(nullptr, std::memory_order_seq_cst);
        wait_quiet(d.remote_guard);
        return 1;
    }
    log("Filter with ID %u not exists !", filter_number);
    return 0;
}

int demux_set_remote(ts_demux& d, void* callback, uint32_t* filter_number, ts_log_fn log) {
    if (d.remote.callback.load(std::memory_order_relaxed)) {
        log("Filter for RC_RAW exists !");
        return 0;
    }
    d.remote.number = d.counter;
    d.remote.callback.store(callback, std::memory_order_seq_cst);
    *filter_number = d.counter;
    log("filter_num=%u", d.counter);
    ++d.counter;
    return 1;
}

void demux_new_stream(ts_demux& d) { d.new_stream.store(true, std::memory_order_release); }

void demux_clear(ts_demux& d) {
    d.remote.callback.store(nullptr, std::memory_order_seq_cst);
    for (FilterEntry& f : d.filters) f.callback.store(nullptr, std::memory_order_seq_cst);
    wait_quiet(d.capture_guard);
    wait_quiet(d.remote_guard);
    d.remote.number = 0;
    d.remote.hook_installed = false;
    for (FilterEntry& f : d.filters) {
        f.number = 0;
        f.size = 0;
        f.type.store(0, std::memory_order_relaxed);
    }
}
