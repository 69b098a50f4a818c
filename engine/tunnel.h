// Tunnel bring-up on the engine side and the route operations it needs.
#pragma once

#include <cstdint>

int start_tun(uint32_t tunnel_ip, uint32_t peer_ip, uint32_t server_ip, uint16_t control_port_net, int timeout_ms,
              int dhcp, int replace, int dns_local);
void change_server_route(uint32_t server_ip);
void restore_routes();
// Waits up to ms for the route monitor thread; false on a timeout.
bool route_monitor_join(int ms);
