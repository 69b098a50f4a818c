// Tunnel bring-up on the engine side.
#pragma once

#include <cstdint>

#include "engine/routes.h"

// Addresses and the control port in network order. Returns 1.
int start_tun(uint32_t tunnel_ip, uint32_t peer_ip, uint32_t server_ip, uint16_t control_port_net, int timeout_ms,
              int dhcp, int replace, int dns_local);

// The process's tunnel control connection (the first tunnel section's), for
// a session whose server was not the one named there; -1 when none.
int tunnel_control_fd();
