// libTeVii.so: the maker's ten functions over the Linux DVB back end, or
// over the simulated card when TEVII_SIMULATOR names its ini file or a
// tevii-sim.ini lies beside the library.
#include <unistd.h>

#include <cstdlib>
#include <mutex>

#include "platform/dynlib.h"
#include "tools/tevii/backend.h"
#include "tools/tevii/tevii_api.h"
#include "tools/tevii/tevii_sim.h"

#define TEVII_EXPORT __attribute__((visibility("default")))

// The load-failure test's build leaves the last of the ten out.
#ifdef TEVII_WITHOUT_SET_REMOTE_CONTROL
#define TEVII_DECLARE_ALL(X) X(GetAPIVersion) X(FindDevices) X(GetDeviceName) X(GetDevicePath) X(OpenDevice) \
    X(CloseDevice) X(TuneTransponder) X(GetSignalStatus) X(SendDiSEqC)
#else
#define TEVII_DECLARE_ALL(X) TEVII_FUNCTIONS(X)
#endif

extern "C" {
#define TEVII_DECLARE(name) TEVII_EXPORT tevii_api::name name;
TEVII_DECLARE_ALL(TEVII_DECLARE)
#undef TEVII_DECLARE
#define TEVII_SIM_DECLARE(type, name) TEVII_EXPORT tevii_sim::type name;
TEVII_SIM_FUNCTIONS(TEVII_SIM_DECLARE)
#undef TEVII_SIM_DECLARE
}

namespace {

// Chosen at the first call and kept for the life of the process (never
// destroyed: a card thread may still run while the process ends).
tevii_backend& backend() {
    static tevii_backend* chosen = [] {
        const char* env = std::getenv(tevii_sim_env);
        std::string config = env && *env ? env : "";
        if (config.empty()) {
            const std::string beside = dynlib_module_dir(reinterpret_cast<void*>(&backend)) + "/" + tevii_sim_file;
            if (access(beside.c_str(), R_OK) == 0) config = beside;
        }
        return config.empty() ? make_linux_dvb(linux_dvb_paths{}).release() : make_simulated_card(config).release();
    }();
    return *chosen;
}

}  // namespace

extern "C" {

int GetAPIVersion() { return backend().api_version(); }
int FindDevices() { return backend().find_devices(); }
const char* GetDeviceName(int device) { return backend().device_name(device); }
const char* GetDevicePath(int device) { return backend().device_path(device); }
int OpenDevice(int device, tevii_api::capture_fn* capture, void* context) {
    return backend().open_device(device, capture, context);
}
int CloseDevice(int device) { return backend().close_device(device); }
int TuneTransponder(int device, uint32_t frequency_khz, uint32_t symbol_rate, uint32_t lof_khz, int polarisation,
                    int tone, int modulation, int fec) {
    return backend().tune(device, frequency_khz, symbol_rate, lof_khz, polarisation, tone, modulation, fec);
}
int GetSignalStatus(int device, int* locked, int* strength_dbm, int* quality_percent) {
    return backend().signal_status(device, locked, strength_dbm, quality_percent);
}
int SendDiSEqC(int device, const uint8_t* message, uint32_t length, int times, int tone_off) {
    return backend().send_diseqc(device, message, length, times, tone_off);
}
#ifndef TEVII_WITHOUT_SET_REMOTE_CONTROL
int SetRemoteControl(int device, tevii_api::remote_fn* keys, void* context) {
    return backend().set_remote_control(device, keys, context);
}
#endif

int TeViiSimulatorInject(int device, const uint8_t* data, uint32_t length) {
    return data ? backend().inject(device, data, length) : 0;
}
int TeViiSimulatorKey(int device, uint32_t key) { return backend().press_key(device, key); }
int TeViiSimulatorFeedDone(int device, uint32_t timeout_ms) { return backend().wait_feed_done(device, timeout_ms); }
int TeViiSimulatorStartFeed(int device) { return backend().start_feed(device); }
int TeViiSimulatorOpens(int device) { return backend().opens(device); }

}  // extern "C"
