// "kestrix.ini" (section "Kestrix", read from the current directory at each
// read, never written) and the words its tuning keys take.
#pragma once

#include <cstdint>
#include <string>

constexpr const char* kestrix_ini_path = "kestrix.ini";
constexpr const char* kestrix_ini_section = "Kestrix";

enum class tuning_key { modulation, inversion, pilot, rolloff };

// A value word, upper-cased, to its code (0, AUTO, for any other word).
int tuning_word_code(tuning_key key, const std::string& value);
// The log line that names a code ("Default modulation: 8PSK").
const char* tuning_code_line(tuning_key key, int code);

// A value read as a decimal integer: leading blanks, a sign, digits; none 0.
int leading_decimal(const std::string& text);

// The log level at load ("Log", default 0).
int read_log_level();
// NoPidFilter and the four tuning defaults into the state, each logged.
void read_tuning_defaults();
// Device_ID, default 0.
uint32_t read_device_id();
