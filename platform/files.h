// Files that must be regular files. A configuration or settings path may
// be a FIFO, a device or a directory by mistake or by malice: opening a
// FIFO waits for a writer, reading a device can block or never end. These
// open without waiting and refuse anything but a regular file.
#pragma once

#include <sys/types.h>

#include <string>

// open(path, flags, mode) without blocking on a FIFO; the descriptor is
// returned (blocking again, close-on-exec) only when it names a regular
// file. Else -1 with errno set: open's own, or EINVAL (EISDIR for a
// directory) for a path that opened but is not a regular file. A FIFO
// opened for writing with no reader fails in open with ENXIO.
int open_regular_file(const std::string& path, int flags, mode_t mode = 0600);

// The whole of a regular file, or false (and *text unchanged or partly
// filled) when there is none or reading failed.
bool read_regular_file(const std::string& path, std::string* text);

// The file that path finally names once its symbolic links are followed
// (path itself when it is no link). A relative link counts from the link's
// folder; a link to nothing gives the missing file it points to.
std::string link_target(const std::string& path);

// Replaces the file at path (the target of a link: the link stays) with
// text, so that a failure loses nothing: text goes to a new file in the
// same folder, readable by its owner only, which is flushed to disk and
// renamed over the old one. On any failure the new file is removed, the old
// one is untouched and errno tells why; anything at the target other than a
// regular file is refused with EINVAL (EISDIR for a directory) and not
// opened.
bool replace_file(const std::string& path, const std::string& text);

// Takes group and other access away from the regular file at path (through
// links) when the process's user owns it. Nothing else is touched, not even
// opened: a device, a FIFO, a directory, a file of another user.
void restrict_to_owner(const std::string& path);

// A second name, in its own folder, for the regular file at path (a hard
// link: it takes no room on a full disk), to bring the file back should a
// writer that replaces it fail; "" when none could be made.
std::string second_name(const std::string& path);
