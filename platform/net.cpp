#include "platform/net.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>

int set_nonblocking(int fd) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) return -1;
    return fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0 ? -1 : 0;
}

int sock_last_error() { return errno; }

bool sock_would_block(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINPROGRESS; }

bool udp_peer_unreachable(int err) { return err == ECONNREFUSED || err == ECONNRESET; }

namespace {

bool system_resolve(const char* host, uint32_t* addr_net);
std::atomic<resolve_fn> resolver{system_resolve};

bool system_resolve(const char* host, uint32_t* addr_net) {
    in_addr a{};
    if (inet_pton(AF_INET, host, &a) == 1) {
        *addr_net = a.s_addr;
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* res = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &res) != 0 || !res) return false;
    *addr_net = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(res);
    return true;
}

// The Windows lookup answers an empty name with the local host: the address
// of the machine's own name, which a computer without a network still has
// as loopback.
bool local_host_ipv4(uint32_t* addr_net) {
    char name[256] = {0};
    if (gethostname(name, sizeof name - 1) == 0 && name[0] && resolver.load()(name, addr_net)) return true;
    *addr_net = htonl(INADDR_LOOPBACK);
    return true;
}

}  // namespace

bool resolve_ipv4(const char* host, uint32_t* addr_net) {
    if (!host || !*host) return local_host_ipv4(addr_net);
    return resolver.load()(host, addr_net);
}

void resolve_set_impl(resolve_fn fn) { resolver.store(fn ? fn : system_resolve); }

uint32_t parse_ipv4(const char* text) { return inet_addr(text); }

void sock_close(int fd) {
    if (fd >= 0) close(fd);
}

bool sock_out_of_descriptors(int err) { return err == EMFILE || err == ENFILE; }

namespace {

int system_descriptor_limit() {
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur == RLIM_INFINITY || r.rlim_cur > rlim_t(INT_MAX))
        return INT_MAX;
    return int(r.rlim_cur);
}

descriptor_limit_fn limit_source = system_descriptor_limit;

}  // namespace

int descriptor_limit() { return limit_source(); }

void descriptor_limit_set_impl(descriptor_limit_fn fn) { limit_source = fn ? fn : system_descriptor_limit; }

void sock_abort_on_close(int fd) {
    const linger abort_close{1, 0};
    (void)setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close);
}
