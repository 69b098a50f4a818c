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

}  // namespace

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
