#include "tools/tevii/dvb_kernel.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

int kernel_open(const char* path, int flags) { return ::open(path, flags | O_CLOEXEC); }
int kernel_close(int fd) { return ::close(fd); }
int kernel_ioctl(int fd, unsigned long request, void* arg) {
    int r;
    do r = ::ioctl(fd, request, arg);
    while (r < 0 && errno == EINTR);
    return r;
}
ssize_t kernel_read(int fd, void* buffer, size_t length) { return ::read(fd, buffer, length); }
int kernel_poll(pollfd* fds, nfds_t count, int timeout_ms) { return ::poll(fds, count, timeout_ms); }

const dvb_kernel_ops real_kernel = {kernel_open, kernel_close, kernel_ioctl, kernel_read, kernel_poll};
std::atomic<const dvb_kernel_ops*> current{&real_kernel};

}  // namespace

const dvb_kernel_ops& dvb_kernel() { return *current.load(std::memory_order_acquire); }

void dvb_kernel_set_impl(const dvb_kernel_ops* ops) { current.store(ops ? ops : &real_kernel); }
