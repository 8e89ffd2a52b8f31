// Runs a program as a child with an explicit argument list and environment and collects its output, so tests that
// need another HOME or another MIVRA_CATALOG never change their own environment.
#pragma once

#include <string>
#include <vector>

#include "platform/child_process.h"

struct child_result {
    int exit_code = -1;
    std::string out;
    std::string err;
};

// argv[0] is a path; `input` is written to the child's stdin, which is then closed.
inline child_result run_child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                              const std::string& input = "") {
    child_spec spec;
    spec.argv = argv;
    spec.env = env;
    spec.out = child_stream::pipe();
    spec.err = child_stream::pipe();
    child_run_options options;
    options.input = input;
    const child_run_result r = run_to_end(spec, options);
    return {r.exit_code, r.out, r.err};
}
