// refserver: the service's side of the session protocol, for tests and demos.
#include <cstdio>
#include <string>

#include "tools/refserver/account.h"
#include "tools/refserver/options.h"
#include "tools/refserver/server.h"

int main(int argc, char** argv) {
    refserver_options opts;
    std::string err;
    bool help = false;
    if (!parse_options(argc, argv, &opts, &err, &help)) {
        std::fprintf(stderr, "refserver: %s\n%s", err.c_str(), refserver_usage);
        return 2;
    }
    if (help) {
        std::fputs(refserver_usage, stdout);
        return 0;
    }
    account_service account(opts);
    if (opts.account_set && !account.start()) return 1;
    return refserver_run(opts);
}
