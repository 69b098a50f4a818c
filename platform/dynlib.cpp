#include "platform/dynlib.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstring>

namespace {

std::string& search_dir_ref() {
    static std::string dir;
    return dir;
}

std::string exe_dir() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    buf[n] = 0;
    char* slash = std::strrchr(buf, '/');
    if (!slash) return ".";
    *slash = 0;
    return buf;
}

void* load_from(const std::string& dir, const char* windows_name) {
    std::string path = dir + "/" + dynlib_file_name(windows_name);
    if (access(path.c_str(), R_OK) != 0) return nullptr;
    return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

}  // namespace

std::string dynlib_file_name(const char* windows_name) {
    std::string name(windows_name);
    const std::string ext = ".dll";
    if (name.size() > ext.size() && strcasecmp(name.c_str() + name.size() - ext.size(), ext.c_str()) == 0)
        return "lib" + name.substr(0, name.size() - ext.size()) + ".so";
    return name;
}

void dynlib_set_search_dir(const std::string& dir) { search_dir_ref() = dir; }

std::string dynlib_search_dir() {
    if (search_dir_ref().empty()) search_dir_ref() = exe_dir();
    return search_dir_ref();
}

void* dynlib_load(const char* windows_name) { return load_from(dynlib_search_dir(), windows_name); }

std::string dynlib_module_dir(const void* address) {
    Dl_info info{};
    if (!dladdr(address, &info) || !info.dli_fname || !std::strchr(info.dli_fname, '/')) return exe_dir();
    std::string path = info.dli_fname;
    return path.substr(0, path.rfind('/'));
}

void* dynlib_load_beside(const void* address, const char* windows_name) {
    return load_from(dynlib_module_dir(address), windows_name);
}

void* dynlib_symbol(void* lib, const char* name) {
    if (!lib) return nullptr;
    return dlsym(lib, name);
}

void dynlib_close(void* lib) {
    if (lib) dlclose(lib);
}
