// The reference server's loop: UDP sessions with the engine, the TCP
// connections that carry their streams, the test control listener.
#pragma once

#include "tools/refserver/options.h"

// Runs until SIGTERM or SIGINT; returns the process exit status.
int refserver_run(const refserver_options& opts);
