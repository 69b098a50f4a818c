// The maker's cards on Linux, through the kernel's DVB API: one device per
// adapter that has a frontend; the frontend tunes (DVB-S/S2 properties,
// LNB voltage, 22 kHz tone, DiSEqC), the demultiplexer passes the whole
// transport stream to the DVR device, and the device's thread reads the
// DVR (and the card's remote-control input device) and hands what it reads
// to the callbacks. A frontend that cannot set the voltage or the tone
// (one behind a powered switch, a demodulator without them) still tunes:
// such a refusal is written to standard error once per open.
#include <fcntl.h>
#include <linux/dvb/dmx.h>
#include <linux/dvb/frontend.h>
#include <linux/input.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <vector>

#include "platform/sleep.h"
#include "tools/tevii/backend.h"
#include "tools/tevii/card_thread.h"
#include "tools/tevii/dvb_kernel.h"

namespace {

// The pid that asks the demultiplexer for every packet.
constexpr uint16_t whole_stream_pid = 0x2000;
// Room in the kernel's DVR ring for bursts the thread has not read yet.
constexpr unsigned long dvr_ring_bytes = 4u << 20;
// One read from the DVR: whole packets.
constexpr size_t dvr_read_bytes = 188 * 512;
// Time for the LNB and the switch to settle around a DiSEqC command, and
// between repeats of one.
constexpr uint32_t diseqc_settle_ms = 15;
constexpr uint32_t diseqc_repeat_gap_ms = 100;
// A switch (or LNB) that has just been powered needs this long before it
// listens to a command.
constexpr uint32_t lnb_power_up_ms = 100;
constexpr uint32_t diseqc_max_bytes = 6;
// How deep under the card's sysfs folder its input device is looked for
// (device/rc/rcN/inputM/eventK).
constexpr int input_search_depth = 4;
// Figures for frontends that report only relative values (0..65535).
constexpr int relative_floor_dbm = -100;
constexpr int relative_span_dbm = 80;
// A carrier-to-noise ratio at or above this is full quality.
constexpr int full_quality_cnr_mdb = 15000;

struct delivery {
    fe_delivery_system system;
    fe_modulation modulation;
};

bool modulation_of(int code, delivery* d) {
    switch (code) {
    case tevii_mod_auto:  // auto: DVB-S, which every satellite demodulator finds
    case tevii_mod_dvbs_qpsk: *d = {SYS_DVBS, QPSK}; return true;
    case tevii_mod_dvbs2_qpsk: *d = {SYS_DVBS2, QPSK}; return true;
    case tevii_mod_dvbs2_8psk: *d = {SYS_DVBS2, PSK_8}; return true;
    case tevii_mod_dvbs2_16apsk: *d = {SYS_DVBS2, APSK_16}; return true;
    case tevii_mod_dvbs2_32apsk: *d = {SYS_DVBS2, APSK_32}; return true;
    case tevii_mod_turbo_qpsk: *d = {SYS_TURBO, QPSK}; return true;
    case tevii_mod_turbo_8psk: *d = {SYS_TURBO, PSK_8}; return true;
    default: return false;  // Turbo 16PSK has no kernel constellation
    }
}

fe_code_rate fec_of(int code) {
    switch (code) {
    case tevii_fec_1_2: return FEC_1_2;
    case tevii_fec_2_3: return FEC_2_3;
    case tevii_fec_2_5: return FEC_2_5;
    case tevii_fec_3_4: return FEC_3_4;
    case tevii_fec_4_5: return FEC_4_5;
    case tevii_fec_5_6: return FEC_5_6;
    case tevii_fec_6_7: return FEC_6_7;
    case tevii_fec_7_8: return FEC_7_8;
    case tevii_fec_8_9: return FEC_8_9;
    case tevii_fec_9_10: return FEC_9_10;
    case tevii_fec_3_5: return FEC_3_5;
    default: return FEC_AUTO;  // auto, and the rates the kernel cannot name
    }
}

fe_sec_voltage voltage_of(int polarisation) {
    if (polarisation == tevii_pol_vertical) return SEC_VOLTAGE_13;
    if (polarisation == tevii_pol_horizontal) return SEC_VOLTAGE_18;
    return SEC_VOLTAGE_OFF;
}

// The N of an "adapterN" folder. A number too large for an int names no
// adapter the kernel makes: such a folder is passed over.
bool adapter_number(const std::string& folder, int* number) {
    constexpr size_t prefix = 7;
    if (folder.size() <= prefix || folder.compare(0, prefix, "adapter") != 0 ||
        folder.find_first_not_of("0123456789", prefix) != std::string::npos)
        return false;
    const char* first = folder.data() + prefix;
    const char* last = folder.data() + folder.size();
    const auto [end, error] = std::from_chars(first, last, *number);
    return error == std::errc() && end == last;
}

int relative_to_dbm(uint64_t relative) {
    return relative_floor_dbm + int(std::min<uint64_t>(relative, 0xFFFF) * relative_span_dbm / 0xFFFF);
}

struct dvb_device {
    int adapter = 0;
    std::string path;  // the adapter's folder
    std::string name;  // from the frontend's info
    int frontend_fd = -1, demux_fd = -1, dvr_fd = -1, input_fd = -1;
    tevii_api::capture_fn* capture = nullptr;
    void* capture_context = nullptr;
    std::atomic<tevii_api::remote_fn*> keys{nullptr};
    void* keys_context = nullptr;
    int tone = tevii_tone_off;
    // What the LNB was last given; off from the open until the first tune
    // or DiSEqC command powers it.
    fe_sec_voltage voltage = SEC_VOLTAGE_OFF;
    // A refused voltage or tone is told once per open.
    bool told_voltage = false, told_tone = false;
    bool close_on_exit = false;  // closed from its own thread
    card_thread thread;
    std::string node(const char* what) const { return path + "/" + what; }
};

void close_fd(int* fd) {
    if (*fd >= 0) dvb_kernel().close(*fd);
    *fd = -1;
}

class linux_dvb final : public tevii_backend {
public:
    explicit linux_dvb(linux_dvb_paths paths) : paths_(std::move(paths)) {}
    ~linux_dvb() override {
        for (auto& d : devices_) close_device_fds(*d);
    }

