// The start-up configuration file: the two server addresses printed at start,
// and the further sections read by the parts they configure.
#pragma once

#include <cstddef>

constexpr const char* config_path = "/etc/vorlask.conf";

// No real configuration comes near this size. The file is read whole into
// memory, so a larger one is refused before it is read: on a router with
// 64 MiB a runaway file would otherwise end the daemon out of memory.
constexpr size_t max_config_size = size_t{64} * 1024;

// Reads `path` and prints ucast_addr, then mcast_addr, of section [server],
// each on its own line. Both are looked up before either is printed; the
// parsed file is released before the call returns. On a file that is too
// large or not a regular file, or a missing file or key, says which on
// standard error and returns false; the caller ends start-up there.
//
// `more`, when given, reads the file's further sections ([scan], [mqtt])
// after the two lookups and before either value is printed: it says what is
// wrong on standard error and returns false to end start-up.
class Confile;
using MoreSections = bool (*)(const Confile& config, void* context);
bool print_startup_config(const char* path, MoreSections more = nullptr, void* context = nullptr);
