#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

int open_regular_file(const std::string& path, int flags, mode_t mode) {
    const int fd = open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0) return -1;
    struct stat st;
    const bool stated = fstat(fd, &st) == 0;
    if (!stated || !S_ISREG(st.st_mode)) {
        const int err = !stated ? errno : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        close(fd);
        errno = err;
        return -1;
    }
    // Later reads and writes of a regular file are allowed to block.
    const int fl = fcntl(fd, F_GETFL);
    if (fl >= 0) fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    return fd;
}

bool read_regular_file(const std::string& path, std::string* text) {
    const int fd = open_regular_file(path, O_RDONLY);
    if (fd < 0) return false;
    bool ok = true;
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            text->append(buf, size_t(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            ok = false;
            break;
        }
    }
    close(fd);
    return ok;
}

namespace {

// As the kernel does: a chain this long is a loop.
constexpr int link_hops_max = 40;

bool write_all(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n > 0) {
            done += size_t(n);
        } else if (n < 0 && errno != EINTR) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string link_target(const std::string& path) {
    std::string at = path;
    for (int hop = 0; hop < link_hops_max; ++hop) {
        struct stat st;
        if (lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
        std::string to(size_t(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
        const ssize_t n = readlink(at.c_str(), &to[0], to.size());
        if (n < 0 || size_t(n) >= to.size()) break;
        to.resize(size_t(n));
        if (to.empty()) break;
        if (to[0] != '/') {
            const size_t slash = at.rfind('/');
            if (slash != std::string::npos) to = at.substr(0, slash + 1) + to;
        }
        at = to;
    }
    return at;
}

bool replace_file(const std::string& path, const std::string& text) {
    const std::string target = link_target(path);
    struct stat st;
    if (stat(target.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
            return false;
        }
    } else if (errno != ENOENT) {
        return false;
    }
    // Beside the target, so that the rename stays on one file system.
    std::string fresh = target + ".XXXXXX";
    const int fd = mkostemp(&fresh[0], O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = write_all(fd, text) && fsync(fd) == 0;
    int err = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && std::rename(fresh.c_str(), target.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlink(fresh.c_str());
        errno = err;
    }
    return ok;
}

void restrict_to_owner(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    const int fd = open_regular_file(path, O_RDONLY);
    if (fd < 0) return;
    if (fstat(fd, &st) == 0 && st.st_uid == geteuid() && (st.st_mode & 077)) fchmod(fd, st.st_mode & 0700);
    close(fd);
}

std::string second_name(const std::string& path) {
    const std::string target = link_target(path);
    struct stat st;
    if (stat(target.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return "";
    for (int n = 0; n < 100; ++n) {
        const std::string name = target + ".kept-" + std::to_string(getpid()) + "-" + std::to_string(n);
        if (link(target.c_str(), name.c_str()) == 0) return name;
        if (errno != EEXIST) return "";
    }
    return "";
}
