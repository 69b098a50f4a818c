// The system's random source, for what must not be guessed: session ids and
// login nonces. Tests and fuzzing replace it to get the same values on
// every run.
#pragma once

#include <cstddef>

// Fills out with n bytes; false when the source failed.
using random_fn = bool (*)(void* out, size_t n);

// getrandom, or the replacement.
bool random_bytes(void* out, size_t n);

// nullptr restores the system source.
void random_set_impl(random_fn fn);
