// The configuration file reader.
#pragma once

#include <string>

extern const char* config_file_name;  // "quorin.conf" in the working directory

int read_config();
// The [remote] and [local] tables, zero-filled, when they do not exist yet.
void config_tables_alloc();

// Skips leading blanks and control bytes; a "#" line is empty; ends at CR/LF.
char* trim(char* line);
// The value of a "key = value" line: one word, possibly empty.
std::string conf_split(const char* line);
// Cuts trailing CR, LF and blanks in place.
void strip_eol(char* s);

// Version texts shared by the banner and the log file's first line.
constexpr int quorin_version_major = 5;
constexpr int quorin_version_minor = 0;
constexpr int quorin_version_build = 16;
constexpr const char* quorin_version_suffix = "-RC";
constexpr const char* quorin_version_text = "v5.0.16-RC";
constexpr const char* quorin_build_date = "Jul 16 2010";
constexpr const char* quorin_build_time = "16:51:55";
