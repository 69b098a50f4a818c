// Cases kept from fuzzing the engine (tests/fuzz): command streams that
// reach the places where streams are replaced, ended and removed while the
// session goes on. Internal services point at a loopback listener.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "engine/globals.h"
#include "engine/log.h"
#include "engine/loop.h"
#include "engine/session.h"
#include "engine/streams.h"
#include "platform/net.h"
#include "platform/sleep.h"
#include "platform/tick.h"
#include "protocol/commands.h"

namespace {

uint32_t fake_ms = 0;
uint32_t fake_tick() { return fake_ms; }
void no_sleep(uint32_t) {}

remote_record remotes[remote_table_size];
local_entry locals[local_table_size];

int loopback_socket(int type, uint16_t* port_net) {
    const int fd = socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    if (port_net) *port_net = a.sin_port;
    set_nonblocking(fd);
    return fd;
}

int ring_length(const stx_session* s) {
    int n = 0;
    if (const s_stream* st = s->stream_ring) {
        do {
            n++;
            st = st->next;
        } while (st != s->stream_ring);
    }
    return n;
}

class FuzzRegressions : public ::testing::Test {
protected:
    void SetUp() override {
        globals_reset();
        poll_reset();
        log_install_protocol_hooks();
        tick_set_source(fake_tick);
        sleep_set_impl(no_sleep);
        fake_ms = 100000;
        clock_reset();
        now = clock_now();
        log = std::tmpfile();
        runtime.log_file = log;
        runtime.debug = 1;
        runtime.ttcp = 0;
        spare_socket = loopback_socket(SOCK_DGRAM, nullptr);
        for (auto& r : remotes) r = remote_record{};
        for (auto& l : locals) l = local_entry{};
        remote_table = remotes;
        local_table = locals;

        sink = loopback_socket(SOCK_DGRAM, &sink_port);
        service = loopback_socket(SOCK_STREAM, &service_port);
        listen(service, 64);
        listener = loopback_socket(SOCK_STREAM, nullptr);
        server_udp_fd = loopback_socket(SOCK_DGRAM, nullptr);
        fd_append(server_udp_fd, ev_read, fd_server_udp, nullptr, nullptr, 0);
        const int listener_index = fd_append(listener, ev_read, fd_listener, nullptr, nullptr, 0);

        remote_record& r = remotes[0];
        std::snprintf(r.name, sizeof r.name, "fuzz");
        r.server_addr = htonl(INADDR_LOOPBACK);
        r.server_port = sink_port;
        r.speed_out_min = r.speed_out_max = r.speed_in_min = r.speed_in_max = 100000;
        r.mtu = 1472;
        r.tunnel_fd = -1;
        remote_count = 1;
        locals[0].remotes = {0};
        locals[0].service_number = 1;
        local_count = 1;
        for (service_entry& svc : services_table) svc = service_entry{htonl(INADDR_LOOPBACK), service_port};

        cur_index = listener_index;
        ASSERT_EQ(0, find_session());
        s = cur_session;
        s->working = 1;
    }
    void TearDown() override {
        while (session_head) close_session(session_head);
        if (pending_removals) fd_poll.count = poll_compact(fd_poll.count);
        for (int i = 0; i < fd_poll.count; i++)
            if (fd_poll.entries[i].fd != spare_socket) sock_close(fd_poll.entries[i].fd);
        poll_reset();
        for (int fd : {sink, service, spare_socket}) sock_close(fd);
        spare_socket = -1;
        server_udp_fd = -1;
        runtime.log_file = nullptr;
        std::fclose(log);
        remote_table = nullptr;
        local_table = nullptr;
        tick_set_source(nullptr);
        sleep_set_impl(nullptr);
    }

    void feed(const std::vector<uint8_t>& cmds) {
        fifo_write(&s->in_cmds, cmds.data(), uint32_t(cmds.size()));
        process_commands(s);
        if (pending_removals) fd_poll.count = poll_compact(fd_poll.count);
    }

    static void put(std::vector<uint8_t>& out, const uint8_t* b, size_t n) { out.insert(out.end(), b, b + n); }
    static void internal(std::vector<uint8_t>& out, uint16_t id) {
        uint8_t b[4];
        put(out, b, cmd_put_open_internal(b, 1, id));
    }
    static void data(std::vector<uint8_t>& out, uint16_t id, const char* text) {
        uint8_t b[4];
        const size_t n = std::strlen(text);
        put(out, b, cmd_put_data_header(b, uint16_t(n), id));
        put(out, reinterpret_cast<const uint8_t*>(text), n);
    }
    static void stream(std::vector<uint8_t>& out, cmd_code code, uint16_t id) {
        uint8_t b[4];
        put(out, b, cmd_put_stream(b, code, id));
    }

    FILE* log = nullptr;
    int sink = -1, service = -1, listener = -1;
    uint16_t sink_port = 0, service_port = 0;
    stx_session* s = nullptr;
};

// The server opens an id that our stream still holds: the old stream goes
// (without an end command of its own), the new one keeps the id and the
// data that follows, and removal of the old leaves the new in the table.
TEST_F(FuzzRegressions, ReopenedStreamIdReplacesTheOldStream) {
    std::vector<uint8_t> cmds;
    internal(cmds, 5);
    data(cmds, 5, "old data");
    stream(cmds, cmd_stop, 5);
    internal(cmds, 5);
    data(cmds, 5, "new");
    stream(cmds, cmd_stop, 5);
    stream(cmds, cmd_continue, 5);
    stream(cmds, cmd_continue, 5);
    feed(cmds);

    ASSERT_NE(nullptr, s->streams[5]);
    s_stream* st = s->streams[5];
    EXPECT_EQ(1, ring_length(s));
    EXPECT_EQ(1u, s->stream_count);
    EXPECT_EQ(3u, st->buf_out.len);
    EXPECT_FALSE(st->ended);
    ASSERT_GE(st->fd_index, 0);
    EXPECT_EQ(st, fd_poll.comp[st->fd_index].stream);

    // The server ends it; data behind the end reaches nothing.
    cmds.clear();
    stream(cmds, cmd_end, 5);
    data(cmds, 5, "late");
    stream(cmds, cmd_shutdown, 5);
    feed(cmds);
    EXPECT_EQ(0, ring_length(s));
    EXPECT_EQ(0u, s->stream_count);
    EXPECT_EQ(0, s->close_mark);
}

// A tunnel packet longer than buflen ends the session; nothing behind it in
// the stream is executed.
TEST_F(FuzzRegressions, OversizedTunnelPacketStopsTheStream) {
    std::vector<uint8_t> cmds;
    uint8_t b[4];
    put(cmds, b, cmd_put_tunnel_header(b, 4077));
    internal(cmds, 9);
    feed(cmds);
    EXPECT_EQ(1, s->close_mark);
    EXPECT_EQ(0u, s->stream_count);
    cmds.clear();
    internal(cmds, 10);
    feed(cmds);
    EXPECT_EQ(0u, s->stream_count);
}

}  // namespace
