// What stands behind the ten exports of libTeVii.so: the kernel's DVB
// devices, or a simulated card for tests and demonstrations. Each call has
// the meaning of the export of the same name (tools/tevii/tevii_api.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tools/tevii/tevii_api.h"

struct tevii_backend {
    virtual ~tevii_backend() = default;
    virtual int api_version() = 0;
    virtual int find_devices() = 0;
    virtual const char* device_name(int device) = 0;
    virtual const char* device_path(int device) = 0;
    virtual int open_device(int device, tevii_api::capture_fn* capture, void* context) = 0;
    virtual int close_device(int device) = 0;
    virtual int tune(int device, uint32_t frequency_khz, uint32_t symbol_rate, uint32_t lof_khz, int polarisation,
                     int tone, int modulation, int fec) = 0;
    virtual int signal_status(int device, int* locked, int* strength_dbm, int* quality_percent) = 0;
    virtual int send_diseqc(int device, const uint8_t* message, uint32_t length, int times, int tone_off) = 0;
    virtual int set_remote_control(int device, tevii_api::remote_fn* keys, void* context) = 0;
    // The simulator's controls (tools/tevii/tevii_sim.h); 0 elsewhere.
    virtual int inject(int device, const uint8_t* data, uint32_t length) { return 0; }
    virtual int press_key(int device, uint32_t key) { return 0; }
    virtual int wait_feed_done(int device, uint32_t timeout_ms) { return 0; }
    virtual int start_feed(int device) { return 0; }
    virtual int opens(int device) { return 0; }
};

// Where the Linux back end finds the kernel's files; tests point them at
// folders of their own.
struct linux_dvb_paths {
    std::string dvb_root = "/dev/dvb";      // adapterN/{frontend0,demux0,dvr0}
    std::string sysfs_root = "/sys";        // class/dvb/dvbN.frontend0/device
    std::string input_root = "/dev/input";  // eventK
};

std::unique_ptr<tevii_backend> make_linux_dvb(const linux_dvb_paths& paths);

// The simulated card described by an ini file (keys in simcard.cpp).
std::unique_ptr<tevii_backend> make_simulated_card(const std::string& config_path);
