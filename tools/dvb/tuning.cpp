#include "tools/dvb/tuning.h"

#include <algorithm>

namespace {

constexpr uint8_t committed_base = 0xF0;   // "clear all" nibble
constexpr uint8_t committed_high_band = 0x01;
constexpr uint8_t committed_horizontal = 0x02;
constexpr uint8_t committed_position_b = 0x04;
constexpr uint8_t committed_option_b = 0x08;
constexpr int32_t level_offset_dbm = 100;

}  // namespace

diseqc_call dvb_diseqc_for(int32_t type, int32_t position, int32_t polarisation, uint32_t frequency,
                           uint32_t lof_switch) {
    diseqc_call c;
    if (type == dvb_diseqc_simple && (position == 1 || position == 2)) {
        c.send = true;
        c.type = kestrix_diseqc_tone_burst;
        c.data = uint8_t(position - 1);
    } else if (type == dvb_diseqc_committed && position >= 1 && position <= 4) {
        c.send = true;
        c.type = kestrix_diseqc_committed;
        uint8_t d = committed_base;
        if (position == 2 || position == 4) d |= committed_option_b;
        if (position == 3 || position == 4) d |= committed_position_b;
        if (polarisation == 0) d |= committed_horizontal;
        if (frequency > lof_switch) d |= committed_high_band;
        c.data = d;
    }
    return c;
}

int32_t dvb_level_percent(int32_t dbm) {
    return std::clamp<int64_t>(int64_t(dbm) + level_offset_dbm, 0, 100);
}

int32_t dvb_quality_percent(int32_t quality) { return std::clamp<int32_t>(quality, 0, 100); }
