#include "tun/pump.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/msgbox.h"
#include "tun/packet.h"
#include "tun/tun_api.h"

namespace {

// Packets taken from the device before the stop signal and the engine's
// indexes are looked at again.
constexpr int device_reads_per_pass = 256;
constexpr size_t control_read_bytes = 256;

enum poll_slot { stop_slot, device_slot, control_slot, poll_slots };

struct pump {
    tun_library& lib;
    pollfd fds[poll_slots];
    int device_fd = -1;
    int listen_fd = -1;
    uint8_t next_recv_slot = 0;  // wraps from 255 to 0
    uint8_t packet[tun_slot_data_bytes];
};

void error_box(const char* format, int result, int err) {
    char text[64];
    std::snprintf(text, sizeof text, format, result, err);
    message_box(text, "Error");
}

bool transient(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

// The listening side of the slot-index connection. A failed step is shown
// and ends the set-up: a socket that did not bind is not made to listen on
// whatever port the system would pick.
int open_control_listener(uint16_t port_net) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error_box("WSA %i err %i", fd, errno);
        return -1;
    }
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    at.sin_port = port_net;
    int r = bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
    if (r != 0) {
        error_box("Ires1 %i err %i", r, errno);
        close(fd);
        return -1;
    }
    r = listen(fd, 1);
    if (r != 0) {
        error_box("Ires2 %i err %i", r, errno);
        close(fd);
        return -1;
    }
    return fd;
}

void accept_engine(pump& p) {
    const int fd = accept4(p.listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
        // A connection that went away before it was taken leaves the
        // listener waiting for the next one.
        if (transient(errno) || errno == ECONNABORTED) return;
        error_box("Ires3 %i err %i", fd, errno);
    } else {
        // Each index is one byte: none may wait for the one before it.
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        p.lib.control_fd = fd;
    }
    close(p.listen_fd);
    p.listen_fd = -1;
    p.fds[control_slot].fd = fd;
    // What the device queued meanwhile is read now, with somewhere to go.
    p.fds[device_slot].fd = p.device_fd;
}

void pass_to_engine(pump& p, size_t n) {
    PacketSlot& slot = recvbuf[p.next_recv_slot];
    // The engine has not copied this slot out yet: the packet is lost, not
    // the one in the slot. The index stays for the next packet.
    if (tun_slot_length(slot) != 0) return;
    std::memcpy(slot.data, p.packet, n);
    tun_slot_fill(slot, uint16_t(n));
    const uint8_t index = p.next_recv_slot;
    const int fd = p.lib.control_fd;
    if (fd < 0 || send(fd, &index, 1, MSG_NOSIGNAL | MSG_DONTWAIT) != 1) tun_slot_free(slot);
    p.next_recv_slot = uint8_t(p.next_recv_slot + 1);
}

void read_device(pump& p) {
    const int fd = p.fds[device_slot].fd;
    for (int i = 0; i < device_reads_per_pass; i++) {
        const ssize_t n = read(fd, p.packet, sizeof p.packet);
        if (n < 0 && transient(errno)) return;
        if (n <= 0) {
            // The device is gone (deleted under us): stop reading it.
            p.fds[device_slot].fd = -1;
            return;
        }
        // The device reports a packet's whole length even when the buffer
        // took only its first 1500 bytes.
        if (size_t(n) > sizeof p.packet) continue;
        packet_action action;
        {
            std::lock_guard<std::mutex> g(p.lib.lock);
            action = handle_device_packet(p.lib.portmap, p.lib.fakepmap_tcp, p.lib.service_ip, p.packet, size_t(n),
                                          tun_now_s());
        }
        if (action == packet_action::to_engine) pass_to_engine(p, size_t(n));
        if (action == packet_action::to_device) (void)write(fd, p.packet, size_t(n));
    }
}

void write_from_slot(pump& p, uint8_t index) {
    PacketSlot& slot = sendbuf[index];
    const uint16_t n = tun_slot_length(slot);
    const int fd = p.fds[device_slot].fd;
    if (n > 0 && n <= tun_slot_data_bytes && fd >= 0) (void)write(fd, slot.data, n);
    tun_slot_free(slot);
}

void read_control(pump& p) {
    uint8_t indexes[control_read_bytes];
    const ssize_t n = recv(p.fds[control_slot].fd, indexes, sizeof indexes, MSG_DONTWAIT);
    if (n < 0 && transient(errno)) return;
    if (n <= 0) {
        // The engine closed its end or the connection failed: no more
        // packets come from it; packets for it still fill the slots.
        p.fds[control_slot].fd = -1;
        return;
    }
    for (ssize_t i = 0; i < n; i++) write_from_slot(p, indexes[i]);
}

}  // namespace

void pump_run(tun_library& lib) {
    pump p{lib, {}, -1, -1, 0, {}};
    uint16_t control_port;
    {
        std::lock_guard<std::mutex> g(lib.lock);
        control_port = lib.tun_control_port;
        p.device_fd = lib.device == device_state::open ? lib.device_fd : -1;
    }
    p.fds[stop_slot].fd = lib.stop_fd;
    // The device waits for the engine's connection, unless there will be none.
    p.listen_fd = open_control_listener(control_port);
    p.fds[control_slot].fd = p.listen_fd;
    p.fds[device_slot].fd = p.listen_fd < 0 ? p.device_fd : -1;
    for (pollfd& f : p.fds) f.events = POLLIN;

    for (;;) {
        for (pollfd& f : p.fds) f.revents = 0;
        if (poll(p.fds, poll_slots, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (p.fds[stop_slot].revents) break;
        if (p.fds[device_slot].revents) read_device(p);
        if (p.fds[control_slot].revents) {
            if (p.listen_fd >= 0)
                accept_engine(p);
            else
                read_control(p);
        }
    }

    if (p.listen_fd >= 0) close(p.listen_fd);
    tun_device_close(lib);
}
