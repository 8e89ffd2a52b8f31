#include "serve_process.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "fixtures/fixture_cache.h"
#include "fixtures/test_support.h"

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct scratch_folder {
    std::string path = make_temp_dir("serve-test");
    ~scratch_folder() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

}  // namespace

const std::string& scratch_dir() {
    static const scratch_folder folder;
    return folder.path;
}

const std::string& fixture_pack_dir() {
    static const std::string pack = [] {
        const std::string make_model = bin_dir() + "/mivra-make-model";
        const std::string mivra = bin_dir() + "/mivra";
        const std::filesystem::path made = cached_fixture(
            "qwen3moe-pack-" + program_stamp(make_model) + "-" + program_stamp(mivra),
            [&](const std::filesystem::path& out) {
                const std::string gguf = out.string() + ".gguf";
                child_result r =
                    run_child(make_model, {"--arch", "qwen3moe", "--seed", "1", "--out", gguf}, scratch_dir());
                const bool model_made = r.exit_code == 0;
                if (model_made) r = run_child(mivra, {"pack", gguf, out.string()}, scratch_dir());
                std::error_code ec;
                std::filesystem::remove(gguf, ec);
                if (r.exit_code != 0) {
                    const std::string step = model_made ? "mivra pack" : "mivra-make-model";
                    throw std::runtime_error(step + " failed: " + r.err);
                }
            });
        // The engine writes hot.bin and saved prompts into its pack, so each process serves a copy of its own.
        const std::string dir = scratch_dir() + "/qwen3moe";
        copy_fixture(made, dir);
        return dir;
    }();
    return pack;
}

std::vector<std::string> server_environment(const std::map<std::string, std::string>& extra) {
    std::map<std::string, std::string> overrides = {
        {"MIVRA_CATALOG", scratch_dir() + "/no-catalog.json"},
        {"XDG_DATA_HOME", scratch_dir() + "/data"},
        {"XDG_CONFIG_HOME", scratch_dir() + "/config"},
        {"XDG_STATE_HOME", scratch_dir() + "/state"},
        {"HOME", scratch_dir() + "/home"},  // the default project folder is made below HOME
        // No connector catalog and no GitHub: the skill market and installs reach only a port where nothing listens.
        {"MIVRA_CONNECTORS", scratch_dir() + "/no-connectors.json"},
        {"MIVRA_GITHUB_WEB", "http://127.0.0.1:9/"},
        {"MIVRA_GITHUB_RAW", "http://127.0.0.1:9/"},
        {"MIVRA_GITHUB_API", "http://127.0.0.1:9/"},
    };
    for (const auto& [name, value] : extra) overrides[name] = value;
    std::vector<std::string> env = current_environment();
    remove_from_environment(env, "MIVRA_SETTINGS");
    remove_from_environment(env, "MIVRA_UI_DIR");
    for (const auto& [name, value] : overrides) {
        remove_from_environment(env, name);
        env.push_back(name + "=" + value);
    }
    return env;
}

serve_process::serve_process(const serve_options& o) {
    static int serial = 0;
    const std::string tag = std::to_string(getpid()) + "-" + std::to_string(++serial);
    out_path_ = scratch_dir() + "/serve-" + tag + ".out";
    err_path_ = scratch_dir() + "/serve-" + tag + ".err";
    port_ = free_port();

    const std::string program = bin_dir() + "/" + o.program;
    std::vector<std::string> args = {program,
                                     "serve",
                                     o.pack.empty() ? fixture_pack_dir() : o.pack,
                                     "--port",
                                     std::to_string(port_),
                                     "-np",
                                     std::to_string(o.n_parallel),
                                     "-c",
                                     std::to_string(o.n_ctx),
                                     "-t",
                                     "1",
                                     "--io-threads",
                                     "1",
                                     "--cache-mb",
                                     "64",
                                     "--kv-disk-mb",
                                     "0"};
    args.insert(args.end(), o.extra_args.begin(), o.extra_args.end());
    child_spec spec;
    spec.argv = args;
    spec.env = server_environment(o.env);
    for (const std::string& name : o.unset_env) remove_from_environment(spec.env, name);
    spec.in = o.stdin_pipe ? child_stream::pipe() : child_stream::null_device();
    spec.out = child_stream::file_truncate(out_path_);
    spec.err = child_stream::file_truncate(err_path_);
    child_ = spawn_child(spec);
    stdin_ = child_.take_stdin();

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    httplib::Client probe("127.0.0.1", port_);
    probe.set_connection_timeout(std::chrono::milliseconds(200));
    while (std::chrono::steady_clock::now() < deadline) {
        if (!child_.running()) throw std::runtime_error("the server ended before answering:\n" + err());
        if (auto res = probe.Get("/health"); res && res->status == 200) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    throw std::runtime_error("the server did not answer /health:\n" + err());
}

std::unique_ptr<httplib::Client> serve_process::client() const {
    auto c = std::make_unique<httplib::Client>("127.0.0.1", port_);
    c->set_read_timeout(std::chrono::seconds(120));
    return c;
}

std::string serve_process::err() const { return slurp(err_path_); }
std::string serve_process::out() const { return slurp(out_path_); }

void serve_process::send_line(const std::string& line) {
    const std::string text = line + "\n";
    if (!stdin_.valid() || !write_all(stdin_.get(), text.data(), text.size()))
        throw std::runtime_error("cannot write to the server's stdin");
}

int serve_process::stop() {
    if (!child_.valid() || child_.exit_code()) return -1;
    child_.signal(SIGTERM);
    return child_.reap();
}

bool serve_process::wait_for_err(const std::string& text, int count, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (count_of(err(), text) < count) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

int count_of(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++n;
    return n;
}

std::vector<std::string> sse_events(const std::string& stream) {
    std::vector<std::string> events;
    size_t at = 0;
    for (size_t end; (end = stream.find("\n\n", at)) != std::string::npos; at = end + 2) {
        const std::string event = stream.substr(at, end - at);
        events.push_back(event.starts_with("data: ") ? event.substr(6) : event);
    }
    return events;
}
