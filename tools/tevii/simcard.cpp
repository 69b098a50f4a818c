// A simulated card for tests and demonstrations, described by an ini file:
//
//   [Card]
//   ApiVersion=1        GetAPIVersion
//   Devices=1           FindDevices (any number, negative too)
//   Journal=calls.log   every call and its result, one line each (relative
//                       to the ini file's folder; none when empty)
//   [Device0]           one section per device, defaults where missing
//   Name=..., Path=...  NullName=1 / NullPath=1 give null pointers
//   OpenDevice=1, CloseDevice=1, TuneTransponder=1, GetSignalStatus=1,
//   SendDiSEqC=1, SetRemoteControl=1      the results of those calls
//   Locked=1, Strength=-45, Quality=80    the signal figures
//   Feed=none | generate | file | udp     what the card's thread delivers
//   Pids=0x100,0x1FFF   generate: packets on these PIDs in turn, each with
//                       its continuity counter and a 32-bit sequence number
//   Packets=0           generate: how many in all (0: no end)
//   File=stream.ts      file: replayed (relative to the ini file's folder)
//   Loop=0              file: start again at its end
//   Chunk=1316          generate, file: bytes per capture buffer (packets
//                       are cut across buffers when it is not a multiple)
//   IntervalMs=10       generate, file: pause between buffers
//   Start=open          generate, file: begin at OpenDevice, or "call": at
//                       TeViiSimulatorStartFeed
//   UdpAddress=127.0.0.1, UdpPort=0       udp: each datagram of TS packets
//                       sent to this port is one capture buffer
//
// The card's thread also delivers bytes and keys on demand (tevii_sim.h).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include "platform/ini.h"
#include "platform/tick.h"
#include "tools/tevii/backend.h"
#include "tools/tevii/card_thread.h"

namespace {

constexpr size_t ts_packet_bytes = 188;
constexpr size_t udp_datagram_max_bytes = 65536;

enum class feed_kind { none, generate, file, udp };

struct sim_settings {
    std::string name, path;
    bool null_name = false, null_path = false;
    int open_result = 1, close_result = 1, tune_result = 1, status_result = 1, diseqc_result = 1, remote_result = 1;
    int locked = 1, strength = -45, quality = 80;
    feed_kind feed = feed_kind::none;
    std::vector<uint16_t> pids;
    uint64_t packets = 0;
    std::string file;
    bool loop = false;
    uint32_t chunk = 7 * ts_packet_bytes;
    uint32_t interval_ms = 10;
    bool start_on_call = false;
    std::string udp_address = "127.0.0.1";
    uint16_t udp_port = 0;
};

// A request served on the card's thread.
enum class request_kind { bytes, key, start_feed };
struct request {
    request_kind kind = request_kind::bytes;
    std::vector<uint8_t> bytes;
    uint32_t key = 0;
    bool done = false;
    int result = 0;
};

// The generator's byte stream: whole packets, cut into buffers anywhere.
struct packet_source {
    std::vector<uint16_t> pids;
    uint64_t limit = 0;  // 0: no end
    uint64_t made = 0;
    std::vector<uint8_t> counters;   // continuity counter per entry of pids
    std::vector<uint32_t> sequence;  // per entry of pids
    uint8_t packet[ts_packet_bytes] = {};
    size_t offset = ts_packet_bytes;  // bytes of `packet` already handed out

