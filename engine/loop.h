// The socket event loop, the descriptor table and the engine clock.
#pragma once

#include <cstdint>

#include "engine/globals.h"

struct time_pair {
    int64_t sec;
    int64_t nsec;
};

void get_time(time_pair* t);
double time_to_sec(const time_pair& t);
double clock_now();  // time_to_sec(get_time())
void clock_reset();  // forget the wrap offset (tests)

void poll_reset();
int poll_select(poll_entry* table, int count, int ms);
int poll_check(poll_entry* table, int count, int ms);
int poll_compact(int count);

// Appends an entry; the table grows by 32 when the count reaches capacity.
// Returns the new entry's index.
int fd_append(int fd, uint16_t events, uint8_t type, stx_session* s, s_stream* st, int local_index);
// Makes room for n more entries (growing by 32s) before a batch append.
void fd_reserve(int n);
// Marks the entry for removal (if not yet) with the given close flags.
void fd_mark_removal(int index, uint8_t flags);

void share_budget();
void dispatch_ready(int ready);
void main_loop_pass();
[[noreturn]] void main_loop();
void tunnel_device_read();
