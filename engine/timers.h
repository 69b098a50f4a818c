// Session timers, sending, resending and rate control.
#pragma once

#include "engine/globals.h"

void session_timers();
void send_packets(stx_session* s);
void speed_control(stx_session* s);
void process_rx(stx_session* s);
void resend_all(stx_session* s);
void resend_packets(stx_session* s, stx_packet* p);

// Steps of session_timers, callable on their own: the token bucket refill
// (with or without the shared totalspeed budget) and the stop/resume of
// reading from the session's local sockets.
void refill_allowance(stx_session* s);
void reading_control(stx_session* s);
