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

// Descriptors numbered within this many of the limit are left to the
// console and to the engine's own needs (name lookups, route changes):
// listeners and the streams the server opens do not keep them, so that the
// console still accepts once connections have taken all the rest.
constexpr int descriptor_reserve = 16;
bool descriptor_in_reserve(int fd);
// A connection refused for want of descriptors. Only the first refusal of
// an episode is logged: one that follows the last within 10 s belongs to
// the same episode.
void descriptors_short();
// accept failed for want of descriptors: every listener and the console
// listener stop being polled for a short pause instead of waking the loop
// at once to fail again; accept_resume_due ends the pause.
void accept_pause();
void accept_resume_due();

void share_budget();
// Serves every ready entry once. A console connection that leaves the
// table during its handler moves the last entry into its slot; that slot is
// then examined again, so the moved entry is neither skipped nor served twice.
void dispatch_ready(int ready);
void main_loop_pass();
[[noreturn]] void main_loop();
void tunnel_device_read();
