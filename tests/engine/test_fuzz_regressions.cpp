// Cases kept from fuzzing the engine (tests/fuzz): command streams that
// reach the places where streams are replaced, ended and removed while the
// session goes on, and configuration values at the ends of their range.
// Internal services point at a loopback listener.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include <gtest/gtest.h>

#include "engine/globals.h"
#include "engine/log.h"
#include "engine/loop.h"
#include "engine/session.h"
#include "engine/streams.h"
#include "platform/net.h"
#include "protocol/commands.h"
#include "tests/engine/support/engine_testing.h"

using namespace engine_testing;

namespace {

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

class FuzzRegressions : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        log_install_protocol_hooks();
        runtime.ttcp = 0;
        service = loopback_socket(SOCK_STREAM, &service_port);
        listen(service, 64);
        extra_fds.push_back(service);
        start_fake_server();

        remote_record& r = remotes[0];
        r = remote_record{};
        std::snprintf(r.name, sizeof r.name, "fuzz");
        r.server_addr = htonl(INADDR_LOOPBACK);
        r.server_port = fake_port;
        r.speed_out_min = r.speed_out_max = r.speed_in_min = r.speed_in_max = 100000;
        r.mtu = 1472;
        r.tunnel_fd = -1;
        locals[0].service_number = 1;
        for (service_entry& svc : services_table) svc = service_entry{htonl(INADDR_LOOPBACK), service_port};

        s = make_session(mode_service_int);
        ASSERT_FALSE(HasFailure());
        s->working = 1;
    }
    void TearDown() override {
        while (session_head) close_session(session_head);
        if (pending_removals) fd_poll.count = poll_compact(fd_poll.count);
        EngineTest::TearDown();
    }

    void feed(const bytes& cmds) {
        fifo_write(&s->in_cmds, cmds.data(), uint32_t(cmds.size()));
        process_commands(s);
        if (pending_removals) fd_poll.count = poll_compact(fd_poll.count);
    }

    int service = -1;
    uint16_t service_port = 0;
    stx_session* s = nullptr;
};

// The server opens an id that our stream still holds: the old stream goes
// (without an end command of its own), the new one keeps the id and the
// data that follows, and removal of the old leaves the new in the table.
TEST_F(FuzzRegressions, ReopenedStreamIdReplacesTheOldStream) {
    feed(cat({open_internal_cmd(1, 5), data_cmd(5, "old data"), stream_cmd(cmd_stop, 5), open_internal_cmd(1, 5),
              data_cmd(5, "new"), stream_cmd(cmd_stop, 5), stream_cmd(cmd_continue, 5), stream_cmd(cmd_continue, 5)}));

    ASSERT_NE(nullptr, s->streams[5]);
    s_stream* st = s->streams[5];
    EXPECT_EQ(1, ring_length(s));
    EXPECT_EQ(1u, s->stream_count);
    EXPECT_EQ(3u, st->buf_out.len);
    EXPECT_FALSE(st->ended);
    ASSERT_GE(st->fd_index, 0);
    EXPECT_EQ(st, fd_poll.comp[st->fd_index].stream);

    // The server ends it; data behind the end reaches nothing.
    feed(cat({stream_cmd(cmd_end, 5), data_cmd(5, "late"), stream_cmd(cmd_shutdown, 5)}));
    EXPECT_EQ(0, ring_length(s));
    EXPECT_EQ(0u, s->stream_count);
    EXPECT_EQ(0, s->close_mark);
}

// A tunnel packet longer than buflen ends the session; nothing behind it in
// the stream is executed.
TEST_F(FuzzRegressions, OversizedTunnelPacketStopsTheStream) {
    bytes header(3);
    cmd_put_tunnel_header(header.data(), 4077);  // the header alone
    feed(cat({header, open_internal_cmd(1, 9)}));
    EXPECT_EQ(1, s->close_mark);
    EXPECT_EQ(0u, s->stream_count);
    feed(open_internal_cmd(1, 10));
    EXPECT_EQ(0u, s->stream_count);
}

using ConfigFuzzRegressions = ConfigFileTest;

// mtu and mru are stored less their 28 header bytes, which the lowest values
// have no room for.
TEST_F(ConfigFuzzRegressions, LowestMtuAndMruDoNotOverflow) {
    load("[remote]\nname=a\nserver=127.0.0.1:5000\nmtu=-2147483648\nmru=-2147483630\n");
    ASSERT_EQ(remote_count, 1);
    EXPECT_EQ(remote_table[0].mtu, INT32_MIN);
    EXPECT_EQ(remote_table[0].mru, INT32_MIN);
}

}  // namespace
