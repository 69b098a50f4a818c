// Network namespaces for tests that change routes and devices: the calling
// thread moves into a fresh namespace (lo up) and back on destruction, so
// that nothing it does reaches the machine's own table, and whatever it
// made there (devices, routes) goes with the namespace. Commands run with
// sh() fork from the calling thread and so act inside it too.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace test_support {

inline int sh(const std::string& cmd) {
    const int rc = std::system((cmd + " >/dev/null 2>&1").c_str());
    return rc == -1 ? -1 : WEXITSTATUS(rc);
}

inline std::string sh_out(const std::string& cmd) {
    std::string out;
    if (FILE* p = popen((cmd + " 2>&1").c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
    }
    return out;
}

class private_netns {
public:
    private_netns() {
        home_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        if (home_ < 0 || unshare(CLONE_NEWNET) != 0) {
            why_ = "no network namespaces here (needs CAP_SYS_ADMIN)";
            return;
        }
        entered_ = true;
        if (sh("ip link set lo up") != 0) why_ = "the ip command failed in a new namespace";
    }
    ~private_netns() {
        if (entered_) (void)setns(home_, CLONE_NEWNET);
        if (home_ >= 0) close(home_);
    }
    private_netns(const private_netns&) = delete;
    private_netns& operator=(const private_netns&) = delete;
    bool ok() const { return entered_ && why_.empty(); }
    const std::string& why() const { return why_; }

private:
    int home_ = -1;
    bool entered_ = false;
    std::string why_;
};

// A named namespace ("ip netns add"), deleted on destruction; for programs
// that are told a namespace by name.
class named_netns {
public:
    explicit named_netns(const std::string& name) : name_(name) {
        made_ = sh("ip netns add " + name) == 0 && sh("ip -n " + name + " link set lo up") == 0;
    }
    ~named_netns() {
        if (made_) sh("ip netns del " + name_);
    }
    named_netns(const named_netns&) = delete;
    named_netns& operator=(const named_netns&) = delete;
    bool ok() const { return made_; }
    const std::string& name() const { return name_; }

private:
    std::string name_;
    bool made_ = false;
};

// A name unique to this test process: prefix, the pid, a suffix (at most 15
// characters for interface names).
inline std::string unique_name(const std::string& prefix, const std::string& suffix = "") {
    return prefix + std::to_string(getpid() % 1000000) + suffix;
}

}  // namespace test_support
