// The exports of libtun.so (the version script beside this file keeps every
// other symbol local).
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/tundev.h"
#include "tun/packet.h"
#include "tun/pump.h"
#include "tun/state.h"
#include "tun/tun_api.h"

tun_library tun_lib;

PacketSlot recvbuf[tun_slot_count];
PacketSlot sendbuf[tun_slot_count];

void tun_device_close(tun_library& lib) {
    int fd, ifindex;
    bool link_raised;
    std::array<device_address, 2> added;
    size_t added_count;
    {
        std::lock_guard<std::mutex> g(lib.lock);
        if (lib.device != device_state::open) return;
        fd = lib.device_fd;
        ifindex = lib.ifindex;
        link_raised = lib.link_raised;
        added = lib.addresses_added;
        added_count = lib.addresses_added_count;
        lib.device_fd = -1;
        lib.device = device_state::closed;
        lib.link_raised = false;
        lib.addresses_added_count = 0;
    }
    for (size_t i = 0; i < added_count; i++) (void)tundev_remove_address(ifindex, added[i].local, added[i].peer);
    if (link_raised) (void)tundev_link_down(ifindex);
    close(fd);
}

int64_t tun_now_s() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec);
}

namespace {

constexpr size_t tapname_out_bytes = 256;

// The interface index of the open device, or 0.
int open_ifindex() {
    std::lock_guard<std::mutex> g(tun_lib.lock);
    return tun_lib.device == device_state::open ? tun_lib.ifindex : 0;
}

// SetTunPtP and SetTunDHCP: the device's address, remembered when the
// device did not have it (the kernel tells an address by its own and its
// peer's address).
bool apply_address(int ifindex, uint32_t local_ip, uint32_t peer_ip) {
    bool added = false;
    if (!tundev_set_ptp_address(ifindex, local_ip, peer_ip, &added)) return false;
    std::lock_guard<std::mutex> g(tun_lib.lock);
    const size_t n = tun_lib.addresses_added_count;
    if (added && n < tun_lib.addresses_added.size()) {
        tun_lib.addresses_added[n] = device_address{local_ip, peer_ip};
        tun_lib.addresses_added_count = n + 1;
    }
    return true;
}

// The stop signal exists before any thread that waits for it.
bool make_stop_fd() {
    if (tun_lib.stop_fd < 0) tun_lib.stop_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return tun_lib.stop_fd >= 0;
}

void* thread_main(void*) {
    tap_reader();
    return nullptr;
}

}  // namespace

extern "C" {

intptr_t InitTun(char* out) {
    std::lock_guard<std::mutex> g(tun_lib.lock);
    if (tun_lib.device == device_state::not_opened) {
        if (!tun_lib.tapname[0] && !tundev_discover(tun_lib.tapname, sizeof tun_lib.tapname)) return tun_handle_none;
        std::snprintf(out, tapname_out_bytes, "%s", tun_lib.tapname);
        int ifindex = 0;
        const int fd = tundev_open(tun_lib.tapname, &ifindex);
        if (fd >= 0) {
            tun_lib.device = device_state::open;
            tun_lib.device_fd = fd;
            tun_lib.ifindex = ifindex;
        } else {
            tun_lib.device = device_state::failed;
        }
    }
    init_portmap_table(tun_lib.portmap);
    return tun_lib.device == device_state::open ? intptr_t(tun_lib.device_fd) : tun_handle_invalid;
}

int SetTunMediaStatus() {
    const int ifindex = open_ifindex();
    bool was_up = false;
    if (!ifindex || !tundev_link_up(ifindex, &was_up)) return 0;
    std::lock_guard<std::mutex> g(tun_lib.lock);
    if (!was_up) tun_lib.link_raised = true;
    return 1;
}

int SetTunPtP(uint32_t local_ip, uint32_t remote_ip) {
    {
        std::lock_guard<std::mutex> g(tun_lib.lock);
        tun_lib.fakepmap_tcp.src_ip = remote_ip;
    }
    const int ifindex = open_ifindex();
    return ifindex && apply_address(ifindex, local_ip, remote_ip) ? 1 : 0;
}

int SetTunDHCP(uint32_t ip, uint32_t dhcp_server_ip, uint32_t lease_s) {
    const int ifindex = open_ifindex();
    if (!ifindex) return 0;
    {
        std::lock_guard<std::mutex> g(tun_lib.lock);
        tun_lib.dhcp_server_ip = dhcp_server_ip;
        tun_lib.dhcp_lease_s = lease_s;
    }
    // A lease hands out the address with a 255.255.255.255 mask and the
    // server as the one neighbour: on a point-to-point device, its peer.
    return apply_address(ifindex, ip, dhcp_server_ip) ? 1 : 0;
}

int SetTunDNS(uint32_t dns_ip) {
    if (!open_ifindex()) return 0;
    std::lock_guard<std::mutex> g(tun_lib.lock);
    tun_lib.dns_ip = dns_ip;
    return 1;
}

void SetTunRedirIP(uint32_t ip) {
    std::lock_guard<std::mutex> g(tun_lib.lock);
    tun_lib.fakepmap_tcp.dst_ip = ip;
}

void SetTapGuid(const char* guid) {
    if (!guid) return;
    std::lock_guard<std::mutex> g(tun_lib.lock);
    std::snprintf(tun_lib.tapname, sizeof tun_lib.tapname, "%s", guid);
}

void SetTunTcpListenPort(int port_net) {
    std::lock_guard<std::mutex> g(tun_lib.lock);
    tun_lib.fakepmap_tcp.dst_port = uint16_t(port_net);
}

void SetTunControlPort(int port_net) {
    std::lock_guard<std::mutex> g(tun_lib.lock);
    tun_lib.tun_control_port = uint16_t(port_net);
}

uint32_t GetTcpRedirDstIP(int port_host) {
    std::lock_guard<std::mutex> g(tun_lib.lock);
    return portmap_dst_ip(tun_lib.portmap, port_host);
}

uint32_t GetTcpRedirDstPort(int port_host) {
    std::lock_guard<std::mutex> g(tun_lib.lock);
    return portmap_dst_port(tun_lib.portmap, port_host);
}

void SetTcpRedirPortFordel(int port_host) {
    std::lock_guard<std::mutex> g(tun_lib.lock);
    portmap_release(tun_lib.portmap, port_host, tun_now_s());
}

uintptr_t StartTunThread() {
    if (tun_lib.hthread) return tun_lib.hthread;
    tun_lib.service_ip = built_in_service_ip();
    // A thread that could not be told to stop is not started at all.
    if (!make_stop_fd() || pthread_create(&tun_lib.thread, nullptr, thread_main, nullptr) != 0) {
        tun_lib.hthread = uintptr_t(-1);
        return tun_lib.hthread;
    }
    tun_lib.thread_joinable = true;
    tun_lib.hthread = uintptr_t(tun_lib.thread);
    return tun_lib.hthread;
}

void end_work() {
    if (!make_stop_fd()) return;
    if (eventfd_write(tun_lib.stop_fd, 1) != 0) return;
    if (tun_lib.thread_joinable && !pthread_equal(tun_lib.thread, pthread_self())) {
        pthread_join(tun_lib.thread, nullptr);
        tun_lib.thread_joinable = false;
    }
}

void tap_reader() { pump_run(tun_lib); }

}  // extern "C"
