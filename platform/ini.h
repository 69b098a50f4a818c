// Private-profile (ini) files read the way the Windows reader reads them:
// the file is opened afresh at every call (a relative path follows the
// current directory at that moment), section and key names compare without
// regard to case, keys and values are trimmed of blanks, a value in matching
// quotes loses them, and the first occurrence wins: only the first section
// of a name is searched, and in it the first line of a key. A path that is
// not a regular, readable file (a directory, a FIFO, a device) counts as a
// missing file.
#pragma once

#include <cstddef>
#include <string>

// No cut: the whole value is returned.
constexpr size_t ini_unbounded = 0;

// GetPrivateProfileString into a buffer of buffer_bytes: the value (or, when
// the file, the section or the key is missing, the default with its trailing
// blanks removed), cut to buffer_bytes - 1 characters.
std::string ini_get_string(const std::string& path, const std::string& section, const std::string& key,
                           const std::string& def, size_t buffer_bytes = ini_unbounded);

// GetPrivateProfileInt: the default when the key is missing or its value is
// empty, else the value read by ini_parse_int.
int ini_get_int(const std::string& path, const std::string& section, const std::string& key, int def);

// The number rule of GetPrivateProfileInt: leading blanks, an optional sign,
// then "0x" (hexadecimal), "0o" (octal), "0b" (binary) or decimal digits, up
// to the first character that is not one; no digits give 0. The value wraps
// in 32 bits as the Windows conversion does.
int ini_parse_int(const std::string& text);

// The lookup on text already read, for callers that hold the file's bytes.
// Returns false (and leaves *value alone) when the section or key is missing.
bool ini_find(const std::string& text, const std::string& section, const std::string& key, std::string* value);
