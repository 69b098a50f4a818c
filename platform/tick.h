// The 32-bit millisecond tick count the engine's clock is built on. It wraps
// after 49.7 days exactly as the Windows tick did, so the wrap logic above it
// is exercised for real. Tests replace the source.
#pragma once

#include <cstdint>

using tick_source_fn = uint32_t (*)();

// GetTickCount: CLOCK_MONOTONIC milliseconds, truncated to 32 bits.
uint32_t tick_count();

// nullptr restores the monotonic clock.
void tick_set_source(tick_source_fn fn);
