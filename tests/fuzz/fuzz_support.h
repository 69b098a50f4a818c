// Shared set-up for the engine's fuzz targets: a quiet, deterministic engine
// with one [remote] record that points at a loopback sink, a live session on
// demand, and a network guard that keeps every fuzzed path on loopback.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/globals.h"

// ---------------------------------------------------------------- network guard
// The fuzz executables replace connect, sendto, bind and the name lookups.
// A connect or sendto towards anything but loopback or a local socket is
// refused without a syscall (errno ECONNREFUSED); name lookups always fail
// (only numeric addresses resolve), so no DNS query ever leaves the process.
// In strict mode a refused destination is also a harness bug: abort.
// A connect to the internal services' listener gets a connected local stream
// socket whose far end stays silent until fuzz_teardown closes it.
void guard_set_strict(bool strict);
// Binds of IPv4 sockets go to 127.0.0.1 port 0 instead of what was asked
// (the configuration reader binds whatever the text says).
void guard_set_rewrite_bind(bool rewrite);
// While set, fopen for appending, and for reading anything but this path,
// fails with EACCES; null lifts it.
void guard_set_fopen_only(const char* path);

// ---------------------------------------------------------------- engine
struct fuzz_env {
    int sink = -1;          // plays the server: UDP on loopback, non-blocking
    uint16_t sink_port = 0; // network order
    int engine_udp = -1;    // server_udp_fd
    uint16_t engine_port = 0;
    int service_listener = -1;  // TCP listener every internal service maps to
    uint16_t service_port = 0;
    int dummy_listener = -1;    // fd behind the [local] listener entries
    FILE* devnull = nullptr;
};

extern fuzz_env env;

// Once per process: hooks, fake clock, no sleeps, tables, sockets.
void fuzz_init_once();
// Before each input: every global back to its start, one [remote] record
// "fuzz" on the sink, `locals` [local] entries naming it, internal services
// on the loopback listener, ttcp 0, logging at level 1 into /dev/null, the
// server socket registered at index 0 and one listener entry per [local]
// entry behind it.
void fuzz_reset(int locals = 1, int mode = mode_service_int);
// Makes the session of [local] entry `local` as the first accepted
// connection would (find_session on its listener entry) and marks it
// working. The random source is fixed, so the session id is the same every
// run.
stx_session* fuzz_make_session(int local = 0);
// Closes every session, compacts, closes what the inputs opened, drains the
// sink and the service listener's backlog.
void fuzz_teardown();

// One pass of the engine loop without waiting: poll (0 ms), dispatch what is
// ready, the session timers, compaction.
void fuzz_loop_pass();

// Checks the bookkeeping that ties a session, its streams and the descriptor
// table together; aborts with a message when it does not hold.
void fuzz_check_sessions();

// Fake clock.
void fuzz_clock_advance_ms(uint32_t ms);

// Index of the server socket's and the listeners' entries after fuzz_reset.
constexpr int fuzz_udp_index = 0;
constexpr int fuzz_listener_index(int local) { return 1 + local; }

// Sends one datagram from the sink to the engine's socket and lets
// udp_receive take it. Returns false when it never arrived.
bool fuzz_deliver_datagram(const uint8_t* data, size_t n);

// Reads whatever waits on fd (non-blocking) and throws it away.
void fuzz_drain(int fd);

// Input reader: length-prefixed records.
struct fuzz_reader {
    const uint8_t* p;
    size_t left;
    bool take_u8(uint8_t* v);
    bool take_u16(uint16_t* v);
    // Up to n bytes; fewer at the end of the input.
    size_t take(const uint8_t** out, size_t n);
};
