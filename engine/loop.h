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
// Marks the entry for removal (if not yet) with the given close flags. The
// first marking counts a pending removal (and, for a stream entry, one more
// marked stream); a later one only adds its flags (peer informed).
void fd_mark_removal(int index, uint8_t flags);
// Frees a stream record once nothing refers to it (compaction, session close).
void stream_record_free(s_stream* st);

void share_budget();
// Serves every ready entry once. A console connection that leaves the
// table during its handler moves the last entry into its slot; that slot is
// then examined again, so the moved entry is neither skipped nor served twice.
void dispatch_ready(int ready);
void main_loop_pass();
[[noreturn]] void main_loop();
void tunnel_device_read();
