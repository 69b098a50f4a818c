// The tuner reader's whole state: one instance per process, zero at load.
// Every member is trivially destructible, so nothing is torn down under a
// card thread that still runs while the process ends.
#pragma once

#include <cstdint>

#include "tools/tevii/tevii_api.h"
#include "tuner/tsdemux.h"

// The maker's functions, resolved by name in TEVII_FUNCTIONS order.
struct tevii_binding {
#define TEVII_POINTER(name) tevii_api::name* name;
    TEVII_FUNCTIONS(TEVII_POINTER)
#undef TEVII_POINTER
};

struct kestrix_state {
    bool ready;        // CheckForDVBEx once succeeded; never cleared
    int started;       // a device is open
    uint32_t device;   // first argument of every maker call
    void* tevii_module;
    tevii_binding tevii;
    int log_level;
    const char* log_path;  // null: no line can be written
    int default_modulation;  // 0-8
    int default_inversion;   // 0-2
    int default_pilot;       // 0-2
    int default_rolloff;     // 0-3
    ts_demux demux;
};

extern kestrix_state kx;
