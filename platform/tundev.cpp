#include "platform/tundev.h"

#include <dirent.h>
#include <fcntl.h>
#include <libmnl/libmnl.h>
#include <limits.h>
#include <linux/if_addr.h>
#include <linux/if_tun.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

const char default_sysfs_net_dir[] = "/sys/class/net";
const char default_clone_device[] = "/dev/net/tun";

char sysfs_net_dir[PATH_MAX] = "/sys/class/net";
char clone_device[PATH_MAX] = "/dev/net/tun";

// The first line of a small attribute file, or false.
bool read_attribute(const char* dir, const char* device, const char* attr, char* out, size_t cap) {
    char path[PATH_MAX];
    if (std::snprintf(path, sizeof path, "%s/%s/%s", dir, device, attr) >= int(sizeof path)) return false;
    FILE* f = std::fopen(path, "r");
    if (!f) return false;
    const bool ok = std::fgets(out, int(cap), f) != nullptr;
    std::fclose(f);
    return ok;
}

bool read_number(const char* dir, const char* device, const char* attr, long* value) {
    char text[64];
    if (!read_attribute(dir, device, attr, text, sizeof text)) return false;
    char* end = nullptr;
    errno = 0;
    *value = std::strtol(text, &end, 0);
    return errno == 0 && end != text;
}

// One request, answered by the kernel's acknowledgement (or its error).
bool netlink_request(nlmsghdr* nlh) {
    mnl_socket* nl = mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC);
    if (!nl) return false;
    bool ok = false;
    if (mnl_socket_bind(nl, 0, MNL_SOCKET_AUTOPID) == 0) {
        const unsigned int portid = mnl_socket_get_portid(nl);
        const unsigned int seq = unsigned(time(nullptr));
        nlh->nlmsg_seq = seq;
        if (mnl_socket_sendto(nl, nlh, nlh->nlmsg_len) >= 0) {
            char buf[8192];
            for (;;) {
                const ssize_t n = mnl_socket_recvfrom(nl, buf, sizeof buf);
                if (n < 0) break;
                const int r = mnl_cb_run(buf, size_t(n), seq, portid, nullptr, nullptr);
                if (r == MNL_CB_ERROR) break;
                if (r == MNL_CB_STOP) {
                    ok = true;
                    break;
                }
            }
        }
    }
    const int saved = errno;
    mnl_socket_close(nl);
    errno = saved;
    return ok;
}

}  // namespace

void tundev_set_paths(const char* sysfs_net, const char* clone) {
    std::snprintf(sysfs_net_dir, sizeof sysfs_net_dir, "%s", sysfs_net ? sysfs_net : default_sysfs_net_dir);
    std::snprintf(clone_device, sizeof clone_device, "%s", clone ? clone : default_clone_device);
}

bool tundev_discover(char* name, size_t cap) {
    DIR* dir = opendir(sysfs_net_dir);
    if (!dir) return false;
    long best = -1;
    while (dirent* d = readdir(dir)) {
        if (d->d_name[0] == '.' || std::strlen(d->d_name) >= IFNAMSIZ || std::strlen(d->d_name) >= cap) continue;
        long flags = 0, index = 0;
        // Only TUN devices carry tun_flags with IFF_TUN; TAP devices carry IFF_TAP.
        if (!read_number(sysfs_net_dir, d->d_name, "tun_flags", &flags)) continue;
        if ((flags & (IFF_TUN | IFF_TAP)) != IFF_TUN) continue;
        if (!read_number(sysfs_net_dir, d->d_name, "ifindex", &index) || index <= 0) continue;
        if (best < 0 || index < best) {
            best = index;
            std::snprintf(name, cap, "%s", d->d_name);
        }
    }
    closedir(dir);
    return best > 0;
}

int tundev_open(const char* name, int* ifindex) {
    if (!name || !*name || std::strlen(name) >= IFNAMSIZ) {
        errno = ENODEV;
        return -1;
    }
    // TUNSETIFF makes a device that is not there: look first.
    const unsigned int index = if_nametoindex(name);
    if (index == 0) {
        errno = ENODEV;
        return -1;
    }
    int fd = open(clone_device, O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    ifreq ifr{};
    std::memcpy(ifr.ifr_name, name, std::strlen(name));
    ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
    if (ioctl(fd, TUNSETIFF, &ifr) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    // A device that went away between the look and the attach has just been
    // made anew; closing the descriptor removes it again.
    if (if_nametoindex(name) != index) {
        close(fd);
        errno = ENODEV;
        return -1;
    }
    if (fd < 3) {
        const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        close(fd);
        if (moved < 0) return -1;
        fd = moved;
    }
    *ifindex = int(index);
    return fd;
}

bool tundev_link_up(int ifindex) {
    char buf[256];
    nlmsghdr* nlh = mnl_nlmsg_put_header(buf);
    nlh->nlmsg_type = RTM_NEWLINK;
    nlh->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
    auto* ifi = static_cast<ifinfomsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(ifinfomsg)));
    ifi->ifi_family = AF_UNSPEC;
    ifi->ifi_index = ifindex;
    ifi->ifi_flags = IFF_UP;
    ifi->ifi_change = IFF_UP;
    return netlink_request(nlh);
}

bool tundev_set_ptp_address(int ifindex, uint32_t local_ip, uint32_t peer_ip) {
    char buf[256];
    nlmsghdr* nlh = mnl_nlmsg_put_header(buf);
    nlh->nlmsg_type = RTM_NEWADDR;
    nlh->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_REPLACE;
    auto* ifa = static_cast<ifaddrmsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(ifaddrmsg)));
    ifa->ifa_family = AF_INET;
    ifa->ifa_prefixlen = 32;
    ifa->ifa_scope = RT_SCOPE_UNIVERSE;
    ifa->ifa_index = uint32_t(ifindex);
    mnl_attr_put_u32(nlh, IFA_LOCAL, local_ip);
    mnl_attr_put_u32(nlh, IFA_ADDRESS, peer_ip);
    return netlink_request(nlh);
}
