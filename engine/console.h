// The control console.
#pragma once

int sock_printf(int fd, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void control_accept();
void control_command();
void shutdown_sequence();
