// Memory of `mivra pull` while it downloads a large file: the program pulls a pack holding one small and one large
// LFS file from the imitation of the Hub on the local HTTPS test server (tests/distribution/hub_route.js), once with
// a 64 MiB file and once with a file of several GB, and reports the peak resident memory of each run (wait4's
// ru_maxrss) and the resident memory sampled every 0.1 s. A flat download keeps the large run's peak near the
// small run's.
//
//   build/bin/pull_memory_bench [GB]      (default 3; needs node, openssl and GB of free space in $TMPDIR)
//
// The source files are sparse; the downloaded copy is deleted after each run and everything else at the end.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/http_client.h"
#include "common/https_server.h"
#include "distribution/download_file.h"

namespace fs = std::filesystem;

extern char** environ;

namespace {

struct run_result {
    int exit_code = -1;
    double seconds = 0;
    double peak_mb = 0;                 // ru_maxrss
    std::vector<double> samples_mb;     // VmRSS every 0.1 s
};

double rss_mb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
    }
    return 0;
}

run_result run_pull(const std::string& mivra, const std::string& repo, const fs::path& out) {
    std::vector<std::string> args = {mivra, "pull", repo, out.string()};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0); // progress lines are not wanted here
    run_result r;
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) return r;
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    for (;;) {
        if (wait4(pid, &status, WNOHANG, &usage) == pid) break;
        if (const double mb = rss_mb(pid); mb > 0) r.samples_mb.push_back(mb);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.peak_mb = static_cast<double>(usage.ru_maxrss) / 1024.0;
    return r;
}

void report(const char* what, uint64_t bytes, const run_result& r) {
    double low = 0, high = 0;
    if (!r.samples_mb.empty()) {
        low = *std::min_element(r.samples_mb.begin(), r.samples_mb.end());
        high = *std::max_element(r.samples_mb.begin(), r.samples_mb.end());
    }
    std::printf("%-6s file %-10s exit %d  %6.1f s  %7.1f MB/s  peak RSS %6.1f MB  (sampled %zu times: %.1f .. %.1f MB)\n",
                what, format_size(static_cast<double>(bytes)).c_str(), r.exit_code, r.seconds,
                static_cast<double>(bytes) / 1e6 / r.seconds, r.peak_mb, r.samples_mb.size(), low, high);
}

}  // namespace

int main(int argc, char** argv) {
    const double gb = argc > 1 ? std::atof(argv[1]) : 3.0;
    const uint64_t large = static_cast<uint64_t>(gb * 1e9) / 4096 * 4096;
    const uint64_t small = uint64_t{64} << 20;
    const fs::path bin = fs::read_symlink("/proc/self/exe").parent_path();
    const std::string mivra = (bin / "mivra").string();

    std::string pattern = (fs::temp_directory_path() / "mivra-pull-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return 1;
    const fs::path root = pattern;
    https_test_server server(std::string(MIVRA_SOURCE_DIR) + "/tests/distribution/hub_route.js");
    const std::string endpoint = server.url("/hub/" + url_encode((root / "hub").string()) + "/-");
    setenv("MIVRA_CA_FILE", server.ca_file().c_str(), 1);
    setenv("HF_ENDPOINT", endpoint.c_str(), 1);

    int code = 0;
    for (const auto& [what, bytes] : {std::pair{"small", small}, std::pair{"large", large}}) {
        const std::string repo = std::string("o/") + what;
        const fs::path folder = root / "hub" / "o" / what / "main";
        fs::create_directories(folder);
        std::ofstream(folder / "manifest.json") << "{}";
        std::ofstream(folder / "experts.bin").close();
        fs::resize_file(folder / "experts.bin", bytes);
        // The imitation hashes the source while it lists it; list once before timing so only the pull is measured.
        std::string body, error;
        if (!http_get_text(endpoint + "/api/models/" + repo + "/tree/main", body, error)) {
            std::fprintf(stderr, "listing failed: %s\n", error.c_str());
            code = 1;
            break;
        }
        const run_result r = run_pull(mivra, repo, root / "out");
        report(what, bytes, r);
        std::error_code missing;
        if (r.exit_code != 0 || fs::file_size(root / "out" / "experts.bin", missing) != bytes) code = 1;
        fs::remove_all(root / "out");
    }
    std::error_code ec;
    fs::remove_all(root, ec);
    return code;
}
