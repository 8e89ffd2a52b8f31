#include "cli/run_child.h"

namespace {

child_spec spec_of(const std::vector<std::string>& args) {
    child_spec spec;
    spec.argv = args;
    spec.env = current_environment();
    return spec;
}

void fill_status(child_result& r, int code, int signal) {
    r.signal = signal;
    r.exit_code = signal != 0 ? -1 : code;
}

}  // namespace

std::string program_path(const std::string& name) { return std::string(MIVRA_BIN_DIR) + "/" + name; }

child_process start_child(const std::vector<std::string>& args, const std::string& out_path,
                          const std::string& err_path) {
    child_spec spec = spec_of(args);
    spec.out = child_stream::file_truncate(out_path);
    spec.err = child_stream::file_truncate(err_path);
    return spawn_child(spec);
}

child_result wait_child(child_process& child) {
    child_result r;
    const int code = child.reap();
    fill_status(r, code, child.killed_by().value_or(0));
    return r;
}

child_result run_child(const std::vector<std::string>& args) {
    child_spec spec = spec_of(args);
    spec.out = child_stream::pipe();
    spec.err = child_stream::pipe();
    const child_run_result run = run_to_end(spec);
    child_result r;
    fill_status(r, run.exit_code, run.killed_by);
    r.out = run.out;
    r.err = run.err;
    return r;
}
