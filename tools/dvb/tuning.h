// How init's values become the tuner reader's calls: the switch command and
// the signal figures. Pure functions, so that the rules are tested directly.
#pragma once

#include <cstdint>

// init's DiSEqC types.
constexpr int32_t dvb_diseqc_none = 0;
constexpr int32_t dvb_diseqc_simple = 1;  // tone burst: position 1 is A, 2 is B
constexpr int32_t dvb_diseqc_committed = 2;  // DiSEqC 1.0/2.0 committed switch

// The tuner reader's SendDiSEqC types.
constexpr uint32_t kestrix_diseqc_tone_burst = 1;
constexpr uint32_t kestrix_diseqc_committed = 2;

struct diseqc_call {
    bool send = false;
    uint32_t type = 0;  // the reader's type
    uint8_t data = 0;
};

// Positions 1-4 are "POS A/OPT A", "POS A/OPT B", "POS B/OPT A", "POS B/OPT B"
// as the settings window names them. The committed byte also carries the
// polarisation (0 horizontal) and the band (high above lof_switch), as the
// switch passes the LNB's supply on. No call for type 0, an unknown type or a
// position the type does not have.
diseqc_call dvb_diseqc_for(int32_t type, int32_t position, int32_t polarisation, uint32_t frequency,
                           uint32_t lof_switch);

// The reader's strength in dBm as the 0-100 bar shows it: dBm + 100, clamped
// (-45 dBm, a good signal, shows 55).
int32_t dvb_level_percent(int32_t dbm);
int32_t dvb_quality_percent(int32_t quality);
