// Everything the tunnel library keeps between calls, in the one record it
// owns. The engine's thread calls the exports; the packet thread reads the
// device and the control connection; `lock` orders what both touch.
#pragma once

#include <pthread.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <type_traits>

#include "tun/portmap.h"

enum class device_state : uint8_t {
    not_opened,
    open,
    failed,  // the open failed; it is not tried again
    closed,  // closed by the stopping thread; its number may belong to another file now
};

// An address that the library gave the device (network order).
struct device_address {
    uint32_t local = 0, peer = 0;
};

struct tun_library {
    std::mutex lock;

    // The device.
    device_state device = device_state::not_opened;
    int device_fd = -1;
    int ifindex = 0;
    char tapname[256] = {};  // the device's name: set by SetTapGuid or found by discovery
    // What the library changed on the device, undone when it closes it: the
    // link it brought up and the addresses the device did not have before
    // (one each for SetTunPtP and SetTunDHCP).
    bool link_raised = false;
    std::array<device_address, 2> addresses_added = {};
    size_t addresses_added_count = 0;

    // Configuration, set by the engine before the thread starts (the
    // listener port may change while it runs).
    rewrite_template fakepmap_tcp = {};
    uint16_t tun_control_port = 0;  // network order
    uint32_t service_ip = 0;        // network order
    // What a DHCP lease would hand out; Linux has no use for them.
    uint32_t dhcp_lease_s = 0, dhcp_server_ip = 0, dns_ip = 0;

    port_map portmap = {};

    // The packet thread.
    int stop_fd = -1;        // eventfd that end_work signals; made before the thread
    uintptr_t hthread = 0;   // StartTunThread's result; 0 before the first call
    pthread_t thread = {};
    bool thread_joinable = false;
    int control_fd = -1;     // the engine's connection; kept open once accepted
};

// Constant-initialised and without teardown: the engine may end the process
// while the packet thread still runs.
static_assert(std::is_trivially_destructible<tun_library>::value, "no destructor may run at exit");

extern tun_library tun_lib;

// Media disconnected: gives the device back as the library found it (its
// added addresses removed, the link down again when the library raised it,
// so that every route through it goes) and closes it. Nothing when the
// device is not open.
void tun_device_close(tun_library& lib);

// Seconds of the monotonic clock: a step of the wall clock neither hastens
// nor delays the reclaim of released mappings.
int64_t tun_now_s();
