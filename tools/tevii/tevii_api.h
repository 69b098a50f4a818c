// The tuner maker's library, "TeVii.dll" (libTeVii.so here): the ten
// functions the tuner reader resolves, as one list of function types. The
// library declares its exports from these types and the reader's binding
// table holds pointers of the same types, so the compiler checks that both
// sides agree. (The reader exports its own SendDiSEqC and SetRemoteControl
// with other signatures, hence types in a namespace rather than extern
// declarations that would collide in one translation unit.)
//
//   int n = FindDevices();                       // devices 0 .. n-1
//   OpenDevice(0, capture, ctx);                 // capture(ctx, bytes, len) on the card's thread
//   TuneTransponder(0, 11766000, 27500000, 10600000, tevii_pol_horizontal, tevii_tone_on,
//                   tevii_mod_dvbs2_8psk, tevii_fec_3_4);
//   GetSignalStatus(0, &locked, &strength_dbm, &quality_percent);
//   SendDiSEqC(0, bytes, 4, 2, 1);               // send twice, 22 kHz tone off around it
//   SetRemoteControl(0, keys, ctx);              // keys(ctx, code) on the card's thread
//   CloseDevice(0);                              // stops and joins the card's thread
#pragma once

#include <cstdint>

// The callbacks are stdcall and the exports cdecl, which matters only on
// 32-bit x86; elsewhere there is one calling convention.
#if defined(__i386__)
#define TEVII_STDCALL __attribute__((stdcall))
#define TEVII_CDECL __attribute__((cdecl))
#else
#define TEVII_STDCALL
#define TEVII_CDECL
#endif

namespace tevii_api {

// Received transport-stream bytes, in buffers of any length.
using capture_fn = void TEVII_STDCALL(void* context, const uint8_t* data, uint32_t length);
// One remote-control key per call.
using remote_fn = void TEVII_STDCALL(void* context, uint32_t key);

using GetAPIVersion = int TEVII_CDECL();
// The number of devices (0 or less: none).
using FindDevices = int TEVII_CDECL();
// Zero-terminated, or null for a device that does not exist. Valid until
// the next FindDevices.
using GetDeviceName = const char* TEVII_CDECL(int device);
using GetDevicePath = const char* TEVII_CDECL(int device);
// Non-zero on success; afterwards the capture callback receives the
// transport stream until CloseDevice.
using OpenDevice = int TEVII_CDECL(int device, capture_fn* capture, void* context);
// Stops the card's thread and waits for it, unless called from that thread
// (then it is joined by the next OpenDevice of the device).
using CloseDevice = int TEVII_CDECL(int device);
// Frequencies in kHz (the transponder's and the LNB's local oscillator),
// symbol rate in symbols per second; codes below. Non-zero on success.
using TuneTransponder = int TEVII_CDECL(int device, uint32_t frequency_khz, uint32_t symbol_rate, uint32_t lof_khz,
                                        int polarisation, int tone, int modulation, int fec);
// Lock flag (0 or 1), strength in dBm, quality in percent. Non-zero on success.
using GetSignalStatus = int TEVII_CDECL(int device, int* locked, int* strength_dbm, int* quality_percent);
// A DiSEqC master command of 1 to 6 bytes, sent `times` times (0 counts as
// one); with tone_off set the 22 kHz tone is switched off around it and
// restored afterwards. Non-zero on success.
using SendDiSEqC = int TEVII_CDECL(int device, const uint8_t* message, uint32_t length, int times, int tone_off);
// Non-zero when the card has a remote-control receiver; keys then reach the
// callback until CloseDevice.
using SetRemoteControl = int TEVII_CDECL(int device, remote_fn* keys, void* context);

}  // namespace tevii_api

// The order in which the reader resolves them.
#define TEVII_FUNCTIONS(X)                                                                                        \
    X(GetAPIVersion)                                                                                              \
    X(FindDevices) X(GetDeviceName) X(GetDevicePath) X(OpenDevice) X(CloseDevice) X(TuneTransponder)             \
        X(GetSignalStatus) X(SendDiSEqC) X(SetRemoteControl)

// Polarisation: the LNB supply voltage that selects it.
constexpr int tevii_pol_vertical = 1;    // 13 V (also circular right)
constexpr int tevii_pol_horizontal = 2;  // 18 V (also circular left)
// Any other code switches the supply off.

constexpr int tevii_tone_off = 0;  // low band
constexpr int tevii_tone_on = 1;   // 22 kHz: high band

// Modulation (delivery system and constellation). Auto tunes DVB-S.
constexpr int tevii_mod_auto = 0;
constexpr int tevii_mod_dvbs_qpsk = 1;
constexpr int tevii_mod_dvbs2_qpsk = 9;
constexpr int tevii_mod_dvbs2_8psk = 10;
constexpr int tevii_mod_dvbs2_16apsk = 11;
constexpr int tevii_mod_dvbs2_32apsk = 12;
constexpr int tevii_mod_turbo_qpsk = 13;
constexpr int tevii_mod_turbo_8psk = 14;
constexpr int tevii_mod_turbo_16psk = 15;

// Inner code rate.
constexpr int tevii_fec_auto = 0;
constexpr int tevii_fec_1_2 = 1;
constexpr int tevii_fec_1_3 = 2;
constexpr int tevii_fec_1_4 = 3;
constexpr int tevii_fec_2_3 = 4;
constexpr int tevii_fec_2_5 = 5;
constexpr int tevii_fec_3_4 = 6;
constexpr int tevii_fec_5_11 = 7;
constexpr int tevii_fec_4_5 = 8;
constexpr int tevii_fec_5_6 = 9;
constexpr int tevii_fec_6_7 = 10;
constexpr int tevii_fec_7_8 = 11;
constexpr int tevii_fec_8_9 = 12;
constexpr int tevii_fec_9_10 = 13;
constexpr int tevii_fec_3_5 = 14;

constexpr int tevii_api_version = 1;
