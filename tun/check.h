// Conditions that only a bug in the library can break. A broken one ends the
// process at once with the place it was found: a port map that drifted
// would otherwise rewrite packets of one connection into another.
#pragma once

[[noreturn]] void tun_check_failed(const char* what, const char* file, int line);

#define TUN_CHECK(cond) ((cond) ? void(0) : tun_check_failed(#cond, __FILE__, __LINE__))