    bool exhausted() const { return offset == ts_packet_bytes && ((limit && made >= limit) || pids.empty()); }
    void next_packet() {
        const size_t i = size_t(made % pids.size());
        const uint16_t pid = pids[i];
        packet[0] = 0x47;
        packet[1] = uint8_t((pid >> 8) & 0x1F);
        packet[2] = uint8_t(pid);
        packet[3] = uint8_t(0x10 | (counters[i] & 0x0F));  // payload only
        const uint32_t seq = sequence[i]++;
        for (int b = 0; b < 4; ++b) packet[4 + b] = uint8_t(seq >> (24 - 8 * b));
        for (size_t b = 8; b < ts_packet_bytes; ++b) packet[b] = uint8_t(seq + b);
        counters[i] = uint8_t((counters[i] + 1) & 0x0F);
        ++made;
        offset = 0;
    }
    size_t fill(uint8_t* out, size_t room) {
        size_t n = 0;
        while (n < room && !exhausted()) {
            if (offset == ts_packet_bytes) next_packet();
            const size_t take = std::min(room - n, ts_packet_bytes - offset);
            std::memcpy(out + n, packet + offset, take);
            offset += take;
            n += take;
        }
        return n;
    }
};

struct sim_device {
    sim_settings s;
    tevii_api::capture_fn* capture = nullptr;
    void* capture_context = nullptr;
    std::atomic<tevii_api::remote_fn*> keys{nullptr};
    void* keys_context = nullptr;
    bool open = false;
    std::atomic<int> opens{0};  // OpenDevice calls, counted as they begin
    int udp_fd = -1;
    FILE* file = nullptr;
    packet_source source;
    std::mutex mutex;  // requests and feed_done, between callers and the thread
    std::condition_variable changed;
    std::deque<request*> requests;
    bool feed_done = false;
    bool feed_started = false;  // the card's thread only
    card_thread thread;
};

std::string folder_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string beside(const std::string& folder, const std::string& name) {
    if (name.empty() || name[0] == '/') return name;
    return folder + "/" + name;
}

std::string hex_bytes(const uint8_t* p, uint32_t n) {
    std::string out;
    char b[4];
    for (uint32_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
        out += b;
    }
    return out;
}

class simulated_card final : public tevii_backend {
public:
    explicit simulated_card(const std::string& config) {
        const std::string folder = folder_of(config);
        auto str = [&config](const std::string& section, const char* key, const std::string& def) {
            return ini_get_string(config, section, key, def);
        };
        auto num = [&config](const std::string& section, const char* key, int def) {
            return ini_get_int(config, section, key, def);
        };
        api_version_ = num("Card", "ApiVersion", tevii_api_version);
        device_count_ = num("Card", "Devices", 1);
        const std::string journal = str("Card", "Journal", "");
        journal_ = beside(folder, journal);
        for (int i = 0; i < std::max(device_count_, 0); ++i) {
            auto d = std::make_unique<sim_device>();
            const std::string sec = "Device" + std::to_string(i);
            sim_settings& s = d->s;
            s.name = str(sec, "Name", "Simulated TeVii card " + std::to_string(i));
            s.path = str(sec, "Path", "simulated/adapter" + std::to_string(i));
            s.null_name = num(sec, "NullName", 0) != 0;
            s.null_path = num(sec, "NullPath", 0) != 0;
            s.open_result = num(sec, "OpenDevice", 1);
            s.close_result = num(sec, "CloseDevice", 1);
            s.tune_result = num(sec, "TuneTransponder", 1);
            s.status_result = num(sec, "GetSignalStatus", 1);
            s.diseqc_result = num(sec, "SendDiSEqC", 1);
            s.remote_result = num(sec, "SetRemoteControl", 1);
            s.locked = num(sec, "Locked", 1);
            s.strength = num(sec, "Strength", -45);
            s.quality = num(sec, "Quality", 80);
            const std::string feed = str(sec, "Feed", "none");
            s.feed = feed == "generate" ? feed_kind::generate
                     : feed == "file"   ? feed_kind::file
                     : feed == "udp"    ? feed_kind::udp
                                        : feed_kind::none;
            std::stringstream pids(str(sec, "Pids", "0x100"));
            for (std::string item; std::getline(pids, item, ',');)
                if (!item.empty()) s.pids.push_back(uint16_t(ini_parse_int(item) & 0x1FFF));
            s.packets = uint64_t(std::max(num(sec, "Packets", 0), 0));
            s.file = beside(folder, str(sec, "File", ""));
            s.loop = num(sec, "Loop", 0) != 0;
            s.chunk = uint32_t(std::max(num(sec, "Chunk", int(s.chunk)), 1));
            s.interval_ms = uint32_t(std::max(num(sec, "IntervalMs", int(s.interval_ms)), 0));
            s.start_on_call = str(sec, "Start", "open") == "call";
            s.udp_address = str(sec, "UdpAddress", s.udp_address);
            s.udp_port = uint16_t(num(sec, "UdpPort", 0));
            devices_.push_back(std::move(d));
        }
    }

