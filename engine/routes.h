// The engine's routes while the tunnel is up: a host route to the service's
// server (and to the local DNS servers) through the old default gateway
// (the first next hop of a default that has several), the two half-default
// routes through the tunnel's peer, the old default route pushed behind or
// deleted, a monitor thread that puts them back on every change of the
// table, and the restore at shutdown, which gives the old default back
// whole, with all it carries. Everything is written to "route.log".
#pragma once

#include <cstdint>

extern const char* route_log_name;  // "route.log" in the working directory

// Addresses in network order.
void set_route_params(uint32_t tunnel_ip, uint32_t peer_ip, uint32_t server_ip);
// Reads the DNS server list and asks for host routes to those servers.
void set_dns_routes();
// Sets the routes; *replace selects deleting the old default route over
// raising its metric. On the engine thread during the bring-up and on the
// monitor thread afterwards.
void SetRoute(const int* replace);
// Starts the monitor thread, which keeps its own copy of *replace.
void route_monitor_start(const int* replace);
// `set server`: the server route follows the new address (re-created by
// the monitor).
void change_server_route(uint32_t server_ip);
void set_server_route();
// Shutdown: nothing is changed after this; puts back what was deleted or
// changed and removes what was added, then wakes the monitor so it ends.
void restore_routes();
// Waits up to ms for the monitor thread to end; false on a time-out. True
// when there is no monitor thread.
bool route_monitor_join(int ms);

// What the monitor has done: notifications handled, and whether it is
// blocked waiting for the next one (tests).
int route_monitor_passes();
bool route_monitor_waiting();
// Stops the monitor and forgets every route record and flag (tests).
void routes_reset();
