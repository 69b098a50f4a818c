// The DVB library, "dvb.dll" (libdvb.so here): seven plain C functions that
// the interface loads by name. The library, the interface's binding (types
// taken with decltype(&init) and so on) and their test doubles all include
// this header, so that the compiler checks that the three agree.
//
//   int n = GetCardCount("Kestrix.dll");        // the tuner reader to use
//   GetCardName(0, name);                       // name: 256 bytes
//   if (StartCard(0) & 0xFF) ...                // low byte: started
//   int r = init(11595000, 29270000, 1, 0, 9750000, 10600000, 11700000, 0, 0, 0, 0,
//                1, 2, 101, htons(2080), inet_addr("10.0.0.1"), 0, "Kestrix.dll");
//   if ((r & 0xFF) == 0) GetStat(&level, &quality, &packets, &discontinuities, &locked);
//   DvbStop();
//
// Every argument is one 32-bit slot (the pointers aside); results are read by
// their low byte only, so callers never depend on the other bytes. Only the
// port and the address of init are in network byte order; every other value
// is in host order.
#pragma once

#include <cstdint>

// The interface's card-name buffer: a name of at most 255 bytes and its NUL.
constexpr int dvb_card_name_bytes = 256;
// More cards than any machine holds: a count or an index beyond it comes
// from a broken library or reader.
constexpr int dvb_cards_max = 256;
// init receives on PIDs 0 to 8191; the tuner reader's 8192 is its whole stream.
constexpr uint32_t dvb_pid_max = 8191;

extern "C" {

// Loads the tuner reader named by its Windows file name ("Kestrix.dll") and
// returns the number of its cards; 0 or less means no tuner.
int GetCardCount(const char* reader_name);

// Writes card `index`'s name, NUL-terminated, into a buffer of
// dvb_card_name_bytes; an empty name for an index without a card.
void GetCardName(int index, char* name);

// Starts card `index` (stopping another one first). Low byte non-zero: started.
int StartCard(int index);

// Stops the started card; no callback of the reader reaches the library after it.
void DvbStop();

// Tunes the started card (card 0 is started when none is) and receives the
// service on `pid`. Low byte 0: tuned and receiving; any other low byte names
// the step that failed (dvb_init_result below).
//   frequency, symbol_rate, lof1, lof2, lof_switch: passed to the tuner reader
//     unchanged (the interface uses kHz and symbols per second)
//   polarisation: 0 horizontal/left, 1 vertical/right
//   fec, inversion, pilot, rolloff: the reader's codes, 0 = automatic
//   modulation: 0 auto, 1 QPSK, 2 8PSK, 3 16APSK, 4 32APSK, 5 QPSK (DVB-S2),
//     6 Turbo QPSK, 7 Turbo 8PSK, 8 Turbo 16PSK
//   diseqc_type: 0 none, 1 simple switch (tone burst), 2 DiSEqC 1.0/2.0
//   diseqc_position: 1-4 (0: none)
//   pid: 0-8191, in the low 16 bits
//   port_net: the engine's UDP port in network byte order, in the low 16 bits;
//     the payloads go to 127.0.0.1 at that port
//   sat_ip_net: the satellite provider's IPv4 address in network byte order;
//     only UDP datagrams addressed to it are passed on
//   verbose: non-zero writes "dvb.log" in the working directory
//   reader_name: the tuner reader's Windows file name (as for GetCardCount)
int init(int32_t frequency, int32_t symbol_rate, int32_t polarisation, int32_t fec, int32_t lof1, int32_t lof2,
         int32_t lof_switch, int32_t modulation, int32_t inversion, int32_t pilot, int32_t rolloff,
         int32_t diseqc_type, int32_t diseqc_position, uint32_t pid, uint32_t port_net, uint32_t sat_ip_net,
         int32_t verbose, const char* reader_name);

// The tuner's signal and the transport stream of the PID:
//   level: signal strength, 0-100 (the reader's dBm + 100, clamped)
//   quality: signal quality in percent
//   packets: transport-stream packets received on the PID
//   discontinuities: gaps found by the packets' continuity counters
//   locked: 1 while the tuner reports a lock
// Any pointer may be null. Without a started card the signal values are 0.
void GetStat(int* level, int* quality, uint64_t* packets, uint64_t* discontinuities, int* locked);

// What the PID filter passed on to the engine: UDP payload bytes, datagrams,
// and the sections dropped for a wrong CRC-32. Any pointer may be null.
void GetFilterStat(uint64_t* bytes, uint64_t* packets, uint64_t* crc_errors);
}

// init's results (low byte).
enum dvb_init_result : int {
    dvb_init_tuned = 0,
    dvb_init_no_reader = 1,      // the tuner reader did not load or lacks a function
    dvb_init_no_card = 2,        // no card could be started
    dvb_init_bad_pid = 3,        // above 8191
    dvb_init_bad_port = 4,       // port 0
    dvb_init_diseqc_failed = 5,  // the reader refused the switch command
    dvb_init_tune_failed = 6,    // the reader refused the transponder
    dvb_init_no_socket = 7,      // no UDP socket towards the engine
    dvb_init_filter_failed = 8,  // the reader refused the PID filter
};

// Exported names, in the order of the table the interface resolves.
#define DVB_API_FUNCTIONS(X) X(DvbStop) X(GetStat) X(GetFilterStat) X(init) X(GetCardCount) X(GetCardName) X(StartCard)
