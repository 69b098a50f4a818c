// Controls of the simulated card, exported by libTeVii.so beside the ten
// functions of tevii_api.h. With the Linux DVB back end they return 0.
// Tests and demonstrations bind them by name like the rest.
#pragma once

#include <cstdint>

namespace tevii_sim {

// Hands `length` bytes to the capture callback as one buffer, on the card's
// thread, and returns once the callback has returned. 0 when the device is
// not open.
using Inject = int(int device, const uint8_t* data, uint32_t length);
// Presses a key: the remote-control callback gets it on the card's thread.
// 1 when a callback took it.
using Key = int(int device, uint32_t key);
// Waits until the configured feed has ended (Packets reached, file read
// without Loop); 1 when it has, 0 after timeout_ms.
using FeedDone = int(int device, uint32_t timeout_ms);
// Begins a feed configured with Start=call; 1 when it was waiting.
using StartFeed = int(int device);
// How often OpenDevice has been called for the device, counted as the call
// begins (before it joins the thread of an earlier open).
using Opens = int(int device);

}  // namespace tevii_sim

#define TEVII_SIM_FUNCTIONS(X)                                                                             \
    X(Inject, TeViiSimulatorInject)                                                                        \
    X(Key, TeViiSimulatorKey) X(FeedDone, TeViiSimulatorFeedDone) X(StartFeed, TeViiSimulatorStartFeed)    \
        X(Opens, TeViiSimulatorOpens)

// The environment variable that names the simulator's ini file, and the
// file beside libTeVii.so that selects it when the variable is unset.
constexpr const char* tevii_sim_env = "TEVII_SIMULATOR";
constexpr const char* tevii_sim_file = "tevii-sim.ini";
