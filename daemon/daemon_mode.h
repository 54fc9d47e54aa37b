// Detaching from the terminal: fork, new session, fresh standard descriptors.
#pragma once

#include <string>

// Forks; the parent exits with status 0 and the child returns as a session
// leader with umask 0, working directory `directory` (unchanged when empty),
// every inherited descriptor closed and 0, 1 and 2 opened on the given paths.
// Throws std::runtime_error on failure.
void daemonize(const std::string& directory, const std::string& stdin_path,
               const std::string& stdout_path, const std::string& stderr_path);

// Closes every descriptor from `lowest` up, however high the descriptor limit:
// close_range where the kernel has it, else the descriptors listed in
// /proc/self/fd, else a loop bounded by `limit`.
void close_descriptors_from(int lowest, unsigned long limit);

// The process's current directory; "/" when it cannot be determined (for
// example when it was removed), so that a daemon never holds it.
std::string current_directory();
