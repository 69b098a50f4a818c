#include "tuner/tuning.h"

#include <iterator>

#include "tools/tevii/tevii_api.h"

namespace {

constexpr int modulation_codes[] = {
    tevii_mod_auto,         tevii_mod_dvbs_qpsk,    tevii_mod_dvbs2_8psk,
    tevii_mod_dvbs2_16apsk, tevii_mod_dvbs2_32apsk, tevii_mod_dvbs2_qpsk,
    tevii_mod_turbo_qpsk,   tevii_mod_turbo_8psk,   tevii_mod_turbo_16psk,
};
constexpr int fec_codes[] = {
    tevii_fec_auto, tevii_fec_1_2, tevii_fec_2_3, tevii_fec_3_4,  tevii_fec_4_5,
    tevii_fec_5_6,  tevii_fec_7_8, tevii_fec_8_9, tevii_fec_9_10, tevii_fec_3_5,
};

template <size_t n>
int lookup(const int (&codes)[n], uint32_t index) {
    return index < n ? codes[index] : codes[0];
}

}  // namespace

int tevii_modulation_code(uint32_t modulation) { return lookup(modulation_codes, modulation); }

int tevii_fec_code(uint32_t fec) { return lookup(fec_codes, fec); }

int tevii_polarisation_code(uint32_t polarisation) {
    return polarisation == 0 ? tevii_pol_horizontal : tevii_pol_vertical;
}

band_choice choose_band(uint32_t frequency, uint32_t lof1, uint32_t lof2, uint32_t lof_switch) {
    if (frequency > lof_switch) return {lof2, tevii_tone_on};
    return {lof1, tevii_tone_off};
}
