#include "tests/ui/dvb/fake_dvb.h"

#include <cstdio>

namespace {

fake_dvb fake;

}  // namespace

extern "C" {

fake_dvb* FakeDvb() { return &fake; }

#ifndef FAKE_DVB_WITHOUT_CARD_COUNT
int GetCardCount(const char* reader_name) {
    fake.journal.push_back("GetCardCount(" + std::string(reader_name ? reader_name : "") + ")");
    return fake.count >= 0 ? fake.count : int(fake.cards.size());
}
#ifndef FAKE_DVB_WITHOUT_CARD_NAME
void GetCardName(int index, char* name) {
    fake.journal.push_back("GetCardName(" + std::to_string(index) + ")");
    std::snprintf(name, dvb_card_name_bytes, "%s", size_t(index) < fake.cards.size() ? fake.cards[size_t(index)].c_str() : "");
}
#endif
#endif

int StartCard(int index) {
    fake.journal.push_back("StartCard(" + std::to_string(index) + ")");
    return fake.start_result;
}

void DvbStop() { fake.journal.push_back("DvbStop"); }

int init(int32_t frequency, int32_t symbol_rate, int32_t polarisation, int32_t fec, int32_t lof1, int32_t lof2,
         int32_t lof_switch, int32_t modulation, int32_t inversion, int32_t pilot, int32_t rolloff,
         int32_t diseqc_type, int32_t diseqc_position, uint32_t pid, uint32_t port_net, uint32_t sat_ip_net,
         int32_t verbose, const char* reader_name) {
    fake.journal.push_back("init");
    fake.init_values = {uint32_t(frequency), uint32_t(symbol_rate), uint32_t(polarisation), uint32_t(fec),
                        uint32_t(lof1), uint32_t(lof2), uint32_t(lof_switch), uint32_t(modulation),
                        uint32_t(inversion), uint32_t(pilot), uint32_t(rolloff), uint32_t(diseqc_type),
                        uint32_t(diseqc_position), pid, port_net, sat_ip_net, uint32_t(verbose)};
    fake.init_reader = reader_name ? reader_name : "(null)";
    return fake.init_result;
}

void GetStat(int* level, int* quality, uint64_t* packets, uint64_t* discontinuities, int* locked) {
    fake.journal.push_back("GetStat");
    *level = fake.level;
    *quality = fake.quality;
    *packets = fake.packets;
    *discontinuities = fake.discontinuities;
    *locked = fake.quality > 0;
}

#ifndef FAKE_DVB_WITHOUT_FILTER_STAT
void GetFilterStat(uint64_t* bytes, uint64_t* packets, uint64_t* crc_errors) {
    fake.journal.push_back("GetFilterStat");
    *bytes = fake.filter_bytes;
    *packets = fake.filter_packets;
    *crc_errors = fake.crc_errors;
}
#endif
}
