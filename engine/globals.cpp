#include "engine/globals.h"

#include <cstring>

runtime_settings runtime;
remote_record* remote_table = nullptr;
int remote_count = 0;
local_entry* local_table = nullptr;
int local_count = 0;
service_entry services_table[services_table_size];
uint16_t invalid_ports[invalid_ports_max];
int invalid_ports_count = 0;

engine_stats stats;

fd_poll_table fd_poll;
int pending_removals = 0;
uint32_t marked_streams_total = 0;
int spare_socket = -1;
double shortage_last = -1;
double accept_paused_until = 0;

double now = 0;
double last_compaction = 0;
double last_traffic_line = 0;
int cur_index = -1;
stx_session* cur_session = nullptr;
s_stream* cur_stream = nullptr;

shared_budget budget;
uint32_t budget_stops = 0;

stx_session* session_head = nullptr;
uint64_t buf_out_total = 0;

line_limit datagram_lines[datagram_line_kinds];

char* log_line = nullptr;
uint8_t* scratch = nullptr;

ui_bindings ui;
tun_bindings tun;
uint8_t tunnel_available = 0;
uint16_t tunnel_send_slot = 0;

void globals_reset() {
    runtime_defaults();
    remote_count = 0;
    local_count = 0;
    std::memset(services_table, 0, sizeof services_table);
    std::memset(invalid_ports, 0, sizeof invalid_ports);
    invalid_ports_count = 0;
    stats = engine_stats{};
    pending_removals = 0;
    marked_streams_total = 0;
    shortage_last = -1;
    accept_paused_until = 0;
    now = 0;
    last_compaction = 0;
    last_traffic_line = 0;
    cur_index = -1;
    cur_session = nullptr;
    cur_stream = nullptr;
    budget = shared_budget{};
    budget_stops = 0;
    session_head = nullptr;
    for (line_limit& l : datagram_lines) l = line_limit{};
    buf_out_total = 0;
    ui = ui_bindings{};
    tun = tun_bindings{};
    tunnel_available = 0;
    tunnel_send_slot = 0;
}