    ~simulated_card() override {
        for (auto& d : devices_) stop_device(*d);
    }

    int api_version() override { return log("GetAPIVersion()", api_version_); }
    int find_devices() override { return log("FindDevices()", device_count_); }

    const char* device_name(int device) override {
        sim_device* d = find(device);
        const char* name = d && !d->s.null_name ? d->s.name.c_str() : nullptr;
        note("GetDeviceName(" + std::to_string(device) + ") = " + quoted(name));
        return name;
    }
    const char* device_path(int device) override {
        sim_device* d = find(device);
        const char* path = d && !d->s.null_path ? d->s.path.c_str() : nullptr;
        note("GetDevicePath(" + std::to_string(device) + ") = " + quoted(path));
        return path;
    }

    int open_device(int device, tevii_api::capture_fn* capture, void* context) override {
        const std::string call = "OpenDevice(" + std::to_string(device) + ")";
        sim_device* d = find(device);
        if (!d || !capture || d->thread.on_this_thread()) return log(call, 0);
        d->opens.fetch_add(1);
        d->thread.reap();
        if (d->open || !d->s.open_result) return log(call, 0);
        std::string why;
        if (!start_feed(*d, &why)) return log(call + " " + why, 0);
        d->capture = capture;
        d->capture_context = context;
        {
            std::lock_guard<std::mutex> lock(d->mutex);
            d->feed_done = d->s.feed == feed_kind::none || d->s.feed == feed_kind::udp;
        }
        // Open before the thread runs: its first delivery may close it.
        d->open = true;
        if (!d->thread.start([this, d] { feed_loop(*d); })) {
            d->open = false;
            stop_feed(*d);
            return log(call, 0);
        }
        return log(call, d->s.open_result);
    }

    int close_device(int device) override {
        const std::string call = "CloseDevice(" + std::to_string(device) + ")";
        sim_device* d = find(device);
        if (!d || !d->open) return log(call, 0);
        stop_device(*d);
        return log(call, d->s.close_result);
    }

    int tune(int device, uint32_t frequency_khz, uint32_t symbol_rate, uint32_t lof_khz, int polarisation, int tone,
             int modulation, int fec) override {
        char call[160];
        std::snprintf(call, sizeof call, "TuneTransponder(%d, %u, %u, %u, %d, %d, %d, %d)", device, frequency_khz,
                      symbol_rate, lof_khz, polarisation, tone, modulation, fec);
        sim_device* d = find(device);
        return log(call, d ? d->s.tune_result : 0);
    }

    int signal_status(int device, int* locked, int* strength_dbm, int* quality_percent) override {
        const std::string call = "GetSignalStatus(" + std::to_string(device) + ")";
        sim_device* d = find(device);
        if (!d || !d->s.status_result || !locked || !strength_dbm || !quality_percent) return log(call, 0);
        *locked = d->s.locked;
        *strength_dbm = d->s.strength;
        *quality_percent = d->s.quality;
        return log(call, d->s.status_result);
    }

    int send_diseqc(int device, const uint8_t* message, uint32_t length, int times, int tone_off) override {
        const std::string bytes = message ? hex_bytes(message, std::min<uint32_t>(length, 64)) : "null";
        const std::string call = "SendDiSEqC(" + std::to_string(device) + ", " + bytes + ", " +
                                 std::to_string(times) + ", " + std::to_string(tone_off) + ")";
        sim_device* d = find(device);
        return log(call, d ? d->s.diseqc_result : 0);
    }

