// Runs a piece of daemon code in a child process and collects what it wrote
// to standard output and standard error and how it ended, so that code which
// prints, exits or aborts can be checked byte for byte.
#pragma once

#include <functional>
#include <string>

struct ChildResult {
    std::string out;
    std::string err;
    int status = 0;  // raw wait status
    bool exited() const;
    int exit_code() const;
    bool killed_by(int signal) const;
};

ChildResult run_in_child(const std::function<void()>& body);
