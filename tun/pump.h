// The packet thread: moves packets between the tunnel device, the engine's
// slots and the port map until end_work signals its stop descriptor.
#pragma once

#include "tun/state.h"

void pump_run(tun_library& lib);
