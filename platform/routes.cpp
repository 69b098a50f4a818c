#include "platform/routes.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "platform/adapters.h"
#include "platform/rtnl.h"

namespace {

struct route_attrs {
    uint32_t table = 0, dst = 0, gateway = 0, oif = 0, priority = 0, prefsrc = 0;
    bool has_table = false;
};

void parse_multipath_first(const nlattr* mp, route_attrs* a) {
    // Several next hops: the first stands for the route.
    const auto* nh = static_cast<const rtnexthop*>(mnl_attr_get_payload(mp));
    if (mnl_attr_get_payload_len(mp) < sizeof(rtnexthop) || nh->rtnh_len < sizeof(rtnexthop)) return;
    a->oif = uint32_t(nh->rtnh_ifindex);
    const size_t len = nh->rtnh_len - RTNH_LENGTH(0);
    const auto* attr = reinterpret_cast<const nlattr*>(RTNH_DATA(nh));
    size_t off = 0;
    while (off + sizeof(nlattr) <= len) {
        const nlattr* at = reinterpret_cast<const nlattr*>(reinterpret_cast<const char*>(attr) + off);
        if (at->nla_len < sizeof(nlattr) || off + at->nla_len > len) break;
        if (mnl_attr_get_type(at) == RTA_GATEWAY && mnl_attr_get_payload_len(at) == 4)
            a->gateway = mnl_attr_get_u32(at);
        off += MNL_ALIGN(at->nla_len);
    }
}

int route_attr_cb(const nlattr* attr, void* data) {
    auto* a = static_cast<route_attrs*>(data);
    const int type = mnl_attr_get_type(attr);
    const bool u32 = mnl_attr_get_payload_len(attr) == 4;
    switch (type) {
    case RTA_TABLE: if (u32) { a->table = mnl_attr_get_u32(attr); a->has_table = true; } break;
    case RTA_DST: if (u32) a->dst = mnl_attr_get_u32(attr); break;
    case RTA_GATEWAY: if (u32) a->gateway = mnl_attr_get_u32(attr); break;
    case RTA_OIF: if (u32) a->oif = mnl_attr_get_u32(attr); break;
    case RTA_PRIORITY: if (u32) a->priority = mnl_attr_get_u32(attr); break;
    case RTA_PREFSRC: if (u32) a->prefsrc = mnl_attr_get_u32(attr); break;
    case RTA_MULTIPATH: parse_multipath_first(attr, a); break;
    default: break;
    }
    return MNL_CB_OK;
}

// The first IPv4 address of each interface: the next hop of its direct
// routes that name no source. Always the kernel's list: the route dump is.
int first_addresses(std::map<uint32_t, uint32_t>* out) {
    std::vector<adapter_address> all;
    if (int err = adapters_rtnl_addresses(&all)) return err;
    for (const adapter_address& a : all) {
        const uint32_t addr = a.local ? a.local : a.address;
        if (addr && !out->count(a.index)) (*out)[a.index] = addr;
    }
    return 0;
}

int nl_dump(std::vector<route_row>* out) {
    out->clear();
    char buf[rtnl::buffer_bytes];
    nlmsghdr* nlh = rtnl::start(buf, RTM_GETROUTE, 0);
    auto* rtm = static_cast<rtmsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(rtmsg)));
    rtm->rtm_family = AF_INET;
    bool need_addresses = false;
    int err = rtnl::dump(nlh, [&](const nlmsghdr* h) {
        if (h->nlmsg_type != RTM_NEWROUTE) return;
        const auto* m = static_cast<const rtmsg*>(mnl_nlmsg_get_payload(h));
        if (m->rtm_family != AF_INET || m->rtm_type != RTN_UNICAST) return;
        route_attrs a;
        mnl_attr_parse(h, sizeof(rtmsg), route_attr_cb, &a);
        const uint32_t table = a.has_table ? a.table : m->rtm_table;
        if (table != RT_TABLE_MAIN || m->rtm_dst_len > 32) return;
        route_row r;
        r.dst = a.dst;
        r.mask = prefix_mask(m->rtm_dst_len);
        r.if_index = a.oif;
        r.metric = a.priority;
        r.proto = m->rtm_protocol;
        r.pref_src = a.prefsrc;
        r.onlink = (m->rtm_flags & RTNH_F_ONLINK) != 0;
        r.type = a.gateway ? route_indirect : route_direct;
        r.next_hop = a.gateway ? a.gateway : a.prefsrc;
        if (!r.next_hop) need_addresses = true;
        out->push_back(r);
    });
    if (err || !need_addresses) return err;
    std::map<uint32_t, uint32_t> first;
    if ((err = first_addresses(&first)) != 0) return err;
    for (route_row& r : *out)
        if (!r.next_hop && first.count(r.if_index)) r.next_hop = first[r.if_index];
    return 0;
}

