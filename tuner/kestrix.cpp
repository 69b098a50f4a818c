// The tuner reader's nineteen exports, its load and unload, and its binding
// to the maker's library. Everything else the library holds is hidden.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/dynlib.h"
#include "tools/tevii/tevii_api.h"
#include "tuner/kestrix_api.h"
#include "tuner/log.h"
#include "tuner/settings.h"
#include "tuner/state.h"
#include "tuner/tsdemux.h"
#include "tuner/tuning.h"

#define KX_EXPORT __attribute__((visibility("default")))

namespace {

constexpr const char* kestrix_version = "1.0.3.1";
// Raw DiSEqC messages the maker's library accepts.
constexpr uint32_t diseqc_min_bytes = 1;
constexpr uint32_t diseqc_max_bytes = 6;
// Committed switch: framing (master, no reply, first transmission), any
// switch, "write port group 0"; the caller's byte follows.
constexpr uint8_t diseqc_committed[] = {0xE0, 0x10, 0x38};
constexpr uint32_t diseqc_committed_type = 2;
constexpr uint32_t diseqc_tone_burst_type = 1;
// Sent twice, with the 22 kHz tone off around it.
constexpr int diseqc_committed_times = 2;
constexpr int diseqc_committed_tone_off = 1;

const char* or_empty(const char* s) { return s ? s : ""; }

void* module_base() {
    Dl_info info{};
    return dladdr(reinterpret_cast<void*>(&module_base), &info) ? info.dli_fbase : nullptr;
}

// LoadTeViiApi: 0, -1 when the library is missing, -2 when a function is.
int load_tevii_api() {
    if (kx.tevii_module) return 0;
    void* lib = dynlib_load_beside(reinterpret_cast<void*>(&load_tevii_api), TEVII_DLL);
    if (!lib) return -1;
    tevii_binding b{};
#define TEVII_RESOLVE(name)                                                          \
    b.name = reinterpret_cast<tevii_api::name*>(dynlib_symbol(lib, #name));          \
    if (!b.name) {                                                                   \
        dynlib_close(lib);                                                           \
        return -2;                                                                   \
    }
    TEVII_FUNCTIONS(TEVII_RESOLVE)
#undef TEVII_RESOLVE
    kx.tevii = b;
    kx.tevii_module = lib;
    return 0;
}

int device() { return int(kx.device); }

void TEVII_STDCALL capture_callback(void*, const uint8_t* data, uint32_t length) {
    demux_capture(kx.demux, data, length, kx_log);
}

void TEVII_STDCALL remote_control_callback(void*, uint32_t key) { demux_remote_key(kx.demux, key); }

// Reads the signal into the caller's places; 0 after the failure line.
int signal_status(int* locked, int* strength, int* quality) {
    if (kx.tevii.GetSignalStatus(device(), locked, strength, quality)) return 1;
    kx_log("TeVii_GetSignalStatus() failed !");
    return 0;
}

// The two raw calls word their length refusal differently.
bool diseqc_length_ok(uint32_t length, bool ex) {
    if (length >= diseqc_min_bytes && length <= diseqc_max_bytes) return true;
    if (ex)
        kx_log("Length = %u, must be 1-6", length);
    else
        kx_log("Length = %u, but must be 1-6", length);
    kx_log("SendDiseqCmd() - failed !");
    return false;
}

__attribute__((constructor)) void process_attach() {
    if (char* cwd = getcwd(nullptr, 0)) {
        kx_log_set_dir(cwd);
        std::free(cwd);
    }
    kx.log_level = read_log_level();
    kx_log("KestrixEx TeVii Ver:%s (%s, %s)", kestrix_version, __DATE__, __TIME__);
    kx_log("Log level = %d", kx.log_level);
    kx_log("DLL_PROCESS_ATTACH hModule = " KX_PTR, kx_ptr(module_base()));
    // The filter table, the remote-control slot and its number start zeroed
    // with the rest of the state.
}

__attribute__((destructor)) void process_detach() {
    kx_log("DLL_PROCESS_DETACH hModule = " KX_PTR, kx_ptr(module_base()));
}

}  // namespace

extern "C" {

KX_EXPORT int CheckForDVBEx(kestrix_device_fn* callback) {
    if (kx.ready) return 1;
    kx_log("CheckForDVBEx(0x" KX_PTR ")", kx_ptr(reinterpret_cast<void*>(callback)));
    if (load_tevii_api() != 0) {
        kx_log("Can't load TeVii.dll !");
        return 0;
    }
    kx_log("Using TeVii API DLL version %i", kx.tevii.GetAPIVersion());
    read_tuning_defaults();
    kx_log("Available TeVii-devices:");
    const int count = kx.tevii.FindDevices();
    for (int i = 0; i < count; ++i) {
        kx_log("Device %i", i);
        kx_log("\tName: %s", or_empty(kx.tevii.GetDeviceName(i)));
        kx_log("\tPath: %s", or_empty(kx.tevii.GetDevicePath(i)));
        if (callback) callback(i, or_empty(kx.tevii.GetDeviceName(i)));
    }
    kx.ready = true;
    return 1;
}

KX_EXPORT int CheckForDVB() { return CheckForDVBEx(nullptr); }

KX_EXPORT int StartDVBEx(uint32_t device_number) {
    if (!CheckForDVBEx(nullptr)) return 0;
    kx_log("StartDVBEx(%i)", int(device_number));
    if (kx.started) {
        kx_log("Already started !");
        return 0;
    }
    if (device_number == kestrix_ini_device) device_number = read_device_id();
    kx.device = device_number;
    kx_log("Device_ID: %u", device_number);
    // A negative count is no device at all.
    const int count = kx.tevii.FindDevices();
    if (count <= 0 || device_number >= uint32_t(count)) {
        kx_log("Device %u not found !", device_number);
        return 0;
    }
    demux_new_stream(kx.demux);
    if (!kx.tevii.OpenDevice(device(), capture_callback, nullptr)) {
        kx_log("Can't open device %u", device_number);
        return 0;
    }
    kx_log("\tName: %s", or_empty(kx.tevii.GetDeviceName(device())));
    kx_log("\tPath: %s", or_empty(kx.tevii.GetDevicePath(device())));
    kx.started = 1;
    return 1;
}

KX_EXPORT int StartDVB() { return StartDVBEx(kestrix_ini_device); }

KX_EXPORT int StopDVB() {
    if (!kx.started) return 1;
    kx_log("StopDVB()");
    demux_clear(kx.demux);
    kx.started = 0;
    return kx.tevii.CloseDevice(device());
}

KX_EXPORT int SetChannelExEx(uint32_t frequency, uint32_t symbol_rate, uint32_t polarisation, uint32_t fec,
                             uint32_t lof1, uint32_t lof2, uint32_t lof_switch, uint32_t modulation,
                             uint32_t inversion, uint32_t pilot, uint32_t rolloff) {
    if (!kx.started) return 0;
    kx_log("SetChannelExEx(%u, %u, %u, %u, %u, %u, %u, %u, %u, %u, %u)", frequency, symbol_rate, polarisation, fec,
           lof1, lof2, lof_switch, modulation, inversion, pilot, rolloff);
    const band_choice band = choose_band(frequency, lof1, lof2, lof_switch);
    // Inversion, pilot and roll-off are logged only: the maker's library
    // finds them itself.
    if (!kx.tevii.TuneTransponder(device(), frequency, symbol_rate, band.lof, tevii_polarisation_code(polarisation),
                                  band.tone, tevii_modulation_code(modulation), tevii_fec_code(fec))) {
        kx_log("TeVii_TuneTransponder() failed !");
        return 0;
    }
    int locked = 0, strength = 0, quality = 0;
    if (kx.tevii.GetSignalStatus(device(), &locked, &strength, &quality))
        kx_log("Signal\tLocked=%d  Strength=%ddBm  Quality=%d%%", locked, strength, quality);
    else
        kx_log("TeVii_GetSignalStatus() failed !");
    return 1;
}

KX_EXPORT int SetChannelEx(uint32_t frequency, uint32_t symbol_rate, uint32_t polarisation, uint32_t fec,
                           uint32_t lof1, uint32_t lof2, uint32_t lof_switch, uint32_t modulation) {
    return SetChannelExEx(frequency, symbol_rate, polarisation, fec, lof1, lof2, lof_switch, modulation,
                          uint32_t(kx.default_inversion), uint32_t(kx.default_pilot), uint32_t(kx.default_rolloff));
}

KX_EXPORT int SetChannel(uint32_t frequency, uint32_t symbol_rate, uint32_t polarisation, uint32_t fec,
                         uint32_t lof1, uint32_t lof2, uint32_t lof_switch) {
    return SetChannelEx(frequency, symbol_rate, polarisation, fec, lof1, lof2, lof_switch,
                        uint32_t(kx.default_modulation));
}

KX_EXPORT int SetFilter(uint16_t pid, void* callback, uint32_t callback_type, uint32_t size,
                        uint32_t* filter_number) {
    if (!kx.started) return 0;
    kx_log("SetFilter(%u, 0x" KX_PTR ", %u, %u, 0x" KX_PTR ")", unsigned(pid), kx_ptr(callback), callback_type, size,
           kx_ptr(filter_number));
    if (!callback || !filter_number) {
        kx_log("Invalid pointers !");
        return 0;
    }
    return demux_set_filter(kx.demux, pid, callback, callback_type, size, filter_number, kx_log);
}

KX_EXPORT int SetFilterEx(uint16_t pid, void* a, uint32_t x, uint32_t y, void* b) {
    if (!kx.started) return 0;
    kx_log("SetFilterEx(%u, 0x" KX_PTR ", %u, %u, 0x" KX_PTR ")", unsigned(pid), kx_ptr(a), x, y, kx_ptr(b));
    kx_log(a && b ? "SetFilterEx not implemented !" : "Invalid pointers !");
    return 0;
}

KX_EXPORT int SetBitFilter(uint16_t pid, void* p1, void* p2, uint8_t x, void* a, void* b) {
    if (!kx.started) return 0;
    kx_log("SetBitFilter(%u, 0x" KX_PTR ", 0x" KX_PTR ", %u, 0x" KX_PTR ", 0x" KX_PTR ")", unsigned(pid), kx_ptr(p1),
           kx_ptr(p2), unsigned(x), kx_ptr(a), kx_ptr(b));
    kx_log(a && b ? "SetBitFilter not implemented !" : "Invalid pointers !");
    return 0;
}

KX_EXPORT int DelFilter(uint32_t filter_number) {
    if (!kx.started) return 0;
    kx_log("DelFilter(%u)", filter_number);
    return demux_del_filter(kx.demux, filter_number, kx_log);
}

KX_EXPORT int SetRemoteControl(uint32_t mode, uint16_t value, kestrix_remote_fn* callback,
                               uint32_t* filter_number) {
    if (!kx.started) return 0;
    kx_log("SetRemoteControl(%u, %u, 0x" KX_PTR ", 0x" KX_PTR ")", mode, unsigned(value),
           kx_ptr(reinterpret_cast<void*>(callback)), kx_ptr(filter_number));
    if (!callback || !filter_number) {
        kx_log("Invalid pointers !");
        return 0;
    }
    if (mode != 0) {  // RC_RAW: raw key codes
        kx_log("Only RC_RAW supported for TeVii!");
        return 0;
    }
    if (!kx.demux.remote.hook_installed) {
        if (!kx.tevii.SetRemoteControl(device(), remote_control_callback, nullptr)) {
            kx_log("Can't set TeVii RC callback !");
            return 0;
        }
        kx.demux.remote.hook_installed = true;
    }
    return demux_set_remote(kx.demux, reinterpret_cast<void*>(callback), filter_number, kx_log);
}

KX_EXPORT int GetSignal(int* strength_dbm, int* quality_percent) {
    if (!kx.started) return 0;
    if (kx.log_level > 1) kx_log("GetSignal()");
    if (!strength_dbm || !quality_percent) {
        kx_log("Invalid pointers !");
        return 0;
    }
    int locked = 0;
    if (!signal_status(&locked, strength_dbm, quality_percent)) return 0;
    if (kx.log_level > 1) kx_log("Signal\tStrength = %ddBm\tQuality = %d%%", *strength_dbm, *quality_percent);
    return 1;
}

KX_EXPORT int GetSignalStrength(float* strength_dbm, int* quality_percent) {
    if (!kx.started) return 0;
    if (kx.log_level > 1) kx_log("GetSignalStrength()");
    if (!strength_dbm || !quality_percent) {
        kx_log("Invalid pointers !");
        return 0;
    }
    int locked = 0, strength = 0;
    if (!signal_status(&locked, &strength, quality_percent)) return 0;
    *strength_dbm = float(strength);
    if (kx.log_level > 1) kx_log("Signal\tStrength = %4.1fdBm\tQuality = %d%%", double(*strength_dbm), *quality_percent);
    return 1;
}

KX_EXPORT int Statistic(SignalStatistic* statistic) {
    if (!kx.started) return 0;
    if (kx.log_level > 1) kx_log("Statistic()");
    if (!statistic) {
        kx_log("Invalid pointer !");
        return 0;
    }
    if (!signal_status(&statistic->Locked, &statistic->Level, &statistic->Quality)) return 0;
    statistic->Present = 1;
    if (kx.log_level > 1) {
        kx_log("Signal\tPresent = %d\tLocked = %d", statistic->Present, statistic->Locked);
        kx_log("\tLevel = %ddBm\tQuality = %d%%", statistic->Level, statistic->Quality);
    }
    return 1;
}

KX_EXPORT int SendDiSEqC(uint32_t type, uint8_t data) {
    if (!kx.started) return 0;
    kx_log("SendDiSEqC (%u, %02hx)", type, static_cast<unsigned short>(data));
    if (type == diseqc_committed_type) {
        const uint8_t message[] = {diseqc_committed[0], diseqc_committed[1], diseqc_committed[2], data};
        return kx.tevii.SendDiSEqC(device(), message, sizeof message, diseqc_committed_times,
                                   diseqc_committed_tone_off);
    }
    if (type == diseqc_tone_burst_type)
        kx_log("Warning: ToneBurst not supported !");
    else
        kx_log("Warning: unsupported DiSEqCType=%u !", type);
    return 1;
}

KX_EXPORT int SendDiseqCmd(const uint8_t* message, uint32_t length) {
    if (!kx.started) return 0;
    kx_log("SendDiseqCmd(0x" KX_PTR ", %u)", kx_ptr(message), length);
    if (!message) {
        kx_log("Invalid pointers !");
        return 0;
    }
    if (!diseqc_length_ok(length, false)) return 0;
    return kx.tevii.SendDiSEqC(device(), message, length, 0, 0);
}

KX_EXPORT int SendDiseqCmdEx(const uint8_t* message, uint32_t length, uint8_t* reply, uint32_t* reply_length) {
    if (!kx.started) return 0;
    kx_log("SendDiseqCmdEx(0x" KX_PTR ", %u, 0x" KX_PTR ", 0x" KX_PTR " )", kx_ptr(message), length, kx_ptr(reply),
           kx_ptr(reply_length));
    if (!message || !reply || !reply_length) {
        kx_log("Invalid pointers !");
        return 0;
    }
    if (!diseqc_length_ok(length, true)) return 0;
    *reply_length = 0;  // no reply is ever read
    return kx.tevii.SendDiSEqC(device(), message, length, 0, 0);
}

}  // extern "C"
