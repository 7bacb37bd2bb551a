// Reports a bus error, which reading a memory-mapped file that has been truncated raises, as one
// line, "PREFIX FILE changed or was removed during the run" (the file found in /proc/self/maps),
// and exits with status 1. Python-free and torch-free.
#pragma once

#include <cstdint>
#include <string>

namespace bus_error {

// Installs the SIGBUS handler; `prefix` starts the line it writes.
void exit_on_bus_error(const std::string& prefix);

// The file of a line of /proc/self/maps ("start-end perms offset dev inode path") if its range
// holds `address`; nullptr otherwise, and for mappings of no file ([heap], anonymous).
const char* file_at(const char* line, uintptr_t address);

}  // namespace bus_error
