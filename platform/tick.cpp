#include "platform/tick.h"

#include <time.h>

namespace {

uint32_t monotonic_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms = uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
    return uint32_t(ms);
}

tick_source_fn source = monotonic_ms;

}  // namespace

uint32_t tick_count() { return source(); }

void tick_set_source(tick_source_fn fn) { source = fn ? fn : monotonic_ms; }
