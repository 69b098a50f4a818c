#include "protocol/packet.h"

#include <cstdlib>

#include "protocol/hooks.h"

stx_packet* packet_alloc() {
    auto* p = static_cast<stx_packet*>(std::calloc(1, sizeof(stx_packet)));
    if (!p) proto_fatal(__LINE__, "mymalloc failed on allocating memory for packet");
    return p;
}

void packet_free(stx_packet* p) {
    if (!p) return;
    // The mark is what the queue guards look for when a stale pointer is
    // handed back to them.
    p->freed = 1;
    std::free(p);
}
