// Sessions with the service's servers: finding or making one, the login,
// receiving datagrams, resets.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/globals.h"

extern int server_udp_fd;  // the socket of the last [server] port line

int find_session();
void send_init_packet();
void udp_receive();
void reset_sessions();
void close_session(stx_session* s);
// Writes the counts of receive-path lines left out once their second has
// passed; the loop calls it every pass.
void datagram_lines_flush();

stx_session* session_by_id(uint32_t id);
// sendto the session's server from the server socket; returns sendto's result.
long session_sendto(stx_session* s, const void* data, size_t len);
// A reset packet carrying session id `id` to addr:port (network order).
long send_reset_to(uint32_t id, uint32_t addr, uint16_t port);
