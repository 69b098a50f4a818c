// A tuner reader for the DVB library's tests (libKestrixFake.so, loaded as
// "KestrixFake.dll"): the exports the library calls, a journal of the calls
// with their arguments, configurable results and signal, and a delivery of
// transport-stream buffers to the registered filters. Tests reach its state
// through FakeKestrix(), resolved by name.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "tools/dvb/kestrix_calls.h"

struct fake_kestrix {
    // Set by the test.
    std::vector<std::string> cards = {"Fake card 0", "Fake card 1"};
    int check_result = 1;
    int start_result = 1;
    int tune_result = 1;
    int diseqc_result = 1;
    int filter_result = 1;
    SignalStatistic signal = {1, 80, 1, -45};

    // Kept by the fake. The journal holds one line per call, e.g.
    // "SetChannelExEx(11595000,29270000,1,0,9750000,10600000,11700000,2,0,0,0)".
    std::mutex mutex;
    std::vector<std::string> journal;
    bool listed = false;
    int started = -1;
    uint32_t next_filter = 0;
    struct filter {
        uint16_t pid;
        kestrix_packet_fn* callback;
        uint32_t number;
    };
    std::vector<filter> filters;

    // As loaded: the fake may stay loaded between the tests of one process.
    void reset() {
        cards = {"Fake card 0", "Fake card 1"};
        check_result = start_result = tune_result = diseqc_result = filter_result = 1;
        signal = {1, 80, 1, -45};
        std::lock_guard<std::mutex> lock(mutex);
        journal.clear();
        listed = false;
        started = -1;
        next_filter = 0;
        filters.clear();
    }
};

// The fake's state, and its delivery: buffer of whole packets, handed packet
// by packet to the filters of their PIDs on the calling thread. Returns the
// number of packets that reached a filter.
using fake_kestrix_state_fn = fake_kestrix*();
using fake_kestrix_deliver_fn = int(const uint8_t* data, uint32_t length);
