// The tuner reader's exports that the DVB library calls. The library binds
// them by name with types taken from the declarations (decltype(&SetFilter));
// the test double implements them against them. The reader's own interface
// header is the one to use; the declarations below stand in for it, with the
// same names and signatures, only where it is not in the tree.
#pragma once

#include <cstdint>

#if __has_include("tuner/kestrix_api.h")
#include "tuner/kestrix_api.h"
#else

// Callback types of SetFilter: 4 is a plain C call, the only one used here.
constexpr uint32_t kestrix_cdecl = 4;
// A filter callback gets one 188-byte packet, valid only during the call.
using kestrix_packet_fn = void(const uint8_t* data, uint32_t length);
// Called once per card by the first successful CheckForDVBEx of the process.
using kestrix_device_fn = void(int index, const char* name);

struct SignalStatistic {
    int32_t Locked;
    int32_t Quality;  // percent
    int32_t Present;  // always 1
    int32_t Level;    // dBm
};

// Every export returns 1 on success and 0 on failure (SendDiSEqC: the maker's
// result).
extern "C" {
int CheckForDVBEx(kestrix_device_fn* callback);
int StartDVBEx(uint32_t device);
int StopDVB();
int SetChannelExEx(uint32_t frequency, uint32_t symbol_rate, uint32_t polarisation, uint32_t fec, uint32_t lof1,
                   uint32_t lof2, uint32_t lof_switch, uint32_t modulation, uint32_t inversion, uint32_t pilot,
                   uint32_t rolloff);
int SendDiSEqC(uint32_t type, uint8_t data);
int SetFilter(uint16_t pid, void* callback, uint32_t callback_type, uint32_t size, uint32_t* filter_number);
int DelFilter(uint32_t filter_number);
int Statistic(SignalStatistic* statistic);
}
#endif

// The exports above, for binding them by name.
#define KESTRIX_CALLS(X) \
    X(CheckForDVBEx) X(StartDVBEx) X(StopDVB) X(SetChannelExEx) X(SendDiSEqC) X(SetFilter) X(DelFilter) X(Statistic)
