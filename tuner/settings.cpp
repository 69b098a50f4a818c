#include "tuner/settings.h"

#include <cctype>

#include "platform/ini.h"
#include "tuner/log.h"
#include "tuner/state.h"

namespace {

// Buffers the values are read into: a longer value is cut to fit.
constexpr size_t log_value_bytes = 16;
constexpr size_t value_bytes = 128;

struct word_row {
    int code;
    const char* words[5];  // tested in order; the first match wins
};

struct word_table {
    const char* key;
    const word_row* rows;
    int row_count;
    const char* const* lines;  // by code
};

const word_row modulation_rows[] = {
    {2, {"8PSK", "S2", "DVBS2", "DVB-S2", "2"}}, {3, {"16APSK", "3"}},          {4, {"32APSK", "4"}},
    {1, {"QPSK", "S", "DVBS", "DVB-S", "1"}},    {5, {"QPSK2", "QPSK-S2", "5"}}, {6, {"QPSK-T", "QPSK_T", "6"}},
    {7, {"8PSK-T", "8PSK_T", "7"}},              {8, {"16PSK-T", "16PSK_T", "8"}},
};
const char* const modulation_lines[] = {
    "Default modulation: AUTO",    "Default modulation: QPSK",         "Default modulation: 8PSK",
    "Default modulation: 16APSK",  "Default modulation: 32APSK",       "Default modulation: QPSK-S2",
    "Default modulation: Turbo QPSK", "Default modulation: Turbo 8PSK", "Default modulation: Turbo 16PSK",
};
const word_row inversion_rows[] = {{2, {"ON", "2", "INVERTED"}}, {1, {"OFF", "1", "NORMAL"}}};
const char* const inversion_lines[] = {"Default spectral inversion: AUTO", "Default spectral inversion: NORMAL",
                                       "Default spectral inversion: INVERTED"};
const word_row pilot_rows[] = {{1, {"OFF", "1"}}, {2, {"ON", "2"}}};
const char* const pilot_lines[] = {"Default pilot: AUTO", "Default pilot: OFF", "Default pilot: ON"};
const word_row rolloff_rows[] = {{1, {"20", "1"}}, {2, {"25", "2"}}, {3, {"35", "3"}}};
const char* const rolloff_lines[] = {"Default rolloff: AUTO", "Default rolloff: 0.20", "Default rolloff: 0.25",
                                     "Default rolloff: 0.35"};

template <size_t rows, size_t lines>
constexpr word_table table(const char* key, const word_row (&r)[rows], const char* const (&l)[lines]) {
    return {key, r, int(rows), l};
}

const word_table tables[] = {
    table("Modulation", modulation_rows, modulation_lines),
    table("Inversion", inversion_rows, inversion_lines),
    table("Pilot", pilot_rows, pilot_lines),
    table("Rolloff", rolloff_rows, rolloff_lines),
};

const word_table& table_of(tuning_key key) { return tables[int(key)]; }

std::string read_value(const char* key, const char* def, size_t bytes) {
    return ini_get_string(kestrix_ini_path, kestrix_ini_section, key, def, bytes);
}

}  // namespace

int tuning_word_code(tuning_key key, const std::string& value) {
    std::string upper(value);
    for (char& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
    const word_table& t = table_of(key);
    for (int r = 0; r < t.row_count; ++r)
        for (const char* w : t.rows[r].words)
            if (w && upper == w) return t.rows[r].code;
    return 0;
}

const char* tuning_code_line(tuning_key key, int code) { return table_of(key).lines[code]; }

int leading_decimal(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    uint32_t v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) v = v * 10u + uint32_t(text[i] - '0');
    return int(negative ? 0u - v : v);
}

int read_log_level() { return leading_decimal(read_value("Log", "0", log_value_bytes)); }

void read_tuning_defaults() {
    kx.demux.no_pid_filter = leading_decimal(read_value("NoPidFilter", "0", value_bytes)) != 0;
    if (kx.demux.no_pid_filter) kx_log("PID filtering disabled !");
    int* const targets[] = {&kx.default_modulation, &kx.default_inversion, &kx.default_pilot, &kx.default_rolloff};
    for (int k = 0; k < 4; ++k) {
        const auto key = tuning_key(k);
        *targets[k] = tuning_word_code(key, read_value(table_of(key).key, "AUTO", value_bytes));
        kx_log("%s", tuning_code_line(key, *targets[k]));
    }
}

uint32_t read_device_id() { return uint32_t(leading_decimal(read_value("Device_ID", "0", value_bytes))); }
