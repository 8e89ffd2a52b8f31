// mivra-serve-bench: time to first token and aggregate decode speed of `mivra serve` under 1, 4, 16 ... concurrent
// streaming clients (OpenAI /v1/chat/completions with "stream": true).
//
//   mivra-serve-bench PACK_DIR [--clients 1,4,16] [-n 128] [-np 16] [-t 4] [-c 4096] [--port 18090]
//                     [--cache-mb 0] [--server PATH]
//
// The program starts the server itself (stderr to a temporary file) so that it can read the server's own
// per-request statistics lines: tokens are the server's generated counts, not the client's chunk counts. Every
// request has its own prompt (no prefix reuse between requests), greedy sampling and max_tokens -n.
//
// The server is mivra-test-server when it was built beside this program, else mivra (--server chooses). A
// random-weight model writes random bytes, which the chat parser may refuse mid-stream (the stream then falls back
// to one text chunk at the end, or ends in an error event on invalid UTF-8), so the prompts carry a "[[loop:...]]"
// script: the test server's engine evaluates every step for real but emits that plain text, and every stream runs
// to max_tokens. Speculative drafts are turned off (--draft 0), as the repeated text would make every draft hit.
// Time to first token: from sending the request to the first content chunk. Aggregate speed: all generated tokens
// of a round / wall time from the first request sent to the last stream ended.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "httplib.h"
#include "platform/child_process.h"

namespace {

using clock_type = std::chrono::steady_clock;

struct bench_options {
    std::string pack;
    std::vector<int> clients = {1, 4, 16};
    int n_predict = 128;
    int n_parallel = 16;
    int n_threads = 4;
    int n_ctx = 4096;
    int port = 18090;
    std::string cache_mb = "0";
    std::string server;
};

std::vector<int> int_list(const std::string& text) {
    std::vector<int> out;
    std::stringstream s(text);
    for (std::string item; std::getline(s, item, ',');) out.push_back(std::atoi(item.c_str()));
    return out;
}

bench_options parse(int argc, char** argv) {
    bench_options o;
    const std::string self = argv[0];
    const std::string dir = self.substr(0, self.rfind('/') + 1);
    o.server = access((dir + "mivra-test-server").c_str(), X_OK) == 0 ? dir + "mivra-test-server" : dir + "mivra";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&] {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "missing value for %s\n", a.c_str());
                std::exit(2);
            }
            return std::string(argv[++i]);
        };
        if (a == "--clients") o.clients = int_list(value());
        else if (a == "-n") o.n_predict = std::atoi(value().c_str());
        else if (a == "-np") o.n_parallel = std::atoi(value().c_str());
        else if (a == "-t") o.n_threads = std::atoi(value().c_str());
        else if (a == "-c") o.n_ctx = std::atoi(value().c_str());
        else if (a == "--port") o.port = std::atoi(value().c_str());
        else if (a == "--cache-mb") o.cache_mb = value();
        else if (a == "--server") o.server = value();
        else o.pack = a;
    }
    if (o.pack.empty()) {
        std::fprintf(stderr, "usage: mivra-serve-bench PACK_DIR [--clients 1,4,16] [-n 128] [-np 16] [-t 4] [-c 4096] "
                             "[--port 18090] [--cache-mb 0] [--server PATH]\n");
        std::exit(2);
    }
    return o;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Sum of the generated tokens of the statistics lines in `log` after byte `from`.
long generated_since(const std::string& log, size_t from) {
    long total = 0;
    for (size_t at = log.find("request ", from); at != std::string::npos; at = log.find("request ", at + 8)) {
        const size_t end = log.find(" generated (", at);
        const size_t eol = log.find('\n', at);
        if (end == std::string::npos || end > eol) continue;
        const size_t start = log.rfind(' ', end - 1) + 1;
        total += std::atol(log.substr(start, end - start).c_str());
    }
    return total;
}

struct stream_result {
    double ttft_ms = -1;
    double seconds = 0;
    bool ok = false;
};

