// The tunnel adapter on Linux: an existing TUN device (IFF_TUN, no packet
// information, no offloads, so packets cross whole with full checksums),
// found in the interface list, opened by name and configured through
// rtnetlink. Its name plays the part of the adapter's GUID.
#pragma once

#include <cstddef>
#include <cstdint>

// Where discovery reads the interface list (default "/sys/class/net") and
// the clone device that attaches to a TUN device (default "/dev/net/tun").
// Tests point them elsewhere; null restores a default.
void tundev_set_paths(const char* sysfs_net_dir, const char* clone_device);

// The name of the TUN device (not TAP) with the lowest interface index, in
// name (capacity cap). False when there is none.
bool tundev_discover(char* name, size_t cap);

// Attaches to the TUN device `name`, which must exist already: a name that
// names no device, or a TAP device, fails and nothing is created. Returns a
// non-blocking, close-on-exec descriptor numbered 3 or above (so that it is
// never mistaken for "no device") with its interface index in *ifindex, or
// -1 with errno set.
int tundev_open(const char* name, int* ifindex);

// rtnetlink requests, each waited for until the kernel acknowledges it.
// The device up (media connected); *was_up tells whether it was up before.
bool tundev_link_up(int ifindex, bool* was_up);
// The device down (media disconnected): the kernel drops its routes.
bool tundev_link_down(int ifindex);
// local_ip/32 with peer_ip as the other end (network order), setting the
// same address again, its route's metric kept, when it is there already;
// *added is true only when the device did not have it.
bool tundev_set_ptp_address(int ifindex, uint32_t local_ip, uint32_t peer_ip, bool* added);
bool tundev_remove_address(int ifindex, uint32_t local_ip, uint32_t peer_ip);
