// The transport-stream demultiplexer: the filter table (one slot per 13-bit
// PID and one for the whole stream), the remote-control slot, and the
// splitter that cuts received buffers into 188-byte packets, keeping an
// incomplete packet from the end of one buffer for the next. No device and
// no clock: the capture thread hands bytes in, callbacks come out.
//
// The table is shared between the caller's thread (the exports) and the
// card's thread (deliveries) without a lock. A callback pointer is
// published last with release order and read once per delivery; removing
// one clears the pointer first and then waits until no delivery that may
// have read it is still running, so a removed callback is never called
// after the removal returns (unless the removal was made from inside a
// delivery, on the delivering thread). Deliveries of one kind come from
// one thread at a time: the capture buffers of a device, and the keys.
#pragma once

#include <atomic>
#include <cstdint>

constexpr uint32_t ts_packet_bytes = 188;
constexpr uint8_t ts_sync_byte = 0x47;
constexpr uint16_t ts_pid_mask = 0x1FFF;
// Slots 0..8191 by PID, then the whole-stream ("FullTS") filter.
constexpr uint32_t ts_fullts_slot = 8192;
constexpr uint32_t ts_filter_slots = ts_fullts_slot + 1;

using ts_log_fn = void (*)(const char* format, ...);

struct FilterEntry {
    uint32_t number;                  // handed to the caller
    uint32_t size;                    // stored, not used
    std::atomic<void*> callback;      // null: the slot is free
    std::atomic<uint32_t> type;       // calling convention, tested at delivery
};

struct ts_carry {
    uint8_t bytes[ts_packet_bytes];
    uint32_t count;  // 0..187; a kept packet starts with the sync byte
};

// Counts deliveries in and out, so that a removal can wait for the ones
// that started before it.
struct delivery_guard {
    std::atomic<uint64_t> entered;
    std::atomic<uint64_t> left;
};

struct remote_slot {
    std::atomic<void*> callback;  // null: free
    uint32_t number;
    bool hook_installed;  // the maker's key callback is in place
};

struct ts_demux {
    FilterEntry filters[ts_filter_slots];
    uint32_t counter;  // next filter number; never reset
    remote_slot remote;
    ts_carry carry;  // the capture thread's alone
    // Set by a start: the next capture begins a new stream, and drops the
    // bytes kept from the old one. The old stream's thread may still be
    // splitting its last buffer when the start is made (a callback stopped
    // the device); the new thread's first capture comes after it was
    // joined, so only that capture may touch the carry.
    std::atomic<bool> new_stream;
    bool no_pid_filter;  // whole buffers to the FullTS filter, no splitting
    delivery_guard capture_guard;
    delivery_guard remote_guard;
};

// The splitter on one received buffer: every complete packet goes to the
// FullTS filter and to its PID's filter. Pure but for the callbacks it
// calls and the lines it logs.
void ts_split(ts_demux& d, const uint8_t* data, uint32_t length, ts_log_fn log);

// CaptureCallback: ts_split inside the capture guard, on a fresh carry
// after demux_new_stream.
void demux_capture(ts_demux& d, const uint8_t* data, uint32_t length, ts_log_fn log);
// RemoteControlCallback: the key's address and 4 to the remote callback.
void demux_remote_key(ts_demux& d, uint32_t key);

// SetFilter after its pointer check: 1, or 0 with one log line.
int demux_set_filter(ts_demux& d, uint16_t pid, void* callback, uint32_t type, uint32_t size,
                     uint32_t* filter_number, ts_log_fn log);
// DelFilter: a filter or the remote-control slot by number.
int demux_del_filter(ts_demux& d, uint32_t filter_number, ts_log_fn log);
// SetRemoteControl once the maker's hook is in place.
int demux_set_remote(ts_demux& d, void* callback, uint32_t* filter_number, ts_log_fn log);
// StartDVBEx, before the device is opened: bytes kept from an earlier
// stream are not glued onto the next one.
void demux_new_stream(ts_demux& d);
// StopDVB: every callback first, then the rest of each slot; the counter and
// the carry stay.
void demux_clear(ts_demux& d);
