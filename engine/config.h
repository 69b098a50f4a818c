// The configuration file reader.
#pragma once

#include <string>

extern const char* config_file_name;  // "quorin.conf" in the working directory

int read_config();

// Skips leading blanks and control bytes; a "#" line is empty; ends at CR/LF.
char* trim(char* line);
// The value of a "key = value" line: one word, possibly empty.
std::string conf_split(const char* line);
// Cuts trailing CR, LF and blanks in place.
void strip_eol(char* s);
