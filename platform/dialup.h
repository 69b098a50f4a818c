// Dial-up connections over pppd, standing in for the Windows remote access
// service: phone-book entries are the peer files of pppd, a connection is a
// running pppd link found through its pid file, dialling runs
// "pppd call NAME linkname NAME updetach" and hanging up sends SIGTERM.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct dialup_paths {
    std::string peers_dir;  // one file per phone-book entry
    std::string run_dir;    // where pppd keeps "ppp-<linkname>.pid"
    std::string pppd;       // the program that dials
};

// The system's paths, or those named by QUORIN_PPP_PEERS, QUORIN_PPP_RUNDIR
// and QUORIN_PPPD (a test setting: a fake pppd and scratch directories).
dialup_paths dialup_default_paths();
dialup_paths dialup_get_paths();
void dialup_set_paths(const dialup_paths& paths);

// Phone-book entry names, sorted; empty when the directory cannot be read.
std::vector<std::string> dialup_entries();

struct dialup_connection {
    std::string entry;  // the link name, which is the entry that was dialled
    pid_t pid = -1;
};

// Running links. Returns 0, or an errno value when the run directory cannot
// be read.
int dialup_connections(std::vector<dialup_connection>* out);
// Returns 0 once the link was told to end, else an errno value.
int dialup_hang_up(const dialup_connection& c);
// True while the link's pppd runs and keeps its pid file.
bool dialup_connection_alive(const dialup_connection& c);

// One dialling in progress: pppd in the foreground until the link is up
// (updetach), so its exit tells success (0) or failure (pppd's exit status).
struct dialup_call {
    pid_t pid = -1;
};
// Returns 0 with the call started, else an errno value.
int dialup_dial_start(const std::string& entry, dialup_call* call);
// 0: still dialling; 1: the link is up; -1: failed, *error = pppd's exit
// status (128 + signal number when it was killed).
int dialup_dial_poll(dialup_call* call, int* error);
// Stops a dialling (SIGTERM) and waits for it; *error as for a failure.
void dialup_dial_cancel(dialup_call* call, int* error);
