#include "platform/tundev.h"

#include <dirent.h>
#include <fcntl.h>
#include <libmnl/libmnl.h>
#include <limits.h>
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
#include <vector>

#include "platform/adapters.h"
#include "platform/rtnl.h"

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

// The device's flags as the kernel keeps them; false when it is gone.
bool link_flags(int ifindex, unsigned* flags) {
    ifreq ifr{};
    if (!if_indextoname(unsigned(ifindex), ifr.ifr_name)) return false;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    close(fd);
    *flags = unsigned(ifr.ifr_flags) & 0xFFFF;
    return ok;
}

bool set_link(int ifindex, bool up) {
    char buf[rtnl::buffer_bytes];
    nlmsghdr* nlh = rtnl::start(buf, RTM_NEWLINK, 0);
    auto* ifi = static_cast<ifinfomsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(ifinfomsg)));
    ifi->ifi_family = AF_UNSPEC;
    ifi->ifi_index = ifindex;
    ifi->ifi_flags = up ? IFF_UP : 0;
    ifi->ifi_change = IFF_UP;
    return rtnl::request(nlh) == 0;
}

int ptp_address(uint16_t type, uint16_t flags, int ifindex, uint32_t local_ip, uint32_t peer_ip,
                uint32_t route_metric = 0) {
    char buf[rtnl::buffer_bytes];
    nlmsghdr* nlh =
        rtnl::address_request(buf, type, flags, uint32_t(ifindex), 32, RT_SCOPE_UNIVERSE, local_ip, peer_ip);
    if (route_metric) mnl_attr_put_u32(nlh, IFA_RT_PRIORITY, route_metric);
    return rtnl::request(nlh);
}

// The metric of the route that the device's address local/32 peer brings,
// as the owner gave it; 0 when the address is not found.
uint32_t address_route_metric(int ifindex, uint32_t local_ip, uint32_t peer_ip) {
    std::vector<adapter_address> all;
    if (adapters_rtnl_addresses(&all) != 0) return 0;
    for (const adapter_address& a : all)
        if (a.index == uint32_t(ifindex) && a.local == local_ip && a.address == peer_ip && a.prefix_len == 32)
            return a.route_metric;
    return 0;
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

bool tundev_link_up(int ifindex, bool* was_up) {
    unsigned flags = 0;
    if (!link_flags(ifindex, &flags)) return false;
    *was_up = (flags & IFF_UP) != 0;
    return *was_up || set_link(ifindex, true);
}

bool tundev_link_down(int ifindex) { return set_link(ifindex, false); }

bool tundev_set_ptp_address(int ifindex, uint32_t local_ip, uint32_t peer_ip, bool* added) {
    const int err = ptp_address(RTM_NEWADDR, NLM_F_CREATE | NLM_F_EXCL, ifindex, local_ip, peer_ip);
    *added = err == 0;
    if (err != EEXIST) return err == 0;
    // Set again, the address is announced as a change (which the bring-up
    // waits for); a replacement without the metric would put its route at 0.
    const uint32_t metric = address_route_metric(ifindex, local_ip, peer_ip);
    return ptp_address(RTM_NEWADDR, NLM_F_CREATE | NLM_F_REPLACE, ifindex, local_ip, peer_ip, metric) == 0;
}

bool tundev_remove_address(int ifindex, uint32_t local_ip, uint32_t peer_ip) {
    return ptp_address(RTM_DELADDR, 0, ifindex, local_ip, peer_ip) == 0;
}
