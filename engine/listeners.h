// Local listeners and the proxy handshakes.
#pragma once

void tcp_accept();
void process_case_2();
// Tunnel mode: slot indexes from the tunnel control connection.
void tunnel_read_slots();
