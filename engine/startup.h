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
// Binds tun.dll; sets tunnel_available when the twelve required names resolve.
void bind_tunnel_library();
