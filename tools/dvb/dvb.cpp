// libdvb.so: the DVB library's seven exports over the tuner reader. The
// caller's thread lists, starts and tunes the card; the reader's capture
// thread hands in the PID's packets, which are decapsulated here and whose
// UDP payloads go to the engine on 127.0.0.1.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dynlib.h"
#include "tools/dvb/dvb_api.h"
#include "tools/dvb/kestrix_calls.h"
#include "tools/dvb/mpe.h"
#include "tools/dvb/tuning.h"

namespace {

constexpr const char* dvb_log_file = "dvb.log";
static_assert(dvb_pid_max == ts_pid_max, "init takes every PID a transport stream carries");
constexpr size_t log_line_max_bytes = 1024;
// The engine reads its socket every 10 ms; a burst off the satellite waits
// in our send buffer rather than being dropped here.
constexpr int forward_sndbuf_bytes = 1 << 20;

struct reader_api {
#define DVB_READER_POINTER(name) decltype(&::name) name = nullptr;
    KESTRIX_CALLS(DVB_READER_POINTER)
#undef DVB_READER_POINTER
};

// What the capture thread touches, under capture_mutex.
struct capture_side {
    bool active = false;
    mpe_decap decap;
    int fd = -1;
    sockaddr_in engine{};
    uint64_t send_errors = 0;
};

// The library's one state. The exports take `control` for their whole run;
// the capture callback takes only `capture_mutex`, and nothing calls into the
// reader while holding it (DelFilter and StopDVB wait for a running delivery).
struct dvb_state {
    std::mutex control;
    void* reader = nullptr;
    reader_api api;
    std::string reader_name = KESTRIX_DLL;
    std::vector<std::string> cards;
    std::vector<std::string> listing;  // filled by the reader's device callback
    bool listed = false;                // the loaded reader has listed its cards
    int card = -1;
    bool filter_set = false;
    uint32_t filter_number = 0;
    uint16_t filter_pid = 0;
    bool verbose = false;

    std::mutex capture_mutex;
    capture_side capture;
};

dvb_state dvb;

void log_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void log_line(const char* fmt, ...) {
    if (!dvb.verbose) return;
    char line[log_line_max_bytes];
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    const int prefix = std::snprintf(line, sizeof line, "%02d:%02d:%02d ", local.tm_hour, local.tm_min, local.tm_sec);
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line + prefix, sizeof line - size_t(prefix), fmt, ap);
    va_end(ap);
    if (FILE* f = std::fopen(dvb_log_file, "a")) {
        std::fprintf(f, "%s\n", line);
        std::fclose(f);
    }
}

const char* init_result_text(int r) {
    switch (r) {
    case dvb_init_tuned: return "tuned";
    case dvb_init_no_reader: return "no tuner reader";
    case dvb_init_no_card: return "no card started";
    case dvb_init_bad_pid: return "PID above 8191";
    case dvb_init_bad_port: return "UDP port 0";
    case dvb_init_diseqc_failed: return "switch command refused";
    case dvb_init_tune_failed: return "transponder refused";
    case dvb_init_no_socket: return "no UDP socket";
    case dvb_init_filter_failed: return "PID filter refused";
    }
    return "?";
}

void on_device(int index, const char* name) {
    if (index < 0 || index >= dvb_cards_max) return;  // the reader numbers its cards from 0
    if (size_t(index) >= dvb.listing.size()) dvb.listing.resize(size_t(index) + 1);
    dvb.listing[size_t(index)] = name ? name : "";
}

void forward(void*, const udp_datagram& d) {
    capture_side& c = dvb.capture;
    if (sendto(c.fd, d.payload, d.payload_len, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&c.engine),
               sizeof c.engine) < 0)
        c.send_errors++;
}

// The reader's filter callback: one packet of the PID, on its capture thread.
void on_packet(const uint8_t* data, uint32_t length) {
    std::lock_guard<std::mutex> lock(dvb.capture_mutex);
    if (!dvb.capture.active || !data) return;
    for (uint32_t at = 0; length - at >= ts_packet_bytes; at += ts_packet_bytes)
        mpe_decap_packet(dvb.capture.decap, data + at, ts_packet_bytes, forward, nullptr);
}

void deactivate_capture() {
    std::lock_guard<std::mutex> lock(dvb.capture_mutex);
    dvb.capture.active = false;
    section_reset(dvb.capture.decap.sections);
}

// With `control` held, as every helper below.
void stop_card() {
    if (dvb.card < 0) return;
    dvb.api.StopDVB();  // clears the reader's filters; no delivery after it
    log_line("card %d stopped", dvb.card);
    dvb.card = -1;
    dvb.filter_set = false;
    deactivate_capture();
}

// The reader is unloaded with the card, so that the next load starts from a
// fresh reader that lists its cards again.
void release_reader() {
    stop_card();
    if (!dvb.reader) return;
    dynlib_close(dvb.reader);
    dvb.reader = nullptr;
    dvb.api = reader_api{};
    dvb.listed = false;
}

