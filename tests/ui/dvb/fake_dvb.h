// A DVB library for the window's tests (built as testlibs/dvb_*/libdvb.so):
// the seven functions against the library's own header, with the results
// and figures a test sets and a journal of the calls. Tests reach its state
// through FakeDvb(), resolved by name. Variants leave functions out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/dvb/dvb_api.h"

struct fake_dvb {
    // Set by the test.
    std::vector<std::string> cards = {"Card A", "Card B"};
    int count = -1;  // GetCardCount's result; -1: the number of cards
    int start_result = 1;
    int init_result = 0;
    int level = 55, quality = 80;
    uint64_t packets = 0, discontinuities = 0, filter_bytes = 0, filter_packets = 0, crc_errors = 0;

    // One line per call: "GetCardCount(Kestrix.dll)", "GetCardName(1)",
    // "StartCard(0)", "DvbStop", "init", "GetStat", "GetFilterStat".
    std::vector<std::string> journal;
    // The last init's seventeen numbers (as 32-bit patterns) and its name.
    std::vector<uint32_t> init_values;
    std::string init_reader;

    void reset() { *this = fake_dvb(); }
};

using fake_dvb_state_fn = fake_dvb*();
