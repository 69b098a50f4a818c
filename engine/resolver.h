// Name lookups for opens by name, done on worker threads so that a slow
// lookup never holds up the loop. Workers see only a copy of the name and
// the caller's serial; results wait here until the loop, woken through the
// descriptor below, takes them. The workers are joined when the process
// exits (or on resolver_stop): nothing is left running or allocated.
#pragma once

#include <cstdint>
#include <vector>

struct name_result {
    uint64_t serial;
    bool ok;
    uint32_t addr_net;  // network order
};

// Queues a lookup; the first one starts the pool. False when too many
// lookups are under way already or no worker could be started.
bool resolver_submit(uint64_t serial, const char* name);
// Readable while results wait; -1 while no pool runs.
int resolver_wake_fd();
// Every finished lookup, oldest first; empties the wake descriptor.
std::vector<name_result> resolver_take();
// Stops and joins the workers (a lookup under way is waited for) and closes
// the descriptor. Results not taken are dropped.
void resolver_stop();
