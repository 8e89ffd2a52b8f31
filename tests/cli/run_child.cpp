#include "cli/run_child.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

std::string program_path(const std::string& name) { return std::string(MIVRA_BIN_DIR) + "/" + name; }

pid_t start_child(const std::vector<std::string>& args, const std::string& out_path, const std::string& err_path) {
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0) _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

child_result wait_child(pid_t pid) {
    child_result r;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
    return r;
}

child_result run_child(const std::vector<std::string>& args) {
    char dir_template[] = "/tmp/mivra-child-XXXXXX";
    const char* dir = mkdtemp(dir_template);
    if (!dir) throw std::runtime_error("mkdtemp failed");
    const std::string out_path = std::string(dir) + "/out";
    const std::string err_path = std::string(dir) + "/err";
    child_result r = wait_child(start_child(args, out_path, err_path));
    r.out = slurp(out_path);
    r.err = slurp(err_path);
    std::remove(out_path.c_str());
    std::remove(err_path.c_str());
    rmdir(dir);
    return r;
}
