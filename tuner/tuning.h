// The caller's tuning numbers in the maker's codes.
#pragma once

#include <cstdint>

// Caller's modulation 0 auto, 1 QPSK (DVB-S), 2 8PSK, 3 16APSK, 4 32APSK,
// 5 QPSK (DVB-S2), 6 Turbo QPSK, 7 Turbo 8PSK, 8 Turbo 16PSK; others: auto.
int tevii_modulation_code(uint32_t modulation);
// Caller's FEC 0..9; others: auto.
int tevii_fec_code(uint32_t fec);
// Polarisation 0 (horizontal/left) is 18 V; every other value 13 V.
int tevii_polarisation_code(uint32_t polarisation);

struct band_choice {
    uint32_t lof;
    int tone;
};
// High band (lof2, 22 kHz tone) only above the switch frequency.
band_choice choose_band(uint32_t frequency, uint32_t lof1, uint32_t lof2, uint32_t lof_switch);