    int api_version() override { return tevii_api_version; }

    int find_devices() override {
        std::lock_guard<std::mutex> lock(mutex_);
        // The list stays as it is while a device is open: its entries are in use.
        for (auto& d : devices_)
            if (d->frontend_fd >= 0) return int(devices_.size());
        devices_.clear();
        std::vector<int> adapters;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(paths_.dvb_root, ec)) {
            int number = 0;
            if (adapter_number(entry.path().filename().string(), &number)) adapters.push_back(number);
        }
        std::sort(adapters.begin(), adapters.end());
        for (int a : adapters) {
            auto d = std::make_unique<dvb_device>();
            d->adapter = a;
            d->path = paths_.dvb_root + "/adapter" + std::to_string(a);
            const int fd = dvb_kernel().open(d->node("frontend0").c_str(), O_RDONLY | O_NONBLOCK);
            if (fd < 0) continue;
            dvb_frontend_info info{};
            const bool named = dvb_kernel().ioctl(fd, FE_GET_INFO, &info) == 0;
            dvb_kernel().close(fd);
            if (!named) continue;
            d->name.assign(info.name, strnlen(info.name, sizeof info.name));
            devices_.push_back(std::move(d));
        }
        return int(devices_.size());
    }

    const char* device_name(int device) override {
        dvb_device* d = find(device);
        return d ? d->name.c_str() : nullptr;
    }
    const char* device_path(int device) override {
        dvb_device* d = find(device);
        return d ? d->path.c_str() : nullptr;
    }

