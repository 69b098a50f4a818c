// Session timers, sending, resending and rate control.
#pragma once

#include "engine/globals.h"

void session_timers();
void send_packets(stx_session* s);
void speed_control(stx_session* s);
void process_rx(stx_session* s);
void resend_all(stx_session* s);
void resend_packets(stx_session* s, stx_packet* p);
