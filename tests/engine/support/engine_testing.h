// Shared ground for the engine's unit tests: simulated time, the record
// tables, loopback sockets, a fixture that resets the engine around each
// test and captures its log, and the server's view of a session's command
// stream (inflated and parsed, or deflated into packets); and a fixture for
// tests that read a configuration file.
#pragma once

#include <sys/socket.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "engine/globals.h"
#include "protocol/commands.h"
#include "tests/engine/support/child.h"

namespace engine_testing {

using bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------- simulated time
// The tick source reads fake_ms; sleeps are recorded, never slept.
extern uint32_t fake_ms;
extern std::vector<uint32_t> sleeps;
uint32_t fake_tick();
void record_sleep(uint32_t ms);
// The start-up's waits as they are slept: in slices of at most 100 ms, so
// that a stop signal is seen within one.
std::vector<uint32_t> in_slices(const std::vector<uint32_t>& waits);

// ---------------------------------------------------------------- record tables
// What remote_table and local_table point at while an EngineTest runs.
extern remote_record remotes[remote_table_size];
extern local_entry locals[local_table_size];

// The record every session test talks to: 127.0.0.1 at port_net, speeds
// 1000..8000 in and 500..3000 out, 1472-byte packets, 50 ms ldelay.
void set_remote(remote_record& r, const char* name, uint16_t port_net);

// ---------------------------------------------------------------- sockets
// A non-blocking socket bound to 127.0.0.1 on a free port (network order in
// *port_net when asked for).
int loopback_socket(int type, uint16_t* port_net);
inline int udp_socket(uint16_t* port_net) { return loopback_socket(SOCK_DGRAM, port_net); }
// A listening TCP socket bound to addr_net on a free port; -1 when the
// address cannot be bound.
int tcp_listener(uint32_t addr_net, uint16_t* port_net);
// A connected TCP pair on loopback: {engine side (non-blocking), client side}.
std::pair<int, int> tcp_pair();
bool wait_readable(int fd, int ms = 5000);
bool fd_open(int fd);
// One datagram from `from` to 127.0.0.1 at port_net.
void send_datagram(int from, uint16_t port_net, const void* data, size_t n);
// Every datagram waiting on a non-blocking socket, after settle_us for
// loopback delivery.
std::vector<bytes> drain_datagrams(int fd, int settle_us = 2000);

std::string read_all(FILE* f);

// A name lookup for resolve_set_impl: dotted quads and "localhost" resolve;
// any other name fails here and never becomes a query on the network.
bool hosts_only(const char* host, uint32_t* addr_net);

// ---------------------------------------------------------------- commands
// One command as the server's parser reports it. Codes: 0 open, 1 open of an
// internal service, 2 end, 3 data (consecutive data of one stream joined),
// 4 stop, 5 continue, 6 tunnel packet, 7 shutdown.
struct rec {
    int code;
    uint16_t id;
    uint8_t service;
    uint32_t addr;
    uint16_t port;
    std::string name;
    std::string data;
};
extern const cmd_handlers recorder;  // ctx: std::vector<rec>*
int count_code(const std::vector<rec>& v, int code);

bytes data_cmd(uint16_t id, const std::string& payload);
bytes stream_cmd(cmd_code code, uint16_t id);
bytes open_cmd(uint16_t id, uint32_t addr_net, uint16_t port_net, const std::string& name = "");
bytes open_internal_cmd(uint8_t service, uint16_t id);
bytes tunnel_cmd(uint16_t len, uint8_t fill);
bytes cat(std::initializer_list<bytes> parts);

// The server's ends of a session's two compressed directions.
class server_codec {
public:
    server_codec();
    ~server_codec();
    server_codec(const server_codec&) = delete;
    server_codec& operator=(const server_codec&) = delete;

    // Takes what the session has deflated so far (nothing is flushed first)
    // and inflates it.
    std::string take_output(stx_session* s);
    // Flushes the session and parses everything new as the server would.
    std::vector<rec> take_commands(stx_session* s);
    // Deflated by the server into one packet payload.
    bytes packet(const bytes& plain);

private:
    z_stream in_{};
    z_stream out_{};
    cmd_parser parser_;
};

// ---------------------------------------------------------------- fixture
// Resets the engine's globals and descriptor table, sets simulated time at
// start_ms with recorded sleeps, logs at level 1 into a temporary file,
// gives spare_socket a loopback UDP socket and points the record tables at
// cleared `remotes` and `locals`. Tear-down closes every session, every
// socket in the table and in extra_fds, and undoes all of it.
class EngineTest : public ::testing::Test {
protected:
    explicit EngineTest(uint32_t start_ms = 100000) : start_ms_(start_ms) {}
    void SetUp() override;
    void TearDown() override;

    std::string log_text() { return read_all(log); }
    bool logged(const std::string& line) { return log_text().find(line) != std::string::npos; }

    // A UDP socket on loopback plays the server (fake_server, fake_port);
    // the engine's own UDP socket (server_udp_fd, engine_port) is
    // registered; remotes[0] is "alpha" on the fake server.
    // Returns the index of the engine socket's entry.
    int start_fake_server();
    // A session made the way a listener makes it: [local] 0 names
    // remotes[0] in `mode` and its listener entry asks find_session. Starts
    // the fake server first when there is none.
    stx_session* make_session(int mode = mode_socks5);

    FILE* log = nullptr;
    std::vector<int> extra_fds;  // closed on tear-down
    int fake_server = -1;
    uint16_t fake_port = 0, engine_port = 0;

private:
    uint32_t start_ms_;
};

// Tests of what reading a configuration makes: the engine's globals are
// reset around each; load() writes the text into a temporary folder and
// reads it; tear-down closes every socket in the descriptor table and puts
// the configuration file name back.
class ConfigFileTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    void load(const std::string& text);

    test_support::temp_dir dir;
    std::string path;
};

}  // namespace engine_testing