nlmsghdr* route_message(char* buf, uint16_t type, uint16_t flags, const route_row& r) {
    nlmsghdr* nlh = rtnl::start(buf, type, flags);
    auto* rtm = static_cast<rtmsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(rtmsg)));
    rtm->rtm_family = AF_INET;
    const int len = mask_prefix_len(r.mask);
    rtm->rtm_dst_len = uint8_t(len < 0 ? 32 : len);
    rtm->rtm_table = RT_TABLE_MAIN;
    rtm->rtm_type = RTN_UNICAST;
    if (len > 0) mnl_attr_put_u32(nlh, RTA_DST, r.dst & r.mask);
    if (r.type == route_indirect && r.next_hop) mnl_attr_put_u32(nlh, RTA_GATEWAY, r.next_hop);
    if (r.if_index) mnl_attr_put_u32(nlh, RTA_OIF, r.if_index);
    mnl_attr_put_u32(nlh, RTA_PRIORITY, r.metric);
    return nlh;
}

int nl_add(const route_row& r) {
    char buf[rtnl::buffer_bytes];
    nlmsghdr* nlh = route_message(buf, RTM_NEWROUTE, NLM_F_CREATE | NLM_F_EXCL, r);
    auto* rtm = static_cast<rtmsg*>(mnl_nlmsg_get_payload(nlh));
    rtm->rtm_protocol = r.proto;
    rtm->rtm_scope = r.type == route_indirect ? RT_SCOPE_UNIVERSE : RT_SCOPE_LINK;
    if (r.type == route_indirect && r.onlink) rtm->rtm_flags |= RTNH_F_ONLINK;
    if (r.pref_src) mnl_attr_put_u32(nlh, RTA_PREFSRC, r.pref_src);
    return rtnl::request(nlh);
}

int nl_del(const route_row& r) {
    char buf[rtnl::buffer_bytes];
    nlmsghdr* nlh = route_message(buf, RTM_DELROUTE, 0, r);
    // Any scope and any protocol: the row names the route.
    static_cast<rtmsg*>(mnl_nlmsg_get_payload(nlh))->rtm_scope = RT_SCOPE_NOWHERE;
    return rtnl::request(nlh);
}

int nl_monitor_open() { return rtnl::subscribe(RTMGRP_IPV4_ROUTE); }

int nl_monitor_wait(int handle, int wake_fd) {
    if (handle < 0) return handle;
    for (;;) {
        pollfd p[2] = {{handle, POLLIN, 0}, {wake_fd, POLLIN, 0}};
        const int n = poll(p, wake_fd >= 0 ? 2 : 1, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -errno;
        }
        if (p[1].revents) return 0;
        if (p[0].revents & (POLLERR | POLLNVAL)) return -EIO;
        const int changes = rtnl::drain(handle, true);
        if (changes < 0) return changes;
        if (changes > 0) return 1;
    }
}

void nl_monitor_close(int handle) {
    if (handle >= 0) close(handle);
}

const route_ops netlink_ops = {nl_dump, nl_add, nl_del, nl_monitor_open, nl_monitor_wait, nl_monitor_close};
const route_ops* impl = &netlink_ops;

}  // namespace

int mask_prefix_len(uint32_t mask_net) {
    const uint32_t m = ntohl(mask_net);
    int len = 0;
    while (len < 32 && (m & (0x80000000u >> len))) len++;
    if (len < 32 && (m << len) != 0) return -1;
    return len;
}

uint32_t prefix_mask(int len) {
    if (len <= 0) return 0;
    if (len >= 32) return 0xFFFFFFFFu;
    return htonl(~((1u << (32 - len)) - 1));
}

std::string route_text(const route_row& r) {
    char dst[INET_ADDRSTRLEN], hop[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &r.dst, dst, sizeof dst);
    inet_ntop(AF_INET, &r.next_hop, hop, sizeof hop);
    char out[128];
    std::snprintf(out, sizeof out, "%s/%d %s %s dev %u metric %u", dst, mask_prefix_len(r.mask),
                  r.type == route_indirect ? "via" : "at", hop, r.if_index, r.metric);
    return out;
}

const route_ops& routes() { return *impl; }

void routes_set_impl(const route_ops* ops) { impl = ops ? ops : &netlink_ops; }
