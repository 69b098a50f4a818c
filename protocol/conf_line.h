// The one fact about the engine configuration file's lines that its reader
// (the engine) and its writer (the interface) must agree on.
#pragma once

// The engine reads the file with fgets into a buffer of this size: a line
// longer than conf_line_max_bytes, its line end included, is read as two
// lines, the second of which the writer never meant.
constexpr int conf_line_buffer_bytes = 1024;
constexpr int conf_line_max_bytes = conf_line_buffer_bytes - 1;
