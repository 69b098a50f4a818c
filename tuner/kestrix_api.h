// The tuner reader, "Kestrix.dll" (libKestrix.so here): a flat C interface
// for one DVB-S/S2 tuner over the maker's library. Every export returns 1 on
// success and 0 on failure (StopDVB and the raw DiSEqC calls pass the maker's
// result on). Until a device is started, all but the check and start calls
// return 0 at once (StopDVB 1). Callers bind the exports by name with types
// taken from these declarations (decltype(&SetFilter)).
//
//   CheckForDVBEx(on_device);                   // lists the cards once
//   StartDVBEx(0);                              // 0xFFFFFFFF: Device_ID of kestrix.ini
//   SetChannel(11766000, 27500000, 0, 3, 9750000, 10600000, 11700000);
//   SetFilter(0x100, on_packet, kestrix_cdecl, 0, &number);   // on_packet(p, 188)
//   DelFilter(number);                          // no delivery reaches on_packet after it
//   StopDVB();
#pragma once

#include <cstdint>

// Exports are cdecl; callbacks name their own convention (32-bit x86 only;
// elsewhere the three are one).
#if defined(__i386__)
#define KESTRIX_CDECL __attribute__((cdecl))
#define KESTRIX_STDCALL __attribute__((stdcall))
#define KESTRIX_FASTCALL __attribute__((fastcall))
#else
#define KESTRIX_CDECL
#define KESTRIX_STDCALL
#define KESTRIX_FASTCALL
#endif

// SetFilter's callback type: how the packet callback is called.
constexpr uint32_t kestrix_fastcall = 1;
constexpr uint32_t kestrix_stdcall = 2;
constexpr uint32_t kestrix_cdecl = 4;

// Every PID filter is called with one 188-byte packet; the whole-stream
// filter (pid 8192) with every packet, or with every received buffer when
// kestrix.ini sets NoPidFilter. The pointer is valid only during the call.
using kestrix_packet_fn = void(const uint8_t* data, uint32_t length);
// The remote-control callback gets the address of the 32-bit key and 4.
using kestrix_remote_fn = void KESTRIX_STDCALL(const void* key, uint32_t length);
// Called once per card by the first successful CheckForDVBEx.
using kestrix_device_fn = void KESTRIX_STDCALL(int index, const char* name);

constexpr uint16_t kestrix_fullts_pid = 8192;
constexpr uint32_t kestrix_ini_device = 0xFFFFFFFF;

struct SignalStatistic {
    int32_t Locked;
    int32_t Quality;  // percent
    int32_t Present;  // always 1
    int32_t Level;    // dBm
};

extern "C" {
int KESTRIX_CDECL CheckForDVB();
int KESTRIX_CDECL CheckForDVBEx(kestrix_device_fn* callback);
int KESTRIX_CDECL StartDVB();
int KESTRIX_CDECL StartDVBEx(uint32_t device);
int KESTRIX_CDECL StopDVB();
int KESTRIX_CDECL SetChannel(uint32_t frequency, uint32_t symbol_rate, uint32_t polarisation, uint32_t fec,
                             uint32_t lof1, uint32_t lof2, uint32_t lof_switch);
int KESTRIX_CDECL SetChannelEx(uint32_t frequency, uint32_t symbol_rate, uint32_t polarisation, uint32_t fec,
                               uint32_t lof1, uint32_t lof2, uint32_t lof_switch, uint32_t modulation);
int KESTRIX_CDECL SetChannelExEx(uint32_t frequency, uint32_t symbol_rate, uint32_t polarisation, uint32_t fec,
                                 uint32_t lof1, uint32_t lof2, uint32_t lof_switch, uint32_t modulation,
                                 uint32_t inversion, uint32_t pilot, uint32_t rolloff);
// Filters and the remote-control slot: DelFilter and StopDVB return only
// when no delivery that may still call a removed callback is running (except
// when called from inside a callback): a caller that frees what its
// callback uses after them must not hold, while calling them, a lock that
// its callback takes.
int KESTRIX_CDECL SetFilter(uint16_t pid, void* callback, uint32_t callback_type, uint32_t size,
                            uint32_t* filter_number);
int KESTRIX_CDECL SetFilterEx(uint16_t pid, void* a, uint32_t x, uint32_t y, void* b);
int KESTRIX_CDECL SetBitFilter(uint16_t pid, void* p1, void* p2, uint8_t x, void* a, void* b);
int KESTRIX_CDECL DelFilter(uint32_t filter_number);
int KESTRIX_CDECL SetRemoteControl(uint32_t mode, uint16_t value, kestrix_remote_fn* callback,
                                   uint32_t* filter_number);
int KESTRIX_CDECL GetSignal(int* strength_dbm, int* quality_percent);
int KESTRIX_CDECL GetSignalStrength(float* strength_dbm, int* quality_percent);
int KESTRIX_CDECL Statistic(SignalStatistic* statistic);
int KESTRIX_CDECL SendDiSEqC(uint32_t type, uint8_t data);
int KESTRIX_CDECL SendDiseqCmd(const uint8_t* message, uint32_t length);
int KESTRIX_CDECL SendDiseqCmdEx(const uint8_t* message, uint32_t length, uint8_t* reply, uint32_t* reply_length);
}

// Export names, for checking what the library makes visible.
#define KESTRIX_EXPORTS(X)                                                                                          \
    X(CheckForDVB)                                                                                                  \
    X(CheckForDVBEx) X(StartDVB) X(StartDVBEx) X(StopDVB) X(SetChannel) X(SetChannelEx) X(SetChannelExEx)           \
        X(SetFilter) X(SetFilterEx) X(SetBitFilter) X(DelFilter) X(SetRemoteControl) X(GetSignal)                   \
            X(GetSignalStrength) X(Statistic) X(SendDiSEqC) X(SendDiseqCmd) X(SendDiseqCmdEx)
