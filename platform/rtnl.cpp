#include "platform/rtnl.h"

#include <libmnl/libmnl.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

namespace rtnl {

namespace {

std::atomic<uint32_t> next_seq{uint32_t(time(nullptr))};

// The change requests sent lately, by socket and sequence number. The
// kernel's change messages carry both, so a subscriber tells this
// process's own changes from everybody else's. Far more are kept than one
// round of the route code sends.
struct sent_request {
    uint32_t port = 0, seq = 0;
};
struct sent_requests {
    std::mutex lock;
    std::array<sent_request, 256> ring{};
    size_t next = 0;
};
sent_requests sent;

void remember_sent(uint32_t port, uint32_t seq) {
    std::lock_guard<std::mutex> g(sent.lock);
    sent.ring[sent.next] = sent_request{port, seq};
    sent.next = (sent.next + 1) % sent.ring.size();
}

// The kernel's own changes carry port 0, which no socket of ours has.
bool sent_here(uint32_t port, uint32_t seq) {
    if (port == 0) return false;
    std::lock_guard<std::mutex> g(sent.lock);
    for (const sent_request& r : sent.ring)
        if (r.port == port && r.seq == seq) return true;
    return false;
}

// One socket per exchange: requests come from the engine thread and the
// route monitor thread alike, and a private socket needs no lock.
struct socket_guard {
    mnl_socket* nl = nullptr;
    ~socket_guard() {
        if (nl) mnl_socket_close(nl);
    }
};

int open_bound(socket_guard* g) {
    // Close-on-exec: the tunnel library makes its requests inside whatever
    // process loaded it, which may start programs meanwhile.
    g->nl = mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC);
    if (!g->nl) return errno ? errno : EIO;
    if (mnl_socket_bind(g->nl, 0, MNL_SOCKET_AUTOPID) < 0) return errno ? errno : EIO;
    return 0;
}

struct walk {
    const std::function<void(const nlmsghdr*)>* each;
};

int each_cb(const nlmsghdr* nlh, void* data) {
    auto* w = static_cast<walk*>(data);
    if (w->each) (*w->each)(nlh);
    return MNL_CB_OK;
}

int exchange(nlmsghdr* req, const std::function<void(const nlmsghdr*)>* each) {
    socket_guard g;
    if (int err = open_bound(&g)) return err;
    const uint32_t seq = next_seq++;
    req->nlmsg_seq = seq;
    const unsigned port = mnl_socket_get_portid(g.nl);
    if (!each) remember_sent(port, seq);
    if (mnl_socket_sendto(g.nl, req, req->nlmsg_len) < 0) return errno ? errno : EIO;
    std::vector<char> buf(MNL_SOCKET_BUFFER_SIZE);
    walk w{each};
    for (;;) {
        const ssize_t n = mnl_socket_recvfrom(g.nl, buf.data(), buf.size());
        if (n < 0) return errno ? errno : EIO;
        errno = 0;
        const int rc = mnl_cb_run(buf.data(), size_t(n), seq, port, each_cb, &w);
        if (rc == MNL_CB_STOP) return 0;
        if (rc < 0) return errno ? errno : EIO;
    }
}

// ---------------------------------------------------------------- route messages

// The flags that a request may carry: the kernel refuses a route asked to
// be dead or down, and sets the others (offload ...) itself.
constexpr uint32_t settable_route_flags = RTNH_F_ONLINK | RTNH_F_PERVASIVE;

// Bytes from the kernel are read through copies, never through a cast
// pointer: nothing here assumes the caller's buffer is aligned.
template <typename T>
T read_as(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Calls each(attribute, its length, its type) for the attributes in
// [p, p + len); false when one is malformed or each refuses it.
template <typename F>
bool each_attr(const uint8_t* p, size_t len, F each) {
    while (len > 0) {
        if (len < sizeof(nlattr)) return false;
        const auto a = read_as<nlattr>(p);
        if (a.nla_len < sizeof(nlattr) || a.nla_len > len) return false;
        if (!each(p, a.nla_len, uint16_t(a.nla_type & NLA_TYPE_MASK))) return false;
        const size_t step = MNL_ALIGN(a.nla_len);
        if (step >= len) return true;  // the last one may go without its padding
        p += step;
        len -= step;
    }
    return true;
}

bool read_u32(const uint8_t* a, size_t alen, uint32_t* out) {
    if (alen != sizeof(nlattr) + sizeof(uint32_t)) return false;
    *out = read_as<uint32_t>(a + sizeof(nlattr));
    return true;
}

void keep_attr(std::vector<uint8_t>* out, const uint8_t* a, size_t alen) {
    out->insert(out->end(), a, a + alen);
    out->resize(out->size() + MNL_ALIGN(alen) - alen, 0);
}

bool parse_hops(const uint8_t* p, size_t len, std::vector<route_hop>* hops) {
    while (len > 0) {
        if (len < sizeof(rtnexthop)) return false;
        const auto nh = read_as<rtnexthop>(p);
        if (nh.rtnh_len < sizeof(rtnexthop) || nh.rtnh_len > len) return false;
        route_hop hop;
        hop.if_index = uint32_t(nh.rtnh_ifindex);
        hop.weight = uint16_t(nh.rtnh_hops + 1);
        hop.flags = nh.rtnh_flags;
        const size_t at = RTNH_ALIGN(sizeof(rtnexthop));
        const bool ok = nh.rtnh_len <= at || each_attr(p + at, nh.rtnh_len - at, [&](const uint8_t* a, size_t alen,
                                                                                        uint16_t type) {
            if (type == RTA_GATEWAY) return read_u32(a, alen, &hop.gateway);
            keep_attr(&hop.attrs, a, alen);
            return true;
        });
        if (!ok) return false;
        hops->push_back(std::move(hop));
        const size_t step = RTNH_ALIGN(nh.rtnh_len);
        if (step >= len) return true;
        p += step;
        len -= step;
    }
    return true;
}

bool put_raw_attr(nlmsghdr* nlh, size_t cap, const uint8_t* a, size_t alen) {
    if (nlh->nlmsg_len + MNL_ALIGN(alen) > cap) return false;
    auto* tail = static_cast<uint8_t*>(mnl_nlmsg_get_payload_tail(nlh));
    std::memcpy(tail, a, alen);
    std::memset(tail + alen, 0, MNL_ALIGN(alen) - alen);
    nlh->nlmsg_len += uint32_t(MNL_ALIGN(alen));
    return true;
}

// What describes a next hop: with a next-hop object the kernel takes none
// of it (a dump names both, the object and what it stands for).
bool describes_next_hop(uint16_t type) {
    return type == RTA_GATEWAY || type == RTA_OIF || type == RTA_VIA || type == RTA_FLOW || type == RTA_ENCAP ||
           type == RTA_ENCAP_TYPE || type == RTA_MULTIPATH;
}

bool put_raw_attrs(nlmsghdr* nlh, size_t cap, const std::vector<uint8_t>& attrs, bool skip_next_hop) {
    return each_attr(attrs.data(), attrs.size(), [&](const uint8_t* a, size_t alen, uint16_t type) {
        return (skip_next_hop && describes_next_hop(type)) || put_raw_attr(nlh, cap, a, alen);
    });
}

bool put_hops(nlmsghdr* nlh, size_t cap, const std::vector<route_hop>& hops) {
    nlattr* nest = mnl_attr_nest_start_check(nlh, cap, RTA_MULTIPATH);
    if (!nest) return false;
    for (const route_hop& hop : hops) {
        const size_t head = RTNH_ALIGN(sizeof(rtnexthop));
        if (nlh->nlmsg_len + head > cap) return false;
        auto* at = static_cast<uint8_t*>(mnl_nlmsg_get_payload_tail(nlh));
        std::memset(at, 0, head);
        nlh->nlmsg_len += uint32_t(head);
        if (hop.gateway && !mnl_attr_put_u32_check(nlh, cap, RTA_GATEWAY, hop.gateway)) return false;
        if (!put_raw_attrs(nlh, cap, hop.attrs, false)) return false;
        rtnexthop nh{};
        nh.rtnh_len = uint16_t(static_cast<uint8_t*>(mnl_nlmsg_get_payload_tail(nlh)) - at);
        nh.rtnh_flags = uint8_t(hop.flags & settable_route_flags);
        nh.rtnh_hops = uint8_t(hop.weight > 0 ? hop.weight - 1 : 0);
        nh.rtnh_ifindex = int(hop.if_index);
        std::memcpy(at, &nh, sizeof nh);
    }
    mnl_attr_nest_end(nlh, nest);
    return true;
}

}  // namespace

int parse_route(const void* bytes, size_t len, route_message* out) {
    *out = route_message{};
    const auto* p = static_cast<const uint8_t*>(bytes);
    const size_t attrs_at = NLMSG_LENGTH(sizeof(rtmsg));
    if (len < attrs_at) return EINVAL;
    const auto h = read_as<nlmsghdr>(p);
    if (h.nlmsg_len < attrs_at || h.nlmsg_len > len) return EINVAL;
    const auto m = read_as<rtmsg>(p + NLMSG_HDRLEN);
    if (m.rtm_family != AF_INET) return EAFNOSUPPORT;
    if (m.rtm_dst_len > 32) return EINVAL;
    out->route_kind = m.rtm_type;
    out->table = m.rtm_table;
    route_row& r = out->row;
    r.mask = prefix_mask(m.rtm_dst_len);
    r.proto = m.rtm_protocol;
    r.scope = m.rtm_scope;
    r.tos = m.rtm_tos;
    r.flags = m.rtm_flags;
    uint32_t gateway = 0;
    const bool ok = each_attr(p + attrs_at, h.nlmsg_len - attrs_at, [&](const uint8_t* a, size_t alen, uint16_t type) {
        switch (type) {
        case RTA_DST: return read_u32(a, alen, &r.dst);
        case RTA_GATEWAY: return read_u32(a, alen, &gateway);
        case RTA_OIF: return read_u32(a, alen, &r.if_index);
        case RTA_PRIORITY: return read_u32(a, alen, &r.metric);
        case RTA_PREFSRC: return read_u32(a, alen, &r.pref_src);
        case RTA_TABLE: return read_u32(a, alen, &out->table);
        case RTA_NH_ID: return read_u32(a, alen, &r.nh_id);
        case RTA_MULTIPATH: return parse_hops(a + sizeof(nlattr), alen - sizeof(nlattr), &r.hops);
        default: keep_attr(&r.attrs, a, alen); return true;
        }
    });
    if (!ok) return EINVAL;
    // Several next hops: the first stands for the route.
    if (!r.hops.empty()) {
        if (!gateway) gateway = r.hops[0].gateway;
        if (!r.if_index) r.if_index = r.hops[0].if_index;
    }
    r.type = gateway ? route_indirect : route_direct;
    r.next_hop = gateway ? gateway : r.pref_src;
    return 0;
}

nlmsghdr* route_request(void* buf, size_t cap, uint16_t type, uint16_t flags, const route_row& r) {
    if (cap < NLMSG_LENGTH(sizeof(rtmsg))) return nullptr;
    nlmsghdr* nlh = start(buf, type, flags);
    auto* rtm = static_cast<rtmsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(rtmsg)));
    rtm->rtm_family = AF_INET;
    const int len = mask_prefix_len(r.mask);
    rtm->rtm_dst_len = uint8_t(len < 0 ? 32 : len);
    rtm->rtm_tos = r.tos;
    rtm->rtm_table = RT_TABLE_MAIN;
    rtm->rtm_type = RTN_UNICAST;
    bool fits = true;
    const auto put_u32 = [&](uint16_t attr, uint32_t v) { fits = fits && mnl_attr_put_u32_check(nlh, cap, attr, v); };
    if (len > 0) put_u32(RTA_DST, r.dst & r.mask);
    put_u32(RTA_PRIORITY, r.metric);
    if (type == RTM_DELROUTE) {
        // Any scope and any protocol: the destination, the metric and the
        // first next hop name the route (the kernel compares a route with
        // several next hops by its first).
        rtm->rtm_scope = RT_SCOPE_NOWHERE;
        if (r.nh_id) {
            put_u32(RTA_NH_ID, r.nh_id);
        } else {
            if (r.type == route_indirect && r.next_hop) put_u32(RTA_GATEWAY, r.next_hop);
            if (r.if_index) put_u32(RTA_OIF, r.if_index);
        }
        return fits ? nlh : nullptr;
    }
    rtm->rtm_protocol = r.proto;
    rtm->rtm_scope = r.scope;
    rtm->rtm_flags = r.flags & settable_route_flags;
    if (r.pref_src) put_u32(RTA_PREFSRC, r.pref_src);
    if (r.nh_id) {
        put_u32(RTA_NH_ID, r.nh_id);
    } else if (!r.hops.empty()) {
        fits = fits && put_hops(nlh, cap, r.hops);
    } else {
        if (r.type == route_indirect && r.next_hop) put_u32(RTA_GATEWAY, r.next_hop);
        if (r.if_index) put_u32(RTA_OIF, r.if_index);
    }
    fits = fits && put_raw_attrs(nlh, cap, r.attrs, r.nh_id != 0);
    return fits ? nlh : nullptr;
}

