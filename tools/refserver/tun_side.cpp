#include "tools/refserver/tun_side.h"

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr size_t ipv4_header_min_bytes = 20;

std::string errno_text(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

struct fd_guard {
    int fd = -1;
    ~fd_guard() {
        if (fd >= 0) close(fd);
    }
};

int open_device(const std::string& name, std::string* err) {
    const int fd = ::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *err = errno_text("/dev/net/tun");
        return -1;
    }
    ifreq ifr{};
    ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strncpy(ifr.ifr_name, name.c_str(), IFNAMSIZ - 1);
    if (ioctl(fd, TUNSETIFF, &ifr) != 0) {
        *err = errno_text("TUNSETIFF");
        close(fd);
        return -1;
    }
    fd_guard sock{socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    if (sock.fd < 0 || ioctl(sock.fd, SIOCGIFFLAGS, &ifr) != 0) {
        *err = errno_text("SIOCGIFFLAGS");
        close(fd);
        return -1;
    }
    ifr.ifr_flags |= IFF_UP;
    if (ioctl(sock.fd, SIOCSIFFLAGS, &ifr) != 0) {
        *err = errno_text("SIOCSIFFLAGS");
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

bool ipv4_endpoints(const uint8_t* pkt, size_t len, uint32_t* src, uint32_t* dst) {
    if (len < ipv4_header_min_bytes || (pkt[0] >> 4) != 4) return false;
    const size_t header = size_t(pkt[0] & 0x0F) * 4;
    const size_t total = size_t(pkt[2]) << 8 | pkt[3];
    if (header < ipv4_header_min_bytes || total < header || total > len) return false;
    std::memcpy(src, pkt + 12, 4);
    std::memcpy(dst, pkt + 16, 4);
    return true;
}

tun_side::~tun_side() {
    if (fd_ >= 0) close(fd_);
}

bool tun_side::open(const std::string& name, const std::string& netns, std::string* err) {
    if (netns.empty()) {
        fd_ = open_device(name, err);
        return fd_ >= 0;
    }
    // The device is made in the namespace of the thread that opens
    // /dev/net/tun; the thread goes back to its own namespace afterwards.
    const std::string path = netns.find('/') == std::string::npos ? "/run/netns/" + netns : netns;
    fd_guard target{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (target.fd < 0) {
        *err = errno_text(path.c_str());
        return false;
    }
    fd_guard home{::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)};
    if (home.fd < 0) {
        *err = errno_text("/proc/thread-self/ns/net");
        return false;
    }
    if (setns(target.fd, CLONE_NEWNET) != 0) {
        *err = errno_text("setns");
        return false;
    }
    fd_ = open_device(name, err);
    if (setns(home.fd, CLONE_NEWNET) != 0) {
        *err = errno_text("setns back");
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    return fd_ >= 0;
}

bool tun_side::from_session(uint32_t sid, const uint8_t* pkt, size_t len) {
    uint32_t src, dst;
    if (fd_ < 0 || !ipv4_endpoints(pkt, len, &src, &dst)) return false;
    // The newest sender of an address owns it: a client that logs in again
    // gets its replies on its new session.
    owners_[src] = sid;
    return write(fd_, pkt, len) == ssize_t(len);
}

ssize_t tun_side::read_packet(uint8_t* buf, size_t cap, uint32_t* sid) {
    *sid = 0;
    const ssize_t n = read(fd_, buf, cap);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
    uint32_t src, dst;
    if (n > 0 && ipv4_endpoints(buf, size_t(n), &src, &dst)) {
        auto it = owners_.find(dst);
        if (it != owners_.end()) *sid = it->second;
    }
    return n;
}

void tun_side::forget_session(uint32_t sid) {
    for (auto it = owners_.begin(); it != owners_.end();) {
        if (it->second == sid)
            it = owners_.erase(it);
        else
            ++it;
    }
}