stream_result run_stream(int port, const std::string& body) {
    stream_result r;
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(std::chrono::minutes(30));
    const auto start = clock_type::now();
    std::string pending;
    auto res = client.Post("/v1/chat/completions", {}, body, "application/json", [&](const char* data, size_t size) {
        pending.append(data, size);
        if (r.ttft_ms < 0 && pending.find("\"content\":") != std::string::npos)
            r.ttft_ms = std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
        if (pending.size() > 4096) pending.erase(0, pending.size() - 64);
        return true;
    });
    r.seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    r.ok = res && res->status == 200;
    return r;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

}  // namespace

int main(int argc, char** argv) {
    const bench_options o = parse(argc, argv);
    signal(SIGPIPE, SIG_IGN);

    const std::string log_path = "/tmp/mivra-serve-bench-" + std::to_string(getpid()) + ".log";
    std::vector<std::string> args = {o.server, "serve", o.pack, "--port", std::to_string(o.port), "-np",
                                     std::to_string(o.n_parallel), "-t", std::to_string(o.n_threads), "-c",
                                     std::to_string(o.n_ctx), "--cache-mb", o.cache_mb, "--kv-disk-mb", "0", "--draft", "0"};
    child_spec spec;
    spec.argv = args;
    spec.env = current_environment();
    spec.in = child_stream::descriptor(STDIN_FILENO);
    spec.out = child_stream::descriptor(STDOUT_FILENO);
    spec.err = child_stream::file_truncate(log_path);
    child_process server;
    try {
        server = spawn_child(spec);
    } catch (const child_start_error& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }

    httplib::Client probe("127.0.0.1", o.port);
    bool up = false;
    for (int i = 0; i < 6000 && !up; ++i) {
        auto res = probe.Get("/health");
        up = res && res->status == 200;
        if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!server.running()) break;
    }
    if (!up) {
        std::fprintf(stderr, "the server did not come up:\n%s", slurp(log_path).c_str());
        return 1;  // the server's group is killed as `server` goes
    }

    std::printf("%s on %s, -np %d, -t %d, -n %d\n", o.server.substr(o.server.rfind('/') + 1).c_str(), o.pack.c_str(),
                o.n_parallel, o.n_threads, o.n_predict);
    std::printf("%8s %12s %12s %14s %16s\n", "clients", "ttft p50 ms", "ttft max ms", "tokens", "aggregate tok/s");
    int round = 0;
    for (int clients : o.clients) {
        ++round;
        const size_t log_from = slurp(log_path).size();
        std::vector<stream_result> results(static_cast<size_t>(clients));
        std::vector<std::thread> threads;
        const auto start = clock_type::now();
        for (int c = 0; c < clients; ++c) {
            const nlohmann::json body = {
                {"messages",
                 {{{"role", "user"},
                   {"content", "Round " + std::to_string(round) + ", client " + std::to_string(c) +
                                   ": write a long story about a lighthouse keeper. "
                                   "[[loop:The keeper climbed the stairs and lit the lamp. ]]"}}}},
                {"stream", true},
                {"temperature", 0},
                {"max_tokens", o.n_predict}};
            threads.emplace_back([&, c, text = body.dump()] { results[size_t(c)] = run_stream(o.port, text); });
        }
        for (auto& t : threads) t.join();
        const double wall = std::chrono::duration<double>(clock_type::now() - start).count();
        // The statistics line follows the end of the stream by a moment.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const long tokens = generated_since(slurp(log_path), log_from);
        std::vector<double> ttft;
        int failed = 0;
        for (const auto& r : results) {
            if (!r.ok) ++failed;
            if (r.ttft_ms >= 0) ttft.push_back(r.ttft_ms);
        }
        std::printf("%8d %12.1f %12.1f %14ld %16.1f%s\n", clients, percentile(ttft, 0.5), percentile(ttft, 1.0),
                    tokens, double(tokens) / wall, failed ? "  (some requests failed)" : "");
        std::fflush(stdout);
    }

    server.signal(SIGTERM);
    server.reap();
    std::remove(log_path.c_str());
    return 0;
}
