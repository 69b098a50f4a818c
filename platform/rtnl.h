// The rtnetlink requests that the route and adapter layers share: one
// request answered by an acknowledgement, one dump walked message by
// message, and a socket subscribed to change groups; and the route
// message's reader and writer, which touch no socket. Internal to platform/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/routes.h"

struct nlmsghdr;

namespace rtnl {

// Fills a request in buf (at least rtnl::buffer_bytes) and returns its header.
constexpr size_t buffer_bytes = 8192;
nlmsghdr* start(void* buf, uint16_t type, uint16_t flags);

// An IPv4 address request (RTM_NEWADDR, RTM_DELADDR) for the interface
// `index`: its own address and the other end (the peer of a point-to-point
// link, else the same address), network order.
nlmsghdr* address_request(void* buf, uint16_t type, uint16_t flags, uint32_t index, uint8_t prefix_len,
                          uint8_t scope, uint32_t local, uint32_t address);

// Sends the request and waits for its acknowledgement: 0 or an errno.
int request(nlmsghdr* req);

// Sends a dump request and calls each for every message of the reply:
// 0 or an errno.
int dump(nlmsghdr* req, const std::function<void(const nlmsghdr*)>& each);

// A socket that receives the given multicast groups (RTMGRP_*): its
// descriptor, or -errno.
int subscribe(uint32_t groups);
// Reads every message waiting on a subscribed socket without blocking.
// Returns how many change messages it read (an overrun counts as one), or
// -errno when the socket failed. With others_only, the changes that this
// process's own requests made are read but not counted.
int drain(int fd, bool others_only = false);

// An IPv4 route message taken apart: the route, and where the kernel
// keeps it (its table, and its kind: RTN_UNICAST ...).
struct route_message {
    uint8_t route_kind = 0;
    uint32_t table = 0;
    route_row row;
};

// Reads one route message of len bytes (its netlink header first). The
// attributes that the route code does not read are kept as they came, so
// that the route can be given back whole. A direct route's next hop is its
// source address here, 0 when it names none. 0; EAFNOSUPPORT for a route
// that is not IPv4; EINVAL for a message that is cut short or malformed.
int parse_route(const void* bytes, size_t len, route_message* out);

// Writes an RTM_NEWROUTE (every field of the row, its unread attributes as
// they came) or an RTM_DELROUTE (what names the route: destination, tos,
// metric, first next hop) for the main table into buf of cap bytes. The
// message, or nullptr when it does not fit.
nlmsghdr* route_request(void* buf, size_t cap, uint16_t type, uint16_t flags, const route_row& r);

}  // namespace rtnl