bool load_reader(const char* name) {
    const std::string want = name && *name ? name : dvb.reader_name;
    if (dvb.reader && want == dvb.reader_name) return true;
    release_reader();
    dvb.reader_name = want;
    // The reader is installed beside this library; the program's own
    // folder is searched next, as the Windows loader would.
    void* lib = dynlib_load_beside(reinterpret_cast<const void*>(&on_packet), want.c_str());
    if (!lib) lib = dynlib_load(want.c_str());
    if (!lib) {
        log_line("cannot load %s", want.c_str());
        return false;
    }
    reader_api api;
    bool complete = true;
#define DVB_READER_BIND(fn)                                                       \
    api.fn = reinterpret_cast<decltype(api.fn)>(dynlib_symbol(lib, #fn));         \
    if (!api.fn) {                                                                \
        log_line("%s lacks %s", want.c_str(), #fn);                                \
        complete = false;                                                         \
    }
    KESTRIX_CALLS(DVB_READER_BIND)
#undef DVB_READER_BIND
    if (!complete) {
        dynlib_close(lib);
        return false;
    }
    dvb.reader = lib;
    dvb.api = api;
    return true;
}

// The reader calls back with its cards only on its first successful listing
// in the process; a reader that has listed them already keeps the list we hold.
void list_cards() {
    if (dvb.listed) return;
    dvb.listing.clear();
    if (!dvb.api.CheckForDVBEx(on_device)) {
        log_line("the tuner reader found no tuner library");
        return;
    }
    dvb.listed = true;
    if (!dvb.listing.empty()) dvb.cards = dvb.listing;
}

bool start_card(int index) {
    if (dvb.card == index) return true;
    stop_card();
    list_cards();
    if (!dvb.api.StartDVBEx(uint32_t(index))) {
        log_line("card %d did not start", index);
        return false;
    }
    dvb.card = index;
    log_line("card %d started", index);
    return true;
}

bool open_forward_socket() {
    std::lock_guard<std::mutex> lock(dvb.capture_mutex);
    if (dvb.capture.fd >= 0) return true;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const int buf = forward_sndbuf_bytes;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
    dvb.capture.fd = fd;
    return true;
}

int init_steps(int32_t frequency, int32_t symbol_rate, int32_t polarisation, int32_t fec, int32_t lof1, int32_t lof2,
               int32_t lof_switch, int32_t modulation, int32_t inversion, int32_t pilot, int32_t rolloff,
               int32_t diseqc_type, int32_t diseqc_position, uint32_t pid, uint32_t port_net, uint32_t sat_ip_net,
               const char* reader_name) {
    if (!load_reader(reader_name)) return dvb_init_no_reader;
    if (pid > dvb_pid_max) return dvb_init_bad_pid;
    const uint16_t port = ntohs(uint16_t(port_net));
    if (port == 0) return dvb_init_bad_port;
    if (dvb.card < 0 && !start_card(0)) return dvb_init_no_card;
    const diseqc_call dc =
        dvb_diseqc_for(diseqc_type, diseqc_position, polarisation, uint32_t(frequency), uint32_t(lof_switch));
    if (dc.send && !dvb.api.SendDiSEqC(dc.type, dc.data)) return dvb_init_diseqc_failed;
    if (!dvb.api.SetChannelExEx(uint32_t(frequency), uint32_t(symbol_rate), uint32_t(polarisation), uint32_t(fec),
                                uint32_t(lof1), uint32_t(lof2), uint32_t(lof_switch), uint32_t(modulation),
                                uint32_t(inversion), uint32_t(pilot), uint32_t(rolloff)))
        return dvb_init_tune_failed;
    if (!open_forward_socket()) return dvb_init_no_socket;
    if (dvb.filter_set && dvb.filter_pid != pid) {
        dvb.api.DelFilter(dvb.filter_number);
        dvb.filter_set = false;
    }
    {
        // A re-tune on the same PID keeps the section in progress: the
        // continuity counters tell whether the stream really broke.
        std::lock_guard<std::mutex> lock(dvb.capture_mutex);
        capture_side& c = dvb.capture;
        c.engine = sockaddr_in{};
        c.engine.sin_family = AF_INET;
        c.engine.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        c.engine.sin_port = htons(port);
        if (!dvb.filter_set)
            mpe_decap_reset(c.decap, uint16_t(pid), sat_ip_net);
        else
            c.decap.sat_ip_net = sat_ip_net;
        c.active = true;
    }
    if (!dvb.filter_set) {
        uint32_t number = 0;
        if (!dvb.api.SetFilter(uint16_t(pid), reinterpret_cast<void*>(&on_packet), kestrix_cdecl,
                               uint32_t(ts_packet_bytes), &number)) {
            deactivate_capture();
            return dvb_init_filter_failed;
        }
        dvb.filter_set = true;
        dvb.filter_number = number;
        dvb.filter_pid = uint16_t(pid);
    }
    return dvb_init_tuned;
}

}  // namespace

extern "C" {

int GetCardCount(const char* reader_name) {
    std::lock_guard<std::mutex> lock(dvb.control);
    if (!load_reader(reader_name)) return 0;
    list_cards();
    return int(dvb.cards.size());
}

void GetCardName(int index, char* name) {
    std::lock_guard<std::mutex> lock(dvb.control);
    if (!name) return;
    name[0] = 0;
    if (index < 0 || size_t(index) >= dvb.cards.size()) return;
    std::snprintf(name, dvb_card_name_bytes, "%s", dvb.cards[size_t(index)].c_str());
}

int StartCard(int index) {
    std::lock_guard<std::mutex> lock(dvb.control);
    if (index < 0 || !load_reader(nullptr)) return 0;
    return start_card(index) ? 1 : 0;
}

void DvbStop() {
    std::lock_guard<std::mutex> lock(dvb.control);
    {
        std::lock_guard<std::mutex> cap(dvb.capture_mutex);
        const mpe_counters& k = dvb.capture.decap.counters;
        log_line("DvbStop: packets %llu, discontinuities %llu, sections %llu, lost %llu, crc errors %llu, "
                 "datagrams %llu (%llu bytes), other addresses %llu, send errors %llu",
                 (unsigned long long)k.ts_packets, (unsigned long long)k.discontinuities,
                 (unsigned long long)k.sections, (unsigned long long)k.sections_lost,
                 (unsigned long long)k.crc_errors, (unsigned long long)k.datagrams, (unsigned long long)k.bytes,
                 (unsigned long long)k.other_address, (unsigned long long)dvb.capture.send_errors);
    }
    release_reader();
    // No delivery runs after the reader's stop: the socket towards the
    // engine goes too, so that an unloaded library leaves nothing open.
    std::lock_guard<std::mutex> cap(dvb.capture_mutex);
    if (dvb.capture.fd >= 0) close(dvb.capture.fd);
    dvb.capture.fd = -1;
}

int init(int32_t frequency, int32_t symbol_rate, int32_t polarisation, int32_t fec, int32_t lof1, int32_t lof2,
         int32_t lof_switch, int32_t modulation, int32_t inversion, int32_t pilot, int32_t rolloff,
         int32_t diseqc_type, int32_t diseqc_position, uint32_t pid, uint32_t port_net, uint32_t sat_ip_net,
         int32_t verbose, const char* reader_name) {
    std::lock_guard<std::mutex> lock(dvb.control);
    dvb.verbose = verbose != 0;
    char ip[INET_ADDRSTRLEN] = "?";
    in_addr a{};
    a.s_addr = sat_ip_net;
    inet_ntop(AF_INET, &a, ip, sizeof ip);
    log_line("init(%d, %d, %d, %d, %d, %d, %d, %d, %d, %d, %d, %d, %d, %u, %u, %s, %d, %s)", frequency, symbol_rate,
             polarisation, fec, lof1, lof2, lof_switch, modulation, inversion, pilot, rolloff, diseqc_type,
             diseqc_position, pid, unsigned(ntohs(uint16_t(port_net))), ip, verbose,
             reader_name ? reader_name : "(null)");
    const int r = init_steps(frequency, symbol_rate, polarisation, fec, lof1, lof2, lof_switch, modulation, inversion,
                             pilot, rolloff, diseqc_type, diseqc_position, pid, port_net, sat_ip_net, reader_name);
    log_line("init: %d (%s)", r, init_result_text(r));
    return r;
}

void GetStat(int* level, int* quality, uint64_t* packets, uint64_t* discontinuities, int* locked) {
    std::lock_guard<std::mutex> lock(dvb.control);
    SignalStatistic s{};
    const bool have = dvb.reader && dvb.card >= 0 && dvb.api.Statistic(&s);
    if (level) *level = have ? dvb_level_percent(s.Level) : 0;
    if (quality) *quality = have ? dvb_quality_percent(s.Quality) : 0;
    if (locked) *locked = have && s.Locked ? 1 : 0;
    std::lock_guard<std::mutex> cap(dvb.capture_mutex);
    if (packets) *packets = dvb.capture.decap.counters.ts_packets;
    if (discontinuities) *discontinuities = dvb.capture.decap.counters.discontinuities;
}

void GetFilterStat(uint64_t* bytes, uint64_t* packets, uint64_t* crc_errors) {
    std::lock_guard<std::mutex> cap(dvb.capture_mutex);
    if (bytes) *bytes = dvb.capture.decap.counters.bytes;
    if (packets) *packets = dvb.capture.decap.counters.datagrams;
    if (crc_errors) *crc_errors = dvb.capture.decap.counters.crc_errors;
}
}
