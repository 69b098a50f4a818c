// What the DVB tests share: libdvb.so and the fake tuner reader loaded as the
// interface loads them, a loopback UDP socket, and sections in packets.
#pragma once

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/dvb/fake_kestrix.h"
#include "tests/e2e/harness.h"
#include "tools/dvb/dvb_api.h"
#include "tools/dvb/mpe.h"

namespace dvb_testing {

using bytes = std::vector<uint8_t>;

// The fake is held by the test too, so that its state outlives the library's
// unloading and loading of its reader.
struct loaded_dvb {
#define DVB_TESTING_POINTER(name) decltype(&::name) name = nullptr;
    DVB_API_FUNCTIONS(DVB_TESTING_POINTER)
#undef DVB_TESTING_POINTER
    void* fake_lib = nullptr;
    void* lib = nullptr;
    fake_kestrix* fake = nullptr;
    fake_kestrix_deliver_fn* deliver = nullptr;

    // with_fake false: the library loads the real tuner reader by itself.
    bool load(bool with_fake = true) {
        lib = dlopen(e2e::bin_path("libdvb.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!lib) return false;
        if (with_fake) {
            fake_lib = dlopen(e2e::bin_path("libKestrixFake.so").c_str(), RTLD_NOW | RTLD_LOCAL);
            if (!fake_lib) return false;
            fake = reinterpret_cast<fake_kestrix_state_fn*>(dlsym(fake_lib, "FakeKestrix"))();
            fake->reset();
            deliver = reinterpret_cast<fake_kestrix_deliver_fn*>(dlsym(fake_lib, "FakeKestrixDeliver"));
        }
        bool all = true;
#define DVB_TESTING_BIND(name)                                              \
    name = reinterpret_cast<decltype(name)>(dlsym(lib, #name));             \
    all = all && name;
        DVB_API_FUNCTIONS(DVB_TESTING_BIND)
#undef DVB_TESTING_BIND
        return all;
    }
    ~loaded_dvb() {
        if (DvbStop) DvbStop();
        if (lib) dlclose(lib);
        if (fake_lib) dlclose(fake_lib);
    }
};

// A loopback UDP socket on a port of its own: the engine's, or a card's feed.
struct udp_socket {
    int fd = -1;
    uint16_t port = 0;
    udp_socket() {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        // Room for a burst while the reader is descheduled (beyond rmem_max as root).
        const int buf = 8 << 20;
        if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buf, sizeof buf) != 0)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t al = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &al);
        port = ntohs(a.sin_port);
    }
    ~udp_socket() { close(fd); }
    udp_socket(const udp_socket&) = delete;
    udp_socket& operator=(const udp_socket&) = delete;
    bytes receive(double timeout_s) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, int(timeout_s * 1000)) <= 0) return {};
        bytes d(65536);
        const ssize_t n = recv(fd, d.data(), d.size(), 0);
        d.resize(n > 0 ? size_t(n) : 0);
        return d;
    }
    std::string receive_text(double timeout_s) {
        const bytes d = receive(timeout_s);
        return std::string(d.begin(), d.end());
    }
    void send_to(uint16_t to_port, const void* data, size_t n) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(to_port);
        sendto(fd, data, n, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
};

inline bytes section_for(uint32_t dst, const bytes& payload, uint16_t dst_port = 2080) {
    uint8_t ip[section_max_bytes], mac[6];
    const size_t n = ipv4_udp_build(inet_addr("192.0.2.7"), 5555, dst, dst_port, 1, payload.data(), payload.size(),
                                    ip, sizeof ip);
    mpe_mac_for(dst, mac);
    bytes s(section_max_bytes);
    s.resize(mpe_build(mac, ip, n, s.data(), s.size()));
    return s;
}

inline bytes section_for(uint32_t dst, const std::string& text) { return section_for(dst, bytes(text.begin(), text.end())); }

inline bytes packetize(ts_packetizer& t, const std::vector<bytes>& sections) {
    std::vector<section_ref> refs;
    for (const bytes& s : sections) refs.push_back({s.data(), s.size()});
    bytes out;
    ts_packetize(t, refs.data(), refs.size(), out);
    return out;
}

}  // namespace dvb_testing
