// Every process-wide table and record of the engine, grouped by lifetime.
// The engine is one thread: these are read and written without locks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "protocol/fifo.h"
#include "protocol/session_core.h"
#include "tun/tun_api.h"
#include "ui/ui_api.h"

struct stx_session;
struct s_stream;

// ---------------------------------------------------------------- limits
constexpr int remote_table_size = 16;
constexpr int local_table_size = 64;
constexpr int services_table_size = 32;
constexpr int invalid_ports_max = 16;
constexpr int log_buffer_bytes = 2048;
// The engine's buffer: where commands are built, the largest local read,
// the ceiling and default of buflen and rcvbuf. One fifo node's data.
constexpr int scratch_bytes = int(fifo_node_data_bytes);
constexpr int fd_poll_step = 32;
constexpr int fd_poll_limit = 65000;
constexpr int stream_table_size = 65536;
constexpr int stream_limit_default = 200;
constexpr double stream_drain_limit_s = 60.0;
// What every stream's buf_out may hold together: each stream is bounded on
// its own, but hundreds of them would not be.
constexpr uint64_t buf_out_total_limit_bytes = 256ull << 20;
constexpr double compaction_interval_s = 0.3;

// ---------------------------------------------------------------- settings
// [server] keys; defaults are stored by runtime_defaults().
struct runtime_settings {
    int tos, ttl, ttcp;
    double ldelay_s;
    int qos, global_force_min_speed, maxburst, burstdivider;
    double minmeasuredrtt_s;
    std::string onconnect, onworking, onclose;
    int datatimeout_s, packetloss_agressivity, packer, traffic_s, verboselog;
    std::vector<char> verbose_text;  // one 2048-byte buffer per verboselog line
    int tcpbuf, streambuf, rcvbuf, mintcpread, buffertun, buflen, udpbuf, compression;
    int authretry, packetretry, ext_protocol, debug, syslog, prefetch, aggressive, antistale;
    int tcpsock_max, tcpsock_min, default_maxrtt;
    int tcpnodelay, tcpcork, memalign;
    int totalspeed;
    char qrid[256];
    FILE* log_file;
    uint32_t udpdstlog_addr;  // network order
    uint16_t udpdstlog_port;  // network order; 0: no copy
    double stream_drain_s;    // 60 s: how long a closed stream may keep data
    uint64_t buf_out_total_max;  // buf_out_total_limit_bytes
};

extern runtime_settings runtime;
void runtime_defaults();

// [remote] record.
struct remote_record {
    char name[64];
    uint32_t server_addr;  // network order
    uint16_t server_port;  // network order
    char login[16];
    char passwd[16];
    uint32_t speed_in_min, speed_in_max;
    uint32_t speed_out_min, speed_out_max;
    int mtu, mru;          // stored minus 28
    int maxrtt;
    double ldelay_s;
    int rdelay;
    int16_t lmode, rmode;
    int tunnel_fd;         // -1 until a [local] tunnel section names this record
    int16_t login_refused;
};

enum local_mode : int {
    mode_service_int = 0,
    mode_service_ext = 1,
    mode_transparent = 2,
    mode_tunnel = 3,
    mode_mux = 5,
    mode_tproxy = 6,
    mode_socks4 = 7,
    mode_socks5 = 8,
    mode_http = 9,
};

// [local] entry.
struct local_entry {
    std::vector<int> remotes;  // indexes into the [remote] table
    int mode;
    int service_number;        // -1 until set
    uint32_t ext_addr;         // network order
    uint16_t ext_port;         // network order
};

struct service_entry {
    uint32_t addr;  // network order
    uint16_t port;  // network order
};

extern remote_record* remote_table;  // remote_table_size records
extern int remote_count;
extern local_entry* local_table;     // local_table_size entries
extern int local_count;
extern service_entry services_table[services_table_size];
extern uint16_t invalid_ports[invalid_ports_max];  // network order
extern int invalid_ports_count;

// ---------------------------------------------------------------- statistics
struct engine_stats {
    uint64_t udp_in, udp_out, local_in, local_out;
    uint32_t datagrams_received, resends_asked, datagrams_sent, resent;
};
extern engine_stats stats;

// ---------------------------------------------------------------- descriptors
enum fd_type : uint8_t {
    fd_server_udp = 0,
    fd_listener = 1,
    fd_stream = 2,
    fd_console_listener = 3,
    fd_console = 4,
    fd_tunnel_device = 5,
};

enum : uint16_t { ev_read = 1, ev_write = 4, ev_error = 0x10 };
enum : uint8_t { close_requested = 1, close_peer_informed = 2 };
constexpr uint8_t delayed_bit = 0x80;
constexpr uint8_t local_index_mask = 0x7F;

struct poll_entry {
    int fd;
    uint16_t events;
    uint16_t revents;
};

struct poll_companion {
    stx_session* session;
    s_stream* stream;
    uint8_t close_flags;
    uint8_t local_delayed;  // [local] index (low 7 bits), delayed flag (top bit)
    uint8_t type;
};

struct fd_poll_table {
    poll_entry* entries = nullptr;
    poll_companion* comp = nullptr;
    int count = 0;
    int capacity = 0;
};

extern fd_poll_table fd_poll;
extern int pending_removals;   // entries marked and waiting for compaction
extern uint32_t marked_streams_total;  // streams marked for removal since start
extern int spare_socket;

// Running short of descriptors: the time of the last connection refused
// for want of one (negative: none yet), and the end of the listeners'
// pause after a failed accept (0: not paused).
extern double shortage_last;
extern double accept_paused_until;

