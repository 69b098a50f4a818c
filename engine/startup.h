// Program entry: defaults, buffers, banner, the user-interface and tunnel
// libraries, and the engine's start routine.
#pragma once

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
// Ends the process with status 1 after a fatal error. With the interface
// running, its own quit road ends it, so that nothing is torn down under
// its windows; this thread ends meanwhile.
[[noreturn]] void engine_fail_exit();
// Binds tun.dll; sets tunnel_available when the twelve required names resolve.
void bind_tunnel_library();
