// Loads libKestrix.so in a fresh process and runs commands against it, one
// per argument, printing one line per command and one per callback:
//
//   kestrix_host LIB "checkex" "start 0" "filter 256 4" "inject 256:2" "stop"
//
// Filters are labelled F0, F1... in the order of their "filter" commands
// (at most 16 labels; a filter beyond them is refused with "no label");
// a callback prints "F<k> pid=<pid> cc=<cc> len=<n>". A filter may act from
// inside its first delivery: "filter <pid> <type> del-self | add:<pid> | stop
// | stop-wait" (stop-wait: stop the device, then keep the card's thread in
// the callback until the next start has called OpenDevice; the command
// "wait-stop" waits for that stop).
// "stress <rounds>" races filter changes against the simulated card's feeder
// and prints "stress ok" when no removed callback was called after its
// removal returned and every packet reached the filter of its PID.
#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tools/tevii/tevii_sim.h"
#include "tuner/kestrix_api.h"

namespace {

struct kestrix_binding {
#define KESTRIX_BIND(name) decltype(&::name) name;
    KESTRIX_EXPORTS(KESTRIX_BIND)
#undef KESTRIX_BIND
} kx;

struct sim_binding {
#define SIM_BIND(type, name) tevii_sim::type* name;
    TEVII_SIM_FUNCTIONS(SIM_BIND)
#undef SIM_BIND
} sim;

std::string library_dir;
std::mutex out_mutex;

void say(const std::string& line) {
    std::lock_guard<std::mutex> lock(out_mutex);
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

std::vector<std::string> words(const std::string& s) {
    std::istringstream in(s);
    std::vector<std::string> w;
    for (std::string t; in >> t;) w.push_back(t);
    return w;
}

constexpr size_t packet_bytes = 188;

uint32_t number(const std::string& s) { return uint32_t(std::strtoul(s.c_str(), nullptr, 0)); }

bool bind_simulator() {
    if (sim.TeViiSimulatorInject) return true;
    void* lib = dlopen((library_dir + "/libTeVii.so").c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!lib) return false;
#define SIM_RESOLVE(type, name) sim.name = reinterpret_cast<tevii_sim::type*>(dlsym(lib, #name));
    TEVII_SIM_FUNCTIONS(SIM_RESOLVE)
#undef SIM_RESOLVE
    return sim.TeViiSimulatorInject != nullptr;
}

// Packets "pid:count,pid:count" with counters running per PID.
std::vector<uint8_t> packets(const std::string& spec) {
    std::vector<uint8_t> out;
    static uint8_t cc[8192];
    std::stringstream in(spec);
    for (std::string item; std::getline(in, item, ',');) {
        const size_t colon = item.find(':');
        const uint16_t pid = uint16_t(number(item.substr(0, colon)) & 0x1FFF);
        const uint32_t count = colon == std::string::npos ? 1 : number(item.substr(colon + 1));
        for (uint32_t i = 0; i < count; ++i) {
            uint8_t p[packet_bytes] = {0x47, uint8_t(pid >> 8), uint8_t(pid), uint8_t(0x10 | cc[pid])};
            cc[pid] = uint8_t((cc[pid] + 1) & 0x0F);
            out.insert(out.end(), p, p + sizeof p);
        }
    }
    return out;
}

// Never empty, so that a message of length 0 still has an address.
std::vector<uint8_t> hex(const std::vector<std::string>& w, size_t from) {
    std::vector<uint8_t> out;
    out.reserve(8);
    for (size_t i = from; i < w.size(); ++i) out.push_back(uint8_t(std::strtoul(w[i].c_str(), nullptr, 16)));
    return out;
}

// ---------------------------------------------------------------- filters
constexpr int callback_slots = 16;

struct filter_label {
    std::string action = "rec";
    uint32_t number = 0;
    bool acted = false;
};
filter_label labels[callback_slots];
int label_count = 0;

// The next label, or -1 (with the refusal printed) when all are taken.
int take_label(const std::string& who) {
    if (label_count == callback_slots) {
        say(who + ": no label for a filter beyond F" + std::to_string(callback_slots - 1));
        return -1;
    }
    return label_count++;
}

// How long stop-wait waits for the next start, and wait-stop for the stop.
constexpr auto start_wait = std::chrono::seconds(30);
std::atomic<bool> stopped_in_callback{false};

void describe(int k, const uint8_t* data, uint32_t length) {
    char line[128];
    if (length >= 4 && data[0] == 0x47)
        std::snprintf(line, sizeof line, "F%d pid=%u cc=%u len=%u", k, unsigned(((data[1] << 8) | data[2]) & 0x1FFF),
                      unsigned(data[3] & 0x0F), length);
    else
        std::snprintf(line, sizeof line, "F%d len=%u", k, length);
    say(line);
}

template <int K>
void record(const uint8_t* data, uint32_t length);

void* recorder(int k);

void act(int k) {
    filter_label& l = labels[k];
    if (l.acted) return;
    l.acted = true;
    if (l.action == "del-self") {
        say("F" + std::to_string(k) + " DelFilter(self) = " + std::to_string(kx.DelFilter(l.number)));
    } else if (l.action.compare(0, 4, "add:") == 0) {
        uint32_t n = 0;
        const int added = take_label("F" + std::to_string(k));
        if (added < 0) return;
        const int r = kx.SetFilter(uint16_t(number(l.action.substr(4))), recorder(added), kestrix_cdecl, 0, &n);
        labels[added].number = n;
        say("F" + std::to_string(k) + " SetFilter(F" + std::to_string(added) + ") = " + std::to_string(r));
    } else if (l.action == "stop") {
        say("F" + std::to_string(k) + " StopDVB = " + std::to_string(kx.StopDVB()));
    } else if (l.action == "stop-wait") {
        const int opens = sim.TeViiSimulatorOpens(0);
        say("F" + std::to_string(k) + " StopDVB = " + std::to_string(kx.StopDVB()));
        stopped_in_callback = true;
        const auto end = std::chrono::steady_clock::now() + start_wait;
        while (sim.TeViiSimulatorOpens(0) == opens) {
            if (std::chrono::steady_clock::now() > end) {
                say("F" + std::to_string(k) + " saw no start");
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

template <int K>
void record(const uint8_t* data, uint32_t length) {
    describe(K, data, length);
    act(K);
}

template <int... K>
void* pick(int k, std::integer_sequence<int, K...>) {
    void* table[] = {reinterpret_cast<void*>(&record<K>)...};
    return table[k];
}

void* recorder(int k) { return pick(k, std::make_integer_sequence<int, callback_slots>{}); }

uint32_t remote_number = 0;
std::string remote_action = "rec";
bool remote_acted = false;

void KESTRIX_STDCALL on_key(const void* key, uint32_t length) {
    uint32_t k = 0;
    std::memcpy(&k, key, sizeof k);
    say("RC key=" + std::to_string(k) + " len=" + std::to_string(length));
    if (remote_action == "del-self" && !remote_acted) {
        remote_acted = true;
        say("RC DelFilter(self) = " + std::to_string(kx.DelFilter(remote_number)));
    }
}

void KESTRIX_STDCALL on_device(int index, const char* name) {
    say("device " + std::to_string(index) + " \"" + std::string(name ? name : "(null)") + "\"");
}

// ---------------------------------------------------------------- stress
std::atomic<bool> stress_active[2];
std::atomic<uint64_t> stress_calls[2];
std::atomic<uint64_t> stress_late{0};
std::atomic<uint64_t> stress_wrong_pid{0};
const uint16_t stress_pids[2] = {0x100, 0x101};

template <int K>
void stress_packet(const uint8_t* data, uint32_t length) {
    if (!stress_active[K].load()) stress_late++;
    if (length != 188 || data[0] != 0x47 || (((data[1] << 8) | data[2]) & 0x1FFF) != stress_pids[K])
        stress_wrong_pid++;
    stress_calls[K]++;
}

std::atomic<bool> key_active{false};
void KESTRIX_STDCALL stress_key(const void*, uint32_t) {
    if (!key_active.load()) stress_late++;
}

void stress(uint32_t rounds) {
    void* cbs[2] = {reinterpret_cast<void*>(&stress_packet<0>), reinterpret_cast<void*>(&stress_packet<1>)};
    for (uint32_t start = 0; start < 3; ++start) {
        if (!kx.StartDVBEx(0)) {
            say("stress: StartDVBEx failed");
            return;
        }
        bind_simulator();
        for (uint32_t r = 0; r < rounds; ++r) {
            uint32_t n[2] = {};
            for (int k = 0; k < 2; ++k) {
                stress_active[k] = true;
                if (!kx.SetFilter(stress_pids[k], cbs[k], kestrix_cdecl, 0, &n[k])) say("stress: SetFilter failed");
            }
            uint32_t rc = 0;
            key_active = true;
            kx.SetRemoteControl(0, 0, stress_key, &rc);
            if (sim.TeViiSimulatorKey) sim.TeViiSimulatorKey(0, r);
            for (int k = 0; k < 2; ++k) {
                kx.DelFilter(n[k]);
                stress_active[k] = false;
            }
            kx.DelFilter(rc);
            key_active = false;
        }
        // Stop with filters in place: StopDVB clears them under the feeder.
        stress_active[0] = true;
        uint32_t n = 0;
        kx.SetFilter(stress_pids[0], cbs[0], kestrix_cdecl, 0, &n);
        kx.StopDVB();
        stress_active[0] = false;
    }
    if (stress_late || stress_wrong_pid)
        say("stress failed: late " + std::to_string(stress_late) + " wrong " + std::to_string(stress_wrong_pid));
    else
        say("stress ok");
    say("stress deliveries " + std::to_string(stress_calls[0] + stress_calls[1]));
}

// ---------------------------------------------------------------- commands
std::string result(const std::string& name, int r) { return name + " = " + std::to_string(r); }

void run(const std::string& command) {
    const std::vector<std::string> w = words(command);
    if (w.empty()) return;
    const std::string& c = w[0];
    auto arg = [&w](size_t i) { return i < w.size() ? number(w[i]) : 0u; };
    if (c == "check") {
        say(result("CheckForDVB", kx.CheckForDVB()));
    } else if (c == "checkex") {
        say(result("CheckForDVBEx", kx.CheckForDVBEx(on_device)));
    } else if (c == "start") {
        say(result("StartDVBEx", kx.StartDVBEx(w.size() > 1 ? arg(1) : kestrix_ini_device)));
        bind_simulator();
    } else if (c == "startdvb") {
        say(result("StartDVB", kx.StartDVB()));
        bind_simulator();
    } else if (c == "stop") {
        say(result("StopDVB", kx.StopDVB()));
    } else if (c == "channel") {
        say(result("SetChannel", kx.SetChannel(arg(1), arg(2), arg(3), arg(4), arg(5), arg(6), arg(7))));
    } else if (c == "channelex") {
        say(result("SetChannelEx", kx.SetChannelEx(arg(1), arg(2), arg(3), arg(4), arg(5), arg(6), arg(7), arg(8))));
    } else if (c == "channelexex") {
        say(result("SetChannelExEx", kx.SetChannelExEx(arg(1), arg(2), arg(3), arg(4), arg(5), arg(6), arg(7),
                                                       arg(8), arg(9), arg(10), arg(11))));
    } else if (c == "filter") {
        const int k = take_label("filter");
        if (k < 0) return;
        if (w.size() > 3) labels[k].action = w[3];
        uint32_t n = 0;
        const int r = kx.SetFilter(uint16_t(arg(1)), recorder(k), arg(2), 0, &n);
        labels[k].number = n;
        say(result("SetFilter F" + std::to_string(k), r) + (r ? " number " + std::to_string(n) : ""));
    } else if (c == "filter-null") {
        uint32_t n = 0;
        say(result("SetFilter", kx.SetFilter(uint16_t(arg(1)), nullptr, kestrix_cdecl, 0, &n)));
        say(result("SetFilter", kx.SetFilter(uint16_t(arg(1)), recorder(0), kestrix_cdecl, 0, nullptr)));
    } else if (c == "filterex") {
        int a = 0, b = 0;
        say(result("SetFilterEx", kx.SetFilterEx(uint16_t(arg(1)), arg(2) ? &a : nullptr, 1, 2, arg(3) ? &b : nullptr)));
    } else if (c == "bitfilter") {
        int a = 0, b = 0;
        say(result("SetBitFilter",
                   kx.SetBitFilter(uint16_t(arg(1)), nullptr, nullptr, 3, arg(2) ? &a : nullptr, arg(3) ? &b : nullptr)));
    } else if (c == "del") {
        say(result("DelFilter", kx.DelFilter(arg(1))));
    } else if (c == "rc") {
        if (w.size() > 2) remote_action = w[2];
        uint32_t n = 0;
        const int r = kx.SetRemoteControl(arg(1), 77, on_key, &n);
        if (r) remote_number = n;
        say(result("SetRemoteControl", r) + (r ? " number " + std::to_string(n) : ""));
    } else if (c == "rc-null") {
        uint32_t n = 0;
        say(result("SetRemoteControl", kx.SetRemoteControl(0, 0, nullptr, &n)));
        say(result("SetRemoteControl", kx.SetRemoteControl(0, 0, on_key, nullptr)));
    } else if (c == "signal") {
        int s = 0, q = 0;
        const int r = kx.GetSignal(&s, &q);
        say(result("GetSignal", r) + " " + std::to_string(s) + " " + std::to_string(q));
    } else if (c == "strength") {
        float s = 0;
        int q = 0;
        const int r = kx.GetSignalStrength(&s, &q);
        char line[96];
        std::snprintf(line, sizeof line, "GetSignalStrength = %d %.1f %d", r, double(s), q);
        say(line);
    } else if (c == "stat") {
        SignalStatistic st{9, 9, 9, 9};
        const int r = kx.Statistic(&st);
        say(result("Statistic", r) + " " + std::to_string(st.Locked) + " " + std::to_string(st.Quality) + " " +
            std::to_string(st.Present) + " " + std::to_string(st.Level));
    } else if (c == "signal-null") {
        int v = 0;
        float f = 0;
        say(result("GetSignal", kx.GetSignal(nullptr, &v)));
        say(result("GetSignalStrength", kx.GetSignalStrength(&f, nullptr)));
        say(result("Statistic", kx.Statistic(nullptr)));
    } else if (c == "diseqc") {
        say(result("SendDiSEqC", kx.SendDiSEqC(arg(1), uint8_t(arg(2)))));
    } else if (c == "cmd") {
        const std::vector<uint8_t> m = hex(w, 1);
        say(result("SendDiseqCmd", kx.SendDiseqCmd(m.data(), uint32_t(m.size()))));
    } else if (c == "cmdex") {
        const std::vector<uint8_t> m = hex(w, 1);
        uint8_t reply[8];
        uint32_t reply_length = 99;
        const int r = kx.SendDiseqCmdEx(m.data(), uint32_t(m.size()), reply, &reply_length);
        say(result("SendDiseqCmdEx", r) + " reply " + std::to_string(reply_length));
    } else if (c == "cmd-null") {
        uint8_t m[1] = {0xE0}, reply[1];
        uint32_t n = 0;
        say(result("SendDiseqCmd", kx.SendDiseqCmd(nullptr, 3)));
        say(result("SendDiseqCmdEx", kx.SendDiseqCmdEx(m, 1, nullptr, &n)));
        say(result("SendDiseqCmdEx", kx.SendDiseqCmdEx(m, 1, reply, nullptr)));
    } else if (c == "inject" || c == "inject-hex") {
        const std::vector<uint8_t> bytes = c == "inject" ? packets(w.at(1)) : hex(w, 1);
        const int r = bind_simulator() ? sim.TeViiSimulatorInject(0, bytes.data(), uint32_t(bytes.size())) : -1;
        say(result("inject", r));
    } else if (c == "key") {
        say(result("key", bind_simulator() ? sim.TeViiSimulatorKey(0, arg(1)) : -1));
    } else if (c == "start-feed") {
        say(result("feed started", bind_simulator() ? sim.TeViiSimulatorStartFeed(0) : -1));
    } else if (c == "wait-feed") {
        say(result("feed done", bind_simulator() ? sim.TeViiSimulatorFeedDone(0, arg(1)) : -1));
    } else if (c == "wait-stop") {
        const auto end = std::chrono::steady_clock::now() + start_wait;
        while (!stopped_in_callback && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        say(stopped_in_callback ? "stopped" : "not stopped");
    } else if (c == "stress") {
        stress(arg(1));
    } else {
        say("unknown command " + c);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s LIBKESTRIX COMMAND...\n", argv[0]);
        return 2;
    }
    const std::string path = argv[1];
    library_dir = path.substr(0, path.rfind('/'));
    void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        std::fprintf(stderr, "%s\n", dlerror());
        return 2;
    }
#define KESTRIX_RESOLVE(name)                                                    \
    kx.name = reinterpret_cast<decltype(&::name)>(dlsym(lib, #name));            \
    if (!kx.name) {                                                              \
        std::fprintf(stderr, "missing %s\n", #name);                             \
        return 2;                                                                \
    }
    KESTRIX_EXPORTS(KESTRIX_RESOLVE)
#undef KESTRIX_RESOLVE
    for (int i = 2; i < argc; ++i) run(argv[i]);
    // The library stays loaded: a card thread may still deliver. Its detach
    // runs as the process ends.
    return 0;
}