    int open_device(int device, tevii_api::capture_fn* capture, void* context) override {
        dvb_device* d = find(device);
        if (!d || !capture || d->thread.on_this_thread()) return 0;
        d->thread.reap();
        if (d->frontend_fd >= 0) return 0;
        const auto& k = dvb_kernel();
        int frontend = k.open(d->node("frontend0").c_str(), O_RDWR | O_NONBLOCK);
        int demux = k.open(d->node("demux0").c_str(), O_RDWR | O_NONBLOCK);
        int dvr = k.open(d->node("dvr0").c_str(), O_RDONLY | O_NONBLOCK);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            d->frontend_fd = frontend;
            d->demux_fd = demux;
            d->dvr_fd = dvr;
        }
        dmx_pes_filter_params whole{};
        whole.pid = whole_stream_pid;
        whole.input = DMX_IN_FRONTEND;
        whole.output = DMX_OUT_TS_TAP;
        whole.pes_type = DMX_PES_OTHER;
        whole.flags = DMX_IMMEDIATE_START;
        if (frontend < 0 || demux < 0 || dvr < 0 || k.ioctl(demux, DMX_SET_PES_FILTER, &whole) != 0) {
            close_device_fds(*d);
            return 0;
        }
        // A larger ring only makes overflows rarer; the kernel's default works.
        k.ioctl(d->dvr_fd, DMX_SET_BUFFER_SIZE, reinterpret_cast<void*>(dvr_ring_bytes));
        d->capture = capture;
        d->capture_context = context;
        d->tone = tevii_tone_off;
        d->voltage = SEC_VOLTAGE_OFF;
        d->told_voltage = d->told_tone = false;
        if (!d->thread.start([this, d] { read_loop(*d); })) {
            close_device_fds(*d);
            return 0;
        }
        return 1;
    }

    int close_device(int device) override {
        dvb_device* d = find(device);
        if (!d || d->frontend_fd < 0) return 0;
        if (d->thread.on_this_thread()) {
            // Called from a callback: the loop closes the descriptors on its
            // way out, and the next open joins it.
            d->close_on_exit = true;
            d->thread.stop();
            return 1;
        }
        d->thread.stop();
        close_device_fds(*d);
        return 1;
    }

    int tune(int device, uint32_t frequency_khz, uint32_t symbol_rate, uint32_t lof_khz, int polarisation, int tone,
             int modulation, int fec) override {
        dvb_device* d = find(device);
        delivery how{};
        if (!d || d->frontend_fd < 0 || !modulation_of(modulation, &how)) return 0;
        const auto& k = dvb_kernel();
        // The tuner sees the intermediate frequency: below the oscillator
        // (C band) as well as above it.
        const uint32_t if_khz = frequency_khz > lof_khz ? frequency_khz - lof_khz : lof_khz - frequency_khz;
        set_voltage(*d, voltage_of(polarisation));
        d->tone = tone == tevii_tone_on ? tevii_tone_on : tevii_tone_off;
        set_tone(*d, d->tone == tevii_tone_on ? SEC_TONE_ON : SEC_TONE_OFF);
        std::vector<dtv_property> p;
        auto set = [&p](uint32_t cmd, uint32_t value) {
            dtv_property prop{};
            prop.cmd = cmd;
            prop.u.data = value;
            p.push_back(prop);
        };
        set(DTV_CLEAR, 0);
        set(DTV_DELIVERY_SYSTEM, how.system);
        set(DTV_FREQUENCY, if_khz);
        set(DTV_SYMBOL_RATE, symbol_rate);
        set(DTV_INNER_FEC, fec_of(fec));
        set(DTV_MODULATION, how.modulation);
        set(DTV_INVERSION, INVERSION_AUTO);
        if (how.system == SYS_DVBS2) {
            set(DTV_PILOT, PILOT_AUTO);
            set(DTV_ROLLOFF, ROLLOFF_AUTO);
        }
        set(DTV_TUNE, 0);
        dtv_properties all{uint32_t(p.size()), p.data()};
        return k.ioctl(d->frontend_fd, FE_SET_PROPERTY, &all) == 0 ? 1 : 0;
    }

    int signal_status(int device, int* locked, int* strength_dbm, int* quality_percent) override {
        dvb_device* d = find(device);
        if (!d || d->frontend_fd < 0 || !locked || !strength_dbm || !quality_percent) return 0;
        const auto& k = dvb_kernel();
        fe_status_t status{};
        if (k.ioctl(d->frontend_fd, FE_READ_STATUS, &status) != 0) return 0;
        *locked = (status & FE_HAS_LOCK) ? 1 : 0;
        dtv_property p[2] = {};
        p[0].cmd = DTV_STAT_SIGNAL_STRENGTH;
        p[1].cmd = DTV_STAT_CNR;
        dtv_properties stats{2, p};
        const bool have_stats = k.ioctl(d->frontend_fd, FE_GET_PROPERTY, &stats) == 0;
        const dtv_stats* strength = have_stats && p[0].u.st.len > 0 ? &p[0].u.st.stat[0] : nullptr;
        const dtv_stats* cnr = have_stats && p[1].u.st.len > 0 ? &p[1].u.st.stat[0] : nullptr;
        if (strength && strength->scale == FE_SCALE_DECIBEL) {
            *strength_dbm = int(strength->svalue / 1000);  // 0.001 dBm
        } else if (strength && strength->scale == FE_SCALE_RELATIVE) {
            *strength_dbm = relative_to_dbm(strength->uvalue);
        } else {
            uint16_t relative = 0;
            k.ioctl(d->frontend_fd, FE_READ_SIGNAL_STRENGTH, &relative);
            *strength_dbm = relative_to_dbm(relative);
        }
        if (cnr && cnr->scale == FE_SCALE_DECIBEL) {
            *quality_percent = int(std::clamp<int64_t>(cnr->svalue * 100 / full_quality_cnr_mdb, 0, 100));
        } else if (cnr && cnr->scale == FE_SCALE_RELATIVE) {
            *quality_percent = int(std::min<uint64_t>(cnr->uvalue, 0xFFFF) * 100 / 0xFFFF);
        } else {
            uint16_t relative = 0;
            k.ioctl(d->frontend_fd, FE_READ_SNR, &relative);
            *quality_percent = int(uint32_t(relative) * 100 / 0xFFFF);
        }
        return 1;
    }

    int send_diseqc(int device, const uint8_t* message, uint32_t length, int times, int tone_off) override {
        dvb_device* d = find(device);
        if (!d || d->frontend_fd < 0 || !message || length < 1 || length > diseqc_max_bytes) return 0;
        const auto& k = dvb_kernel();
        dvb_diseqc_master_cmd cmd{};
        std::memcpy(cmd.msg, message, length);
        cmd.msg_len = uint8_t(length);
        // The switch is powered by the LNB supply: an unpowered one would
        // miss the command. Vertical until a tune chooses.
        if (d->voltage == SEC_VOLTAGE_OFF) {
            set_voltage(*d, SEC_VOLTAGE_13);
            sleep_ms(lnb_power_up_ms);
        }
        if (tone_off) {
            set_tone(*d, SEC_TONE_OFF);
            sleep_ms(diseqc_settle_ms);
        }
        int ok = 1;
        for (int i = 0; i < std::max(times, 1); ++i) {
            if (i > 0) sleep_ms(diseqc_repeat_gap_ms);
            if (k.ioctl(d->frontend_fd, FE_DISEQC_SEND_MASTER_CMD, &cmd) != 0) ok = 0;
        }
        if (tone_off) {
            sleep_ms(diseqc_settle_ms);
            set_tone(*d, d->tone == tevii_tone_on ? SEC_TONE_ON : SEC_TONE_OFF);
        }
        return ok;
    }

    int set_remote_control(int device, tevii_api::remote_fn* keys, void* context) override {
        dvb_device* d = find(device);
        if (!d || !keys) return 0;
        if (d->input_fd < 0) {
            const std::string event = input_device_of(*d);
            if (event.empty()) return 0;
            // Opened while the thread may run: it picks the descriptor up on its next wake.
            const int fd = dvb_kernel().open(event.c_str(), O_RDONLY | O_NONBLOCK);
            if (fd < 0) return 0;
            std::lock_guard<std::mutex> lock(mutex_);
            d->input_fd = fd;
        }
        d->keys_context = context;
        d->keys.store(keys, std::memory_order_release);
        d->thread.wake();
        return 1;
    }

