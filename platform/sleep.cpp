#include "platform/sleep.h"

#include <time.h>

namespace {

void real_sleep(uint32_t ms) {
    timespec ts{time_t(ms / 1000), long(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

sleep_fn impl = real_sleep;

}  // namespace

void sleep_ms(uint32_t ms) { impl(ms); }

void sleep_set_impl(sleep_fn fn) { impl = fn ? fn : real_sleep; }
