// Runs a program as a child process and collects its exit status and output, for tests of the real binaries.
#pragma once

#include <string>
#include <vector>

#include "platform/child_process.h"

struct child_result {
    int exit_code = -1;  // -1 when the child ended by a signal
    int signal = 0;      // the signal that ended it, or 0
    std::string out;     // everything written on stdout
    std::string err;     // everything written on stderr
};

// Runs args[0] (a path) with args and this process's environment, stdin from /dev/null, and waits for it.
child_result run_child(const std::vector<std::string>& args);

// Starts args[0] with stdout and stderr going to the given files (truncated).
child_process start_child(const std::vector<std::string>& args, const std::string& out_path,
                          const std::string& err_path);
// Waits for a started child and reaps it; fills exit_code and signal (not out and err).
child_result wait_child(child_process& child);

// Path of a program of this build (MIVRA_BIN_DIR).
std::string program_path(const std::string& name);
