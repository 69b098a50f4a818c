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
#include <string>
#include <utility>

#include "platform/adapters.h"
#include "platform/rtnl.h"

static_assert(route_proto_static == RTPROT_STATIC && route_scope_universe == RT_SCOPE_UNIVERSE &&
                  route_scope_link == RT_SCOPE_LINK && route_flag_onlink == RTNH_F_ONLINK,
              "the route constants are the kernel's");

namespace {

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
        rtnl::route_message m;
        if (h->nlmsg_type != RTM_NEWROUTE || rtnl::parse_route(h, h->nlmsg_len, &m) != 0) return;
        if (m.route_kind != RTN_UNICAST || m.table != RT_TABLE_MAIN) return;
        if (!m.row.next_hop) need_addresses = true;
        out->push_back(std::move(m.row));
    });
    if (err || !need_addresses) return err;
    std::map<uint32_t, uint32_t> first;
    if ((err = first_addresses(&first)) != 0) return err;
    for (route_row& r : *out)
        if (!r.next_hop && first.count(r.if_index)) r.next_hop = first[r.if_index];
    return 0;
}

int nl_change(uint16_t type, uint16_t flags, const route_row& r) {
    char buf[rtnl::buffer_bytes];
    nlmsghdr* nlh = rtnl::route_request(buf, sizeof buf, type, flags, r);
    return nlh ? rtnl::request(nlh) : EMSGSIZE;
}

int nl_add(const route_row& r) { return nl_change(RTM_NEWROUTE, NLM_F_CREATE | NLM_F_EXCL, r); }

int nl_del(const route_row& r) { return nl_change(RTM_DELROUTE, 0, r); }

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

namespace {

std::string address_text(uint32_t addr_net) {
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &addr_net, text, sizeof text);
    return text;
}

std::string hex_text(const std::vector<uint8_t>& bytes) {
    std::string out;
    char two[3];
    for (uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        out += two;
    }
    return out;
}

}  // namespace

std::string route_text(const route_row& r) {
    std::string out = address_text(r.dst) + "/" + std::to_string(mask_prefix_len(r.mask)) +
                      (r.type == route_indirect ? " via " : " at ") + address_text(r.next_hop) + " dev " +
                      std::to_string(r.if_index) + " metric " + std::to_string(r.metric);
    if (r.proto != route_proto_static) out += " proto " + std::to_string(r.proto);
    if (r.scope != route_scope_universe) out += " scope " + std::to_string(r.scope);
    if (r.tos) out += " tos " + std::to_string(r.tos);
    if (r.flags & route_flag_onlink) out += " onlink";
    if (r.flags & ~uint32_t(route_flag_onlink)) out += " flags " + std::to_string(r.flags & ~uint32_t(route_flag_onlink));
    if (r.pref_src) out += " src " + address_text(r.pref_src);
    if (r.nh_id) out += " nhid " + std::to_string(r.nh_id);
    for (const route_hop& h : r.hops) {
        out += " nexthop via " + address_text(h.gateway) + " dev " + std::to_string(h.if_index) + " weight " +
               std::to_string(h.weight);
        if (h.flags & route_flag_onlink) out += " onlink";
        if (h.flags & ~route_flag_onlink) out += " flags " + std::to_string(h.flags & ~route_flag_onlink);
        if (!h.attrs.empty()) out += " attrs " + hex_text(h.attrs);
    }
    if (!r.attrs.empty()) out += " attrs " + hex_text(r.attrs);
    return out;
}

const route_ops& routes() { return *impl; }

void routes_set_impl(const route_ops* ops) { impl = ops ? ops : &netlink_ops; }
