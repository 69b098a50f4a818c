// Adapters and addresses held in memory, for tests: the address-change wait
// returns at once (recorded with its bound) with a change, or what a test's
// function answers; releases and renewals are recorded and change nothing,
// and a renewal can be made to fail.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/adapters.h"

namespace adapters_fake {

void install(const std::vector<adapter_entry>& list, const std::vector<adapter_address>& addresses);
void uninstall();  // back to rtnetlink

// "watch", "wait <ms>", "list", "addresses", "release <index>", "renew <index>".
std::vector<std::string> calls();
void fail_renew(int err);  // 0: renewals succeed
// Each wait answers fn(bound) (nullptr: a change); install() clears it.
void answer_waits(int (*fn)(uint32_t ms));

}  // namespace adapters_fake