private:
    dvb_device* find(int device) {
        std::lock_guard<std::mutex> lock(mutex_);
        return device >= 0 && size_t(device) < devices_.size() ? devices_[size_t(device)].get() : nullptr;
    }

    void set_voltage(dvb_device& d, fe_sec_voltage v) {
        d.voltage = v;
        if (dvb_kernel().ioctl(d.frontend_fd, FE_SET_VOLTAGE, reinterpret_cast<void*>(v)) != 0)
            tell_refused(d, "FE_SET_VOLTAGE", &d.told_voltage);
    }

    void set_tone(dvb_device& d, fe_sec_tone_mode t) {
        if (dvb_kernel().ioctl(d.frontend_fd, FE_SET_TONE, reinterpret_cast<void*>(t)) != 0)
            tell_refused(d, "FE_SET_TONE", &d.told_tone);
    }

    static void tell_refused(const dvb_device& d, const char* call, bool* told) {
        const int error = errno;
        if (*told) return;
        *told = true;
        std::fprintf(stderr, "libTeVii: %s: %s failed (%s); tuning goes on without it\n", d.node("frontend0").c_str(),
                     call, std::strerror(error));
    }

    void close_device_fds(dvb_device& d) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (d.demux_fd >= 0) dvb_kernel().ioctl(d.demux_fd, DMX_STOP, nullptr);
        close_fd(&d.dvr_fd);
        close_fd(&d.demux_fd);
        close_fd(&d.frontend_fd);
        close_fd(&d.input_fd);
        d.keys.store(nullptr);
    }

    // The event device of the card's remote-control receiver: an eventK
    // folder somewhere under the card's sysfs device.
    std::string input_device_of(const dvb_device& d) const {
        namespace fs = std::filesystem;
        const fs::path top =
            fs::path(paths_.sysfs_root) / "class/dvb" / ("dvb" + std::to_string(d.adapter) + ".frontend0") / "device";
        std::error_code ec;
        fs::recursive_directory_iterator it(top, ec), end;
        for (; !ec && it != end; it.increment(ec)) {
            if (it.depth() >= input_search_depth) it.disable_recursion_pending();
            const std::string n = it->path().filename().string();
            if (n.size() > 5 && n.compare(0, 5, "event") == 0 &&
                n.find_first_not_of("0123456789", 5) == std::string::npos)
                return paths_.input_root + "/" + n;
        }
        return {};
    }

    int input_fd_of(dvb_device& d) {
        std::lock_guard<std::mutex> lock(mutex_);
        return d.input_fd;
    }

    void read_loop(dvb_device& d) {
        std::vector<uint8_t> buffer(dvr_read_bytes);
        bool dvr_open = true;
        // The input descriptor appears once, when the remote control is
        // first asked for, and stays until the device closes. A receiver
        // that hung up reports it on every poll: it leaves the set.
        bool input_open = true;
        uint32_t scan = 0;
        bool have_scan = false;
        while (!d.thread.stopping()) {
            pollfd fds[3] = {{d.thread.wake_fd(), POLLIN, 0},
                             {dvr_open ? d.dvr_fd : -1, POLLIN, 0},
                             {input_open ? input_fd_of(d) : -1, POLLIN, 0}};
            if (dvb_kernel().poll(fds, 3, -1) < 0) continue;
            if (fds[0].revents) d.thread.drain();
            if (d.thread.stopping()) break;
            if (fds[1].revents) {
                const ssize_t n = dvb_kernel().read(d.dvr_fd, buffer.data(), buffer.size());
                if (n > 0) {
                    d.capture(d.capture_context, buffer.data(), uint32_t(n));
                } else if (n == 0 || (errno != EOVERFLOW && errno != EAGAIN && errno != EINTR)) {
                    // The device went away; an overflow only lost the bytes
                    // the ring could not hold, and reading goes on.
                    dvr_open = false;
                }
            }
            if (fds[2].fd >= 0 && fds[2].revents && !read_keys(d, fds[2], &scan, &have_scan)) input_open = false;
        }
        if (d.close_on_exit) {
            d.close_on_exit = false;
            close_device_fds(d);
        }
    }

    // Key presses; the raw scan code when the receiver reports one. False
    // when the device hung up or failed.
    bool read_keys(dvb_device& d, const pollfd& input, uint32_t* scan, bool* have_scan) {
        input_event ev[16];
        const ssize_t n = dvb_kernel().read(input.fd, ev, sizeof ev);
        if (n == 0) return false;
        if (n < 0) return (errno == EAGAIN || errno == EINTR) && !(input.revents & (POLLHUP | POLLERR | POLLNVAL));
        for (size_t i = 0; i < size_t(n) / sizeof ev[0]; ++i) {
            if (ev[i].type == EV_MSC && ev[i].code == MSC_SCAN) {
                *scan = uint32_t(ev[i].value);
                *have_scan = true;
            } else if (ev[i].type == EV_KEY && ev[i].value == 1) {
                tevii_api::remote_fn* keys = d.keys.load(std::memory_order_acquire);
                if (keys) keys(d.keys_context, *have_scan ? *scan : ev[i].code);
            } else if (ev[i].type == EV_SYN) {
                *have_scan = false;
            }
        }
        return true;
    }

    linux_dvb_paths paths_;
    std::mutex mutex_;  // the device list and input descriptors, between callers and threads
    std::vector<std::unique_ptr<dvb_device>> devices_;
};

}  // namespace

std::unique_ptr<tevii_backend> make_linux_dvb(const linux_dvb_paths& paths) {
    return std::make_unique<linux_dvb>(paths);
}
