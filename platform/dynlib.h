// Loading the engine's companion libraries by the names the Windows program
// used, resolved to shared objects that sit next to the executable.
#pragma once

#include <string>

// Library names as the Windows program knew them.
#define QUORIN_UI_DLL "quorin_ui.dll"
#define TUN_DLL "tun.dll"
#define DVB_DLL "dvb.dll"
#define KESTRIX_DLL "Kestrix.dll"
#define TEVII_DLL "TeVii.dll"

// "quorin_ui.dll" -> "libquorin_ui.so"; any other name passes unchanged.
std::string dynlib_file_name(const char* windows_name);

// Directory searched first (the executable's own directory by default).
void dynlib_set_search_dir(const std::string& dir);
std::string dynlib_search_dir();

// LoadLibraryA: returns a handle or nullptr.
void* dynlib_load(const char* windows_name);
// GetProcAddress: a function or data symbol, nullptr when absent.
void* dynlib_symbol(void* lib, const char* name);
void dynlib_close(void* lib);

// The directory of the shared object (or executable) that holds `address`,
// as it was loaded; "." when it cannot be told. A library that loads its own
// companion, or reads a file placed beside it, looks there.
std::string dynlib_module_dir(const void* address);
// LoadLibraryA from the directory of the module that holds `address`: the
// tuner reader finds the maker's library beside itself.
void* dynlib_load_beside(const void* address, const char* windows_name);
