// Moves the calling process into a network namespace of its own with its
// loopback up. Tests that start the engine with the interface's fixed
// console port (30000) call it before anything else, so parallel runs never
// meet on that port.
#pragma once

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace ui_testing {

inline bool enter_private_network(std::string* why) {
    if (unshare(CLONE_NEWNET) != 0) {
        *why = std::string("no private network namespace: ") + std::strerror(errno);
        return false;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    const bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &ifr) == 0 && (ifr.ifr_flags |= IFF_UP) &&
                    ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    if (fd >= 0) close(fd);
    if (!up) *why = std::string("loopback does not come up: ") + std::strerror(errno);
    return up;
}

}  // namespace ui_testing
