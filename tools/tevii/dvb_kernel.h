// The kernel calls of the Linux DVB back end (frontend, demux, DVR and the
// card's input device), behind one seam so that tests drive the back end
// with a fake kernel. The device thread's poll goes through it too, so that
// a test can count the thread's wake-ups; a fake passes it on to the kernel
// and hands out real descriptors (pipes, sockets, /dev/null) to be polled.
#pragma once

#include <poll.h>
#include <sys/types.h>

struct dvb_kernel_ops {
    int (*open)(const char* path, int flags);
    int (*close)(int fd);
    int (*ioctl)(int fd, unsigned long request, void* arg);
    ssize_t (*read)(int fd, void* buffer, size_t length);
    int (*poll)(pollfd* fds, nfds_t count, int timeout_ms);
};

const dvb_kernel_ops& dvb_kernel();
// nullptr restores the kernel. Set before a back end opens anything.
void dvb_kernel_set_impl(const dvb_kernel_ops* ops);
