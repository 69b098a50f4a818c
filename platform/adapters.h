// The network adapters and their IPv4 addresses, as the tunnel bring-up
// needs them: a wait for the first address change of any interface, the
// adapter list (interfaces by name and index), the address list, and the
// release and renewal of one address (removing it and adding it again: a
// tunnel device has no DHCP server to ask). Linux over rtnetlink; tests
// install their own operations.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct adapter_entry {
    uint32_t index = 0;
    std::string name;
};

struct adapter_address {
    uint32_t index = 0;
    uint32_t local = 0;    // network order: the interface's own address
    uint32_t address = 0;  // network order: the peer on a point-to-point link, else local
    uint32_t broadcast = 0;
    uint8_t prefix_len = 32;
    uint8_t scope = 0;
    uint32_t flags = 0;
    uint32_t route_metric = 0;  // metric of the prefix route the address brings
};

struct adapter_ops {
    // NotifyAddrChange: subscribes (a handle >= 0, or -errno); wait blocks up
    // to timeout_ms for an address change since the subscription (1), or
    // returns 0 on the time-out, -errno on failure.
    int (*watch_open)();
    int (*watch_wait)(int handle, uint32_t timeout_ms);
    void (*watch_close)(int handle);
    // GetAdaptersInfo: 0 or an errno.
    int (*list)(std::vector<adapter_entry>* out);
    // GetInterfaceInfo: every IPv4 address of every interface; 0 or an errno.
    int (*addresses)(std::vector<adapter_address>* out);
    // IpReleaseAddress, IpRenewAddress: 0 or an errno.
    int (*release)(const adapter_address& a);
    int (*renew)(const adapter_address& a);
};

const adapter_ops& adapters();
// nullptr restores rtnetlink.
void adapters_set_impl(const adapter_ops* ops);
// The rtnetlink address list, whatever adapters() is set to: for callers
// that read the kernel's tables beside it (the route dump).
int adapters_rtnl_addresses(std::vector<adapter_address>* out);