nlmsghdr* start(void* buf, uint16_t type, uint16_t flags) {
    nlmsghdr* nlh = mnl_nlmsg_put_header(buf);
    nlh->nlmsg_type = type;
    nlh->nlmsg_flags = uint16_t(NLM_F_REQUEST | flags);
    return nlh;
}

nlmsghdr* address_request(void* buf, uint16_t type, uint16_t flags, uint32_t index, uint8_t prefix_len,
                          uint8_t scope, uint32_t local, uint32_t address) {
    nlmsghdr* nlh = start(buf, type, flags);
    auto* ifa = static_cast<ifaddrmsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(ifaddrmsg)));
    ifa->ifa_family = AF_INET;
    ifa->ifa_prefixlen = prefix_len;
    ifa->ifa_scope = scope;
    ifa->ifa_index = index;
    mnl_attr_put_u32(nlh, IFA_LOCAL, local);
    mnl_attr_put_u32(nlh, IFA_ADDRESS, address);
    return nlh;
}

int request(nlmsghdr* req) {
    req->nlmsg_flags |= NLM_F_ACK;
    return exchange(req, nullptr);
}

int dump(nlmsghdr* req, const std::function<void(const nlmsghdr*)>& each) {
    req->nlmsg_flags |= NLM_F_DUMP;
    return exchange(req, &each);
}

int subscribe(uint32_t groups) {
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd < 0) return -errno;
    sockaddr_nl sa{};
    sa.nl_family = AF_NETLINK;
    sa.nl_groups = groups;
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        const int err = errno;
        close(fd);
        return -err;
    }
    return fd;
}

int drain(int fd, bool others_only) {
    std::vector<char> buf(MNL_SOCKET_BUFFER_SIZE);
    int changes = 0;
    for (;;) {
        const ssize_t n = recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return changes;
            // More changes than the socket could queue: something changed.
            if (errno == ENOBUFS) {
                changes++;
                continue;
            }
            return -errno;
        }
        if (n == 0) return changes;
        int left = int(n);
        for (const nlmsghdr* h = reinterpret_cast<const nlmsghdr*>(buf.data()); mnl_nlmsg_ok(h, left);
             h = mnl_nlmsg_next(h, &left)) {
            if (h->nlmsg_type < RTM_BASE) continue;
            if (!others_only || !sent_here(h->nlmsg_pid, h->nlmsg_seq)) changes++;
        }
    }
}

}  // namespace rtnl
