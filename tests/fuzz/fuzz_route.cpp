// The route message reader on arbitrary bytes, and the writer on what it
// read: a route read from the kernel must go back as it came, so what the
// writer makes of it must read back to the same route, its unread
// attributes and next hops included.
//
// Input: u16 buffer size for the writer (little-endian), then one message.
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/rtnl.h"

namespace {

bool same_hops(const std::vector<route_hop>& a, const std::vector<route_hop>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].gateway != b[i].gateway || a[i].if_index != b[i].if_index || a[i].weight != b[i].weight ||
            a[i].attrs != b[i].attrs)
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t cap = size_t(data[0] | (data[1] << 8)) % rtnl::buffer_bytes + 1;
    rtnl::route_message m;
    if (rtnl::parse_route(data + 2, size - 2, &m) != 0) return 0;

    std::vector<uint8_t> buf(cap);
    const nlmsghdr* req = rtnl::route_request(buf.data(), cap, RTM_NEWROUTE, NLM_F_REQUEST | NLM_F_CREATE, m.row);
    if (!req) return 0;
    if (req->nlmsg_len > cap) std::abort();
    rtnl::route_message back;
    if (rtnl::parse_route(req, req->nlmsg_len, &back) != 0) std::abort();
    const route_row& a = m.row;
    const route_row& b = back.row;
    if (a.mask != b.mask || (a.dst & a.mask) != b.dst || a.metric != b.metric || a.tos != b.tos ||
        a.proto != b.proto || a.scope != b.scope || a.pref_src != b.pref_src || a.nh_id != b.nh_id)
        std::abort();
    // A route that names a next-hop object is written without what
    // describes a next hop: the object holds that.
    if (a.nh_id) return 0;
    // A route with several next hops is written as its hops alone: the
    // kernel never gives one with a device of its own besides them.
    if (a.attrs != b.attrs || !same_hops(a.hops, b.hops)) std::abort();
    if (a.hops.empty() && (a.next_hop != b.next_hop || a.if_index != b.if_index)) std::abort();
    return 0;
}