    int set_remote_control(int device, tevii_api::remote_fn* keys, void* context) override {
        const std::string call = "SetRemoteControl(" + std::to_string(device) + ")";
        sim_device* d = find(device);
        if (!d || !keys || !d->s.remote_result) return log(call, 0);
        d->keys_context = context;
        d->keys.store(keys, std::memory_order_release);
        return log(call, d->s.remote_result);
    }

    int inject(int device, const uint8_t* data, uint32_t length) override {
        request r;
        r.bytes.assign(data, data + length);
        return serve(device, &r);
    }

    int press_key(int device, uint32_t key) override {
        request r;
        r.kind = request_kind::key;
        r.key = key;
        return serve(device, &r);
    }

    int start_feed(int device) override {
        request r;
        r.kind = request_kind::start_feed;
        return serve(device, &r);
    }

    int opens(int device) override {
        sim_device* d = find(device);
        return d ? d->opens.load() : 0;
    }

    int wait_feed_done(int device, uint32_t timeout_ms) override {
        sim_device* d = find(device);
        if (!d) return 0;
        std::unique_lock<std::mutex> lock(d->mutex);
        return d->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), [d] { return d->feed_done; }) ? 1 : 0;
    }

private:
    sim_device* find(int device) {
        return device >= 0 && size_t(device) < devices_.size() ? devices_[size_t(device)].get() : nullptr;
    }

    static std::string quoted(const char* s) { return s ? "\"" + std::string(s) + "\"" : "null"; }

    void note(const std::string& line) {
        if (journal_.empty()) return;
        const std::string text = line + "\n";
        const int fd = ::open(journal_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) return;
        ssize_t n = ::write(fd, text.data(), text.size());
        (void)n;
        ::close(fd);
    }

    int log(const std::string& call, int result) {
        note(call + " = " + std::to_string(result));
        return result;
    }

    bool start_feed(sim_device& d, std::string* why) {
        const sim_settings& s = d.s;
        if (s.feed == feed_kind::generate) {
            d.source = packet_source{};
            d.source.pids = s.pids;
            d.source.limit = s.packets;
            d.source.counters.assign(s.pids.size(), 0);
            d.source.sequence.assign(s.pids.size(), 0);
        } else if (s.feed == feed_kind::file) {
            d.file = std::fopen(s.file.c_str(), "rb");
            if (!d.file) {
                *why = "(cannot read " + s.file + ": " + std::strerror(errno) + ")";
                return false;
            }
        } else if (s.feed == feed_kind::udp) {
            d.udp_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            // A card's capture buffer rides out a feeder that is late: a
            // burst must not be lost in the socket instead (beyond rmem_max
            // where that is allowed).
            const int capture_buffer_bytes = 4 << 20;
            if (d.udp_fd >= 0 &&
                setsockopt(d.udp_fd, SOL_SOCKET, SO_RCVBUFFORCE, &capture_buffer_bytes, sizeof capture_buffer_bytes) != 0)
                setsockopt(d.udp_fd, SOL_SOCKET, SO_RCVBUF, &capture_buffer_bytes, sizeof capture_buffer_bytes);
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(s.udp_port);
            if (d.udp_fd < 0 || inet_pton(AF_INET, s.udp_address.c_str(), &sa.sin_addr) != 1 ||
                bind(d.udp_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
                *why = "(cannot bind " + s.udp_address + ":" + std::to_string(s.udp_port) + ": " +
                       std::strerror(errno) + ")";
                stop_feed(d);
                return false;
            }
        }
        return true;
    }

    void stop_feed(sim_device& d) {
        if (d.udp_fd >= 0) ::close(d.udp_fd);
        d.udp_fd = -1;
        if (d.file) std::fclose(d.file);
        d.file = nullptr;
    }

    void stop_device(sim_device& d) {
        if (!d.open) return;
        d.open = false;
        d.keys.store(nullptr);
        // From the card's own thread the loop ends after the callback. The
        // loop closes its feed on its way out.
        d.thread.stop();
        std::lock_guard<std::mutex> lock(d.mutex);
        for (request* r : d.requests) r->done = true;
        d.requests.clear();
        d.changed.notify_all();
    }

    // Runs a request on the card's thread and waits for it.
    int serve(int device, request* r) {
        sim_device* d = find(device);
        if (!d || !d->open) return 0;
        if (d->thread.on_this_thread()) {
            run(*d, r, nullptr);
            return r->result;
        }
        std::unique_lock<std::mutex> lock(d->mutex);
        d->requests.push_back(r);
        d->thread.wake();
        d->changed.wait(lock, [r] { return r->done; });
        return r->result;
    }

    void run(sim_device& d, request* r, bool* feeding) {
        if (r->kind == request_kind::key) {
            tevii_api::remote_fn* keys = d.keys.load(std::memory_order_acquire);
            if (keys) keys(d.keys_context, r->key);
            r->result = keys ? 1 : 0;
        } else if (r->kind == request_kind::start_feed) {
            r->result = feeding && !*feeding && !d.feed_started ? 1 : 0;
            if (r->result) *feeding = d.feed_started = true;
        } else {
            d.capture(d.capture_context, r->bytes.data(), uint32_t(r->bytes.size()));
            r->result = 1;
        }
    }

    // One buffer from a timed feed; false at its end.
    bool produce(sim_device& d, std::vector<uint8_t>& buffer) {
        size_t n = 0;
        if (d.s.feed == feed_kind::generate) {
            n = d.source.fill(buffer.data(), d.s.chunk);
        } else if (d.s.feed == feed_kind::file && d.file) {
            n = std::fread(buffer.data(), 1, d.s.chunk, d.file);
            if (n == 0 && d.s.loop) {
                std::rewind(d.file);
                n = std::fread(buffer.data(), 1, d.s.chunk, d.file);
            }
        }
        if (n == 0) return false;
        d.capture(d.capture_context, buffer.data(), uint32_t(n));
        return true;
    }

    void finish_feed(sim_device& d) {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.feed_done = true;
        d.changed.notify_all();
    }

    void feed_loop(sim_device& d) {
        std::vector<uint8_t> buffer(std::max<size_t>(d.s.chunk, udp_datagram_max_bytes));
        const bool timed = d.s.feed == feed_kind::generate || d.s.feed == feed_kind::file;
        d.feed_started = !timed || !d.s.start_on_call;
        bool feeding = timed && d.feed_started;
        uint32_t next = tick_count();
        while (!d.thread.stopping()) {
            int timeout = -1;
            if (feeding) timeout = int(std::max<int32_t>(int32_t(next - tick_count()), 0));
            pollfd fds[2] = {{d.thread.wake_fd(), POLLIN, 0}, {d.udp_fd, POLLIN, 0}};
            poll(fds, 2, timeout);
            if (fds[0].revents) d.thread.drain();
            if (d.thread.stopping()) break;
            for (;;) {
                request* r = nullptr;
                {
                    std::lock_guard<std::mutex> lock(d.mutex);
                    if (d.requests.empty()) break;
                    r = d.requests.front();
                    d.requests.pop_front();
                }
                run(d, r, &feeding);
                if (feeding && r->kind == request_kind::start_feed) next = tick_count();
                std::lock_guard<std::mutex> lock(d.mutex);
                r->done = true;
                d.changed.notify_all();
            }
            if (fds[1].revents & POLLIN) {
                const ssize_t n = recv(d.udp_fd, buffer.data(), buffer.size(), 0);
                if (n > 0) d.capture(d.capture_context, buffer.data(), uint32_t(n));
            }
            if (feeding && int32_t(tick_count() - next) >= 0 && !d.thread.stopping()) {
                next = tick_count() + d.s.interval_ms;
                if (!produce(d, buffer)) {
                    feeding = false;
                    finish_feed(d);
                }
            }
        }
        stop_feed(d);
    }

    int api_version_ = tevii_api_version;
    int device_count_ = 0;
    std::string journal_;
    std::vector<std::unique_ptr<sim_device>> devices_;
};

}  // namespace

std::unique_ptr<tevii_backend> make_simulated_card(const std::string& config_path) {
    return std::make_unique<simulated_card>(config_path);
}
