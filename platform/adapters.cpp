#include "platform/adapters.h"

#include <libmnl/libmnl.h>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/rtnl.h"

namespace {

int nl_watch_open() { return rtnl::subscribe(RTMGRP_IPV4_IFADDR); }

int64_t mono_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int nl_watch_wait(int handle, uint32_t timeout_ms) {
    if (handle < 0) return handle;
    const int64_t end = mono_ms() + timeout_ms;
    for (;;) {
        const int64_t left = end - mono_ms();
        if (left <= 0) return 0;
        pollfd p{handle, POLLIN, 0};
        const int n = poll(&p, 1, int(left));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -errno;
        }
        if (n == 0) return 0;
        const int changes = rtnl::drain(handle);
        if (changes < 0) return changes;
        if (changes > 0) return 1;
    }
}

void nl_watch_close(int handle) {
    if (handle >= 0) close(handle);
}

int link_attr_cb(const nlattr* attr, void* data) {
    if (mnl_attr_get_type(attr) == IFLA_IFNAME && mnl_attr_validate(attr, MNL_TYPE_NUL_STRING) == 0)
        *static_cast<std::string*>(data) = mnl_attr_get_str(attr);
    return MNL_CB_OK;
}

int nl_list(std::vector<adapter_entry>* out) {
    out->clear();
    char buf[rtnl::buffer_bytes];
    nlmsghdr* nlh = rtnl::start(buf, RTM_GETLINK, 0);
    auto* ifi = static_cast<ifinfomsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(ifinfomsg)));
    ifi->ifi_family = AF_UNSPEC;
    return rtnl::dump(nlh, [out](const nlmsghdr* h) {
        if (h->nlmsg_type != RTM_NEWLINK) return;
        const auto* m = static_cast<const ifinfomsg*>(mnl_nlmsg_get_payload(h));
        adapter_entry e;
        e.index = uint32_t(m->ifi_index);
        mnl_attr_parse(h, sizeof(ifinfomsg), link_attr_cb, &e.name);
        out->push_back(e);
    });
}

int addr_attr_cb(const nlattr* attr, void* data) {
    auto* a = static_cast<adapter_address*>(data);
    if (mnl_attr_get_payload_len(attr) != 4) return MNL_CB_OK;
    switch (mnl_attr_get_type(attr)) {
    case IFA_LOCAL: a->local = mnl_attr_get_u32(attr); break;
    case IFA_ADDRESS: a->address = mnl_attr_get_u32(attr); break;
    case IFA_BROADCAST: a->broadcast = mnl_attr_get_u32(attr); break;
    case IFA_FLAGS: a->flags = mnl_attr_get_u32(attr); break;
    case IFA_RT_PRIORITY: a->route_metric = mnl_attr_get_u32(attr); break;
    default: break;
    }
    return MNL_CB_OK;
}

int nl_addresses(std::vector<adapter_address>* out) {
    out->clear();
    char buf[rtnl::buffer_bytes];
    nlmsghdr* nlh = rtnl::start(buf, RTM_GETADDR, 0);
    auto* ifa = static_cast<ifaddrmsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(ifaddrmsg)));
    ifa->ifa_family = AF_INET;
    return rtnl::dump(nlh, [out](const nlmsghdr* h) {
        if (h->nlmsg_type != RTM_NEWADDR) return;
        const auto* m = static_cast<const ifaddrmsg*>(mnl_nlmsg_get_payload(h));
        if (m->ifa_family != AF_INET) return;
        adapter_address a;
        a.index = m->ifa_index;
        a.prefix_len = m->ifa_prefixlen;
        a.scope = m->ifa_scope;
        a.flags = m->ifa_flags;
        mnl_attr_parse(h, sizeof(ifaddrmsg), addr_attr_cb, &a);
        if (!a.local) a.local = a.address;
        if (!a.address) a.address = a.local;
        out->push_back(a);
    });
}

nlmsghdr* address_message(char* buf, uint16_t type, uint16_t flags, const adapter_address& a) {
    return rtnl::address_request(buf, type, flags, a.index, a.prefix_len, a.scope, a.local, a.address);
}

int nl_release(const adapter_address& a) {
    char buf[rtnl::buffer_bytes];
    return rtnl::request(address_message(buf, RTM_DELADDR, 0, a));
}

int nl_renew(const adapter_address& a) {
    char buf[rtnl::buffer_bytes];
    nlmsghdr* nlh = address_message(buf, RTM_NEWADDR, NLM_F_CREATE | NLM_F_EXCL, a);
    if (a.broadcast) mnl_attr_put_u32(nlh, IFA_BROADCAST, a.broadcast);
    // Only what the owner chose comes back; states the kernel keeps for
    // itself (tentative, secondary, deprecated) do not.
    const uint32_t chosen = a.flags & (IFA_F_NOPREFIXROUTE | IFA_F_NODAD | IFA_F_PERMANENT);
    if (chosen) mnl_attr_put_u32(nlh, IFA_FLAGS, chosen);
    if (a.route_metric) mnl_attr_put_u32(nlh, IFA_RT_PRIORITY, a.route_metric);
    return rtnl::request(nlh);
}

const adapter_ops netlink_ops = {nl_watch_open, nl_watch_wait, nl_watch_close, nl_list,
                                 nl_addresses,  nl_release,    nl_renew};
const adapter_ops* impl = &netlink_ops;

}  // namespace

const adapter_ops& adapters() { return *impl; }

void adapters_set_impl(const adapter_ops* ops) { impl = ops ? ops : &netlink_ops; }

int adapters_rtnl_addresses(std::vector<adapter_address>* out) { return nl_addresses(out); }
