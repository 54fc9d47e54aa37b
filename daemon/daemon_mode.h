// Detaching from the terminal: fork, new session, fresh standard descriptors,
// and the start-up outcome carried back to the parent through a pipe.
#pragma once

#include <sys/types.h>

#include <string>

// Forks. The child returns as a session leader with umask 0, working
// directory `directory` (unchanged when empty), every inherited descriptor
// closed and 0, 1 and 2 opened on the given paths. Throws std::runtime_error
// on failure.
//
// The parent does not return: it waits for the child's start-up (see
// startup_step_done) and exits with what await_startup says. Until its
// start-up has finished, the child's standard error is the pipe to the
// parent (the one descriptor, 3, kept from before the fork), so a failure
// message it prints reaches the command's own standard error.
void daemonize(const std::string& directory, const std::string& stdin_path,
               const std::string& stdout_path, const std::string& stderr_path);

// The detached child's start-up has these steps: the registration sent to the
// kernel and the multicast channel set up.
constexpr int startup_steps = 2;

// The parent waits at most this long for them.
constexpr int startup_wait_ms = 5000;

// Called once per step, from any thread. When the last step is done, the
// child's standard error goes to its file, the parent is told and the pipe is
// closed. Does nothing outside a detached child.
void startup_step_done();

// The parent's side: reads the child's outcome from `fd` for at most
// `limit_ms` milliseconds. Returns 0 once the child has finished its start-up
// (passing on anything it printed before); otherwise prints on standard error
// and sends to the system log what the child printed, or that it ended or did
// not finish its start-up in time (then it is killed), and returns 1.
int await_startup(int fd, pid_t child, int limit_ms);

// Closes every descriptor from `lowest` up, however high the descriptor limit:
// close_range where the kernel has it, else the descriptors listed in
// /proc/self/fd, else a loop bounded by `limit`.
void close_descriptors_from(int lowest, unsigned long limit);

// The process's current directory; "/" when it cannot be determined (for
// example when it was removed), so that a daemon never holds it.
std::string current_directory();
