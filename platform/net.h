// Socket helpers standing in for the Winsock calls the engine was written
// against. Error codes are errno values; the predicates carry the Winsock
// meaning so the callers read like the original logic.
#pragma once

#include <cstdint>

// ioctlsocket(FIONBIO, 1). Returns 0 or -1.
int set_nonblocking(int fd);

// WSAGetLastError.
int sock_last_error();

// WSAEWOULDBLOCK (EAGAIN, EWOULDBLOCK, EINPROGRESS for connect).
bool sock_would_block(int err);

// A UDP receive that fails because an earlier datagram met a closed port:
// Linux reports ECONNREFUSED where Winsock reports WSAECONNRESET.
bool udp_peer_unreachable(int err);

// gethostbyname: the host's first IPv4 address in network order, or a dotted
// quad. Returns false when it does not resolve. An empty name is the local
// host (the address of this machine's own name, else loopback), as on
// Windows.
bool resolve_ipv4(const char* host, uint32_t* addr_net);

// Tests replace name lookups so that no query ever leaves the machine for a
// name that does not exist. nullptr restores the system resolver. The
// replacement must be safe to call from any thread.
using resolve_fn = bool (*)(const char* host, uint32_t* addr_net);
void resolve_set_impl(resolve_fn fn);

// inet_addr: dotted quad to network order; INADDR_NONE (0xFFFFFFFF) if bad.
uint32_t parse_ipv4(const char* text);

void sock_close(int fd);

// EMFILE or ENFILE: the process or the system has no descriptor left.
bool sock_out_of_descriptors(int err);

// The soft RLIMIT_NOFILE: one above the highest descriptor number the
// process may hold. Tests replace it; nullptr restores the system's.
int descriptor_limit();
using descriptor_limit_fn = int (*)();
void descriptor_limit_set_impl(descriptor_limit_fn fn);

// SO_LINGER 0: the close that follows sends a reset instead of an end of
// file, so that the peer sees its connection cut, not finished.
void sock_abort_on_close(int fd);
