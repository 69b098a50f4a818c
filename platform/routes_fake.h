// An in-memory routing table behind the route operations, for tests: it
// answers dumps, refuses duplicates and unknown deletions as the kernel
// does, records every call, and wakes an open monitor on every change made
// from outside (the operations' own changes do not wake it, as with the
// kernel).
#pragma once

#include <string>
#include <vector>

#include "platform/routes.h"

namespace routes_fake {

// Installs the fake with this table and an empty call record.
void install(const std::vector<route_row>& table);
void uninstall();  // back to rtnetlink

std::vector<route_row> table();
// "dump", "add <route>", "del <route>", "monitor" in call order.
std::vector<std::string> calls();
void clear_calls();
// A change made by someone else: applied and announced, not recorded.
void outside_add(const route_row& r);
void outside_del(const route_row& r);
// How many monitors wait right now (a test waits for 1 before it changes
// the table).
int waiting_monitors();

}  // namespace routes_fake
