#include "tun/check.h"

#include <cstdio>
#include <cstdlib>

void tun_check_failed(const char* what, const char* file, int line) {
    std::fprintf(stderr, "tun: internal error: %s at %s:%d\n", what, file, line);
    std::fflush(stderr);
    std::abort();
}
