#include "tests/dvb/fake_kestrix.h"

#include <string>

namespace {

fake_kestrix fake;

void note(const std::string& line) {
    std::lock_guard<std::mutex> lock(fake.mutex);
    fake.journal.push_back(line);
}

std::string args(std::initializer_list<uint64_t> v) {
    std::string s;
    for (uint64_t x : v) s += (s.empty() ? "" : ",") + std::to_string(x);
    return s;
}

}  // namespace

extern "C" {

fake_kestrix* FakeKestrix() { return &fake; }

int FakeKestrixDeliver(const uint8_t* data, uint32_t length) {
    int delivered = 0;
    for (uint32_t at = 0; at + 188 <= length; at += 188) {
        const uint16_t pid = uint16_t(((data[at + 1] & 0x1F) << 8) | data[at + 2]);
        kestrix_packet_fn* cb = nullptr;
        {
            std::lock_guard<std::mutex> lock(fake.mutex);
            for (const auto& f : fake.filters)
                if (f.pid == pid || f.pid == 8192) cb = f.callback;
        }
        if (!cb) continue;
        cb(data + at, 188);
        delivered++;
    }
    return delivered;
}

int CheckForDVBEx(kestrix_device_fn* callback) {
    note("CheckForDVBEx");
    if (!fake.check_result) return 0;
    if (fake.listed) return 1;  // the device callback runs once per process
    fake.listed = true;
    for (size_t i = 0; i < fake.cards.size(); i++)
        if (callback) callback(int(i), fake.cards[i].c_str());
    return 1;
}

int StartDVBEx(uint32_t device) {
    note("StartDVBEx(" + args({device}) + ")");
    if (!fake.start_result || fake.started >= 0 || device >= fake.cards.size()) return 0;
    fake.started = int(device);
    return 1;
}

int StopDVB() {
    note("StopDVB");
    std::lock_guard<std::mutex> lock(fake.mutex);
    fake.filters.clear();
    fake.started = -1;
    return 1;
}

int SetChannelExEx(uint32_t frequency, uint32_t symbol_rate, uint32_t polarisation, uint32_t fec, uint32_t lof1,
                   uint32_t lof2, uint32_t lof_switch, uint32_t modulation, uint32_t inversion, uint32_t pilot,
                   uint32_t rolloff) {
    note("SetChannelExEx(" +
         args({frequency, symbol_rate, polarisation, fec, lof1, lof2, lof_switch, modulation, inversion, pilot,
               rolloff}) +
         ")");
    return fake.started >= 0 ? fake.tune_result : 0;
}

int SendDiSEqC(uint32_t type, uint8_t data) {
    note("SendDiSEqC(" + args({type, data}) + ")");
    return fake.started >= 0 ? fake.diseqc_result : 0;
}

int SetFilter(uint16_t pid, void* callback, uint32_t callback_type, uint32_t size, uint32_t* filter_number) {
    note("SetFilter(" + args({pid, callback_type, size}) + ")");
    if (fake.started < 0 || !fake.filter_result || !callback || !filter_number || pid > 8192) return 0;
    std::lock_guard<std::mutex> lock(fake.mutex);
    for (const auto& f : fake.filters)
        if (f.pid == pid) return 0;
    *filter_number = fake.next_filter++;
    fake.filters.push_back({pid, reinterpret_cast<kestrix_packet_fn*>(callback), *filter_number});
    return 1;
}

int DelFilter(uint32_t filter_number) {
    note("DelFilter(" + args({filter_number}) + ")");
    std::lock_guard<std::mutex> lock(fake.mutex);
    for (auto it = fake.filters.begin(); it != fake.filters.end(); ++it) {
        if (it->number != filter_number) continue;
        fake.filters.erase(it);
        return 1;
    }
    return 0;
}

#ifndef FAKE_KESTRIX_WITHOUT_STATISTIC
int Statistic(SignalStatistic* statistic) {
    if (fake.started < 0 || !statistic) return 0;
    *statistic = fake.signal;
    return 1;
}
#endif
}
