// Program entry: defaults, buffers, banner, the user-interface and tunnel
// libraries, and the engine's start routine.
#pragma once

#include <cstdint>

#include "engine/globals.h"

// Body of main(); never returns.
[[noreturn]] void quorin_main(int argc, char** argv);
int load_ui(int argc, char** argv);
// The StartCallback: the argument is the calling thread's object, unused.
int engine_main(void* unused);
int ui_progress(int stage);
// The stop signal (SIGTERM, SIGINT, SIGHUP) that the engine has to act on,
// 0 while none came: the loop then takes the console's shutdown road, and
// the route code sets nothing more.
int stop_signal_received();
// What the thread that waits for the stop signals calls with each one.
// While the engine only prepares (nothing on the machine changed yet), the
// signal ends the process at once, from that thread: status 255, or the
// interface's quit road. Later ones are kept for stop_signal_received().
void take_stop_signal(int signo);
// Between the steps of the preparation: after a stop signal that ended the
// process, the engine thread ends here.
void engine_stop_point();
// The engine is about to change the machine (the tunnel bring-up) or to
// enter its loop: from here on a stop signal is kept for the bring-up's
// waits and the loop, which give back what was set.
void engine_commit();
// How often every wait of the start-up looks for a stop signal.
constexpr uint32_t stop_check_ms = 100;
// Sleeps ms (the injectable sleep) in slices of stop_check_ms; false as soon
// as a stop signal was taken, without sleeping on.
bool wait_unless_stopped(uint32_t ms);
// After a stop signal, the console's shutdown road (it never returns).
void shutdown_if_stopped();
// Ends the process with status 1 after a fatal error. With the interface
// running, its own quit road ends it, so that nothing is torn down under
// its windows; this thread ends meanwhile.
[[noreturn]] void engine_fail_exit();
// Binds tun.dll; sets tunnel_available when the twelve required names resolve.
void bind_tunnel_library();
