#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>

namespace {

bool system_random(void* out, size_t n) {
    auto* p = static_cast<uint8_t*>(out);
    while (n > 0) {
        const ssize_t got = getrandom(p, n, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += got;
        n -= size_t(got);
    }
    return true;
}

random_fn source = system_random;

}  // namespace

bool random_bytes(void* out, size_t n) { return source(out, n); }

void random_set_impl(random_fn fn) { source = fn ? fn : system_random; }