// Loop state: handlers take no arguments and read these.
extern double now;
extern double last_compaction;
extern double last_traffic_line;
extern int cur_index;
extern stx_session* cur_session;
extern s_stream* cur_stream;

// Shared rate budget (totalspeed).
struct shared_budget {
    int64_t pool;
    int64_t total_demand;
    uint32_t demanding;
    uint32_t share;
    double next_share;
};
extern shared_budget budget;
extern uint32_t budget_stops;  // packer loops ended by the budget

// ---------------------------------------------------------------- streams
enum : uint16_t { hs_none = 0, hs_mux = 1, hs_socks4_listener = 2, hs_socks5_listener = 3, hs_socks5_request = 4 };
enum : uint8_t { conn_connecting_by_name = 1, conn_connecting = 2, conn_established = 3 };

struct s_stream {
    s_stream* next;  // session's stream ring
    s_stream* prev;
    s_stream* ready_next;  // session's ready list
    s_stream* ready_prev;
    uint8_t in_ready;
    uint16_t id;
    uint16_t handshake;
    int fd_index;
    uint8_t ended;
    uint8_t stopped;          // this side sent stop
    uint8_t stopped_by_peer;
    byte_fifo input;          // read from the local socket, not yet packed
    byte_fifo buf_out;        // from the server, not yet written
    uint8_t conn_state;
    uint64_t bytes_read;
    uint16_t redir_port;      // transparent mode, host order
    double stop_time;
    double last_io;
    double close_time;
    uint8_t local_end;
    uint8_t remote_end;
    uint8_t shutdown_sent;  // the shutdown (7) for local_end went out
};

// Bytes held in the buf_out of every stream of every session.
extern uint64_t buf_out_total;

// ---------------------------------------------------------------- sessions
struct stx_session : session_core {
    int local_index;
    uint32_t server_addr;  // network order
    uint16_t server_port;  // network order
    int tunnel_fd;
    stx_session* next;     // ring
    stx_session* prev;

    // Rate control.
    uint32_t speed_min, speed_max, speed;  // bytes per second
    uint32_t burst;
    double last_refill;
    double flush_interval_s;
    double loss_tolerance;
    double undelay_factor;
    uint32_t check_count;
    uint64_t period_sent;
    double period_time;
    uint32_t overload_count;
    double last_check;
    double compression_ratio;
    uint64_t packed_compressed, packed_raw;
    uint8_t delayed;
    uint32_t delay_count, stop_count, streambuf_delay_count;
    int64_t owed;
    uint32_t dropped_packets;
    uint32_t read_size;  // per-pass read size, cleared by the timers

    // Streams.
    s_stream** streams;    // stream_table_size entries
    s_stream* stream_ring;
    s_stream* ready_head;
    uint32_t ready_count;
    uint16_t next_stream_id;
    uint32_t stream_count;
    uint32_t stream_limit;
    uint32_t over_limit;
    uint32_t queued_input;  // bytes held in stream input fifos
    int streambuf;
    int sockbuf;            // SO_SNDBUF/SO_RCVBUF of accepted connections; 0 none

    // Tunnel packets.
    std::vector<uint32_t> networks;  // (address, mask) pairs, network order

    // Statistics of the session.
    uint32_t udp_in, udp_out, local_in, local_out;
};

extern stx_session* session_head;  // ring head, null when none

// ---------------------------------------------------------------- bounded log lines
// Lines that any sender can cause once per datagram (junk, unknown sessions):
// each kind is written a few times a second at most (log.h).
struct line_limit {
    double window_start;
    uint32_t written;   // in the window that began at window_start
    uint32_t left_out;
};
enum datagram_line : int {
    line_magic,
    line_too_short,
    line_short_requests,
    line_reset_unknown,
    line_unknown_session,
    line_reset_send_error,
    datagram_line_kinds,
};
extern line_limit datagram_lines[datagram_line_kinds];

// ---------------------------------------------------------------- buffers
extern char* log_line;         // log_buffer_bytes, shared by log_msg and sock_printf
extern uint8_t* scratch;       // scratch_bytes, where commands are built

// ---------------------------------------------------------------- bindings
struct ui_bindings {
    decltype(&::UIShowLoginForm) UIShowLoginForm;
    decltype(&::UIStartStat) UIStartStat;
    decltype(&::UIQuit) UIQuit;
    decltype(&::UIProgress) UIProgress;
};
extern ui_bindings ui;

// The tunnel library's exports, bound by name; their types come from the
// library's own header.
struct tun_bindings {
    decltype(&::InitTun) InitTun;
    decltype(&::SetTunMediaStatus) SetTunMediaStatus;
    decltype(&::SetTunPtP) SetTunPtP;
    decltype(&::SetTunDHCP) SetTunDHCP;
    decltype(&::SetTunDNS) SetTunDNS;
    decltype(&::SetTunRedirIP) SetTunRedirIP;
    decltype(&::SetTunTcpListenPort) SetTunTcpListenPort;
    decltype(&::GetTcpRedirDstIP) GetTcpRedirDstIP;
    decltype(&::GetTcpRedirDstPort) GetTcpRedirDstPort;
    decltype(&::StartTunThread) StartTunThread;
    decltype(&::SetTcpRedirPortFordel) SetTcpRedirPortFordel;
    decltype(&::SetTunControlPort) SetTunControlPort;
    decltype(&::SetTapGuid) SetTapGuid;
    decltype(&::end_work) end_work;
    PacketSlot* recvbuf;  // tun_slot_count slots
    PacketSlot* sendbuf;
};
extern tun_bindings tun;
extern uint8_t tunnel_available;
extern uint16_t tunnel_send_slot;  // next sendbuf slot, wraps at 256

// Returns every global above to its start-up state (tests).
void globals_reset();
