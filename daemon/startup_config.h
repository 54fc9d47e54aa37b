// The start-up configuration file: the two server addresses printed at start,
// and the keep rule of the scan.
#pragma once

#include <memory>

#include "scan_config.h"

class Confile;

constexpr const char* config_path = "/etc/vorlask.conf";

// Reads `path` and prints ucast_addr, then mcast_addr, of section [server],
// each on its own line. Both are looked up before either is printed. On a
// missing file or key, says which on standard error and returns null; the
// caller ends start-up there. The returned configuration lives as long as the
// caller keeps it. Section [scan] is read into `rule` after the two lookups
// and before either value is printed; a bad value there also returns null.
std::unique_ptr<Confile> print_startup_config(const char* path, ScanRule& rule);
