// Sleep(ms). Tests swap in a recorder so that timed paths run instantly.
#pragma once

#include <cstdint>

using sleep_fn = void (*)(uint32_t ms);

void sleep_ms(uint32_t ms);
void sleep_set_impl(sleep_fn fn);  // nullptr restores the real sleep
