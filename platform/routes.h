// The IPv4 routing table as the route code sees it: rows with a next hop
// for every route (a direct route's next hop is the address of its
// interface, as the table showed it on the system the engine came from),
// and four operations: dump, add, delete and a monitor that waits for a
// change of the table. The Linux implementation speaks rtnetlink to the
// main table; tests swap in the recording fake of routes_fake.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum route_type : uint8_t {
    route_direct = 3,    // the destination is on the link
    route_indirect = 4,  // through the next hop, a gateway
};

// The protocol that marks routes made by network management (ours).
constexpr uint8_t route_proto_static = 4;
// The scope of a route through a gateway, and of one on the link.
constexpr uint8_t route_scope_universe = 0;
constexpr uint8_t route_scope_link = 253;
// Flags of a route and of a next hop: the gateway is taken as on the link
// without a route to it.
constexpr uint8_t route_flag_onlink = 4;

// One next hop of a route that has several.
struct route_hop {
    uint32_t gateway = 0;  // network order; 0: on the link
    uint32_t if_index = 0;
    uint16_t weight = 1;   // 1 to 256
    uint8_t flags = 0;
    // Its other attributes, unread, as the kernel gave them.
    std::vector<uint8_t> attrs;
};

// A route as the table gave it: what the route code reads, and everything
// else it carries, so that a saved route goes back whole.
struct route_row {
    uint32_t dst = 0;       // network order
    uint32_t mask = 0;      // network order, contiguous
    // Network order: the gateway, or the interface's own address; the
    // first next hop's for a route with several.
    uint32_t next_hop = 0;
    uint32_t if_index = 0;
    uint32_t metric = 0;
    uint8_t type = route_direct;
    uint8_t proto = route_proto_static;
    uint8_t scope = route_scope_universe;
    uint8_t tos = 0;
    uint32_t flags = 0;
    uint32_t pref_src = 0;  // network order; 0: none
    uint32_t nh_id = 0;     // the next-hop object that the route names; 0: none
    std::vector<route_hop> hops;  // empty for a route with a single next hop
    // Every other attribute (the metrics: mtu, advmss, initcwnd ...),
    // unread, as the kernel gave it.
    std::vector<uint8_t> attrs;
};

// "a.b.c.d/len via n dev i metric m", then whatever else the route
// carries (tests).
std::string route_text(const route_row& r);
// Prefix length of a contiguous mask in network order; -1 when not contiguous.
int mask_prefix_len(uint32_t mask_net);
uint32_t prefix_mask(int len);  // network order

// A monitor handle: the change subscription, or -errno when none.
struct route_ops {
    // GetIpForwardTable: the main table's unicast routes in table order.
    // 0 or an errno.
    int (*dump)(std::vector<route_row>* out);
    // CreateIpForwardEntry: 0, or an errno (EEXIST for a route that exists).
    int (*add)(const route_row& r);
    // DeleteIpForwardEntry of the route with this destination, mask, next
    // hop, interface and metric: 0 or an errno.
    int (*del)(const route_row& r);
    // NotifyRouteChange, split so that it can be stopped: open subscribes
    // (a handle >= 0, or -errno); wait blocks until someone else changes
    // the table (1), wake_fd becomes readable (0) or the subscription fails
    // (-errno). A burst of changes is one change. The changes that this
    // process made through add and del do not count, whenever they were
    // made; every other change made since the subscription does, also one
    // made while the caller was busy between two waits.
    int (*monitor_open)();
    int (*monitor_wait)(int handle, int wake_fd);
    void (*monitor_close)(int handle);
};

const route_ops& routes();
// nullptr restores rtnetlink.
void routes_set_impl(const route_ops* ops);
