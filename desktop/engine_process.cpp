#include "desktop/engine_process.h"

#include <csignal>
#include <functional>
#include <memory>
#include <system_error>

#include "desktop/engine_output.h"
#include "desktop/engine_relay.h"
#include "desktop/health_probe.h"
#include "desktop/launcher_state.h"
#include "desktop/ui_post.h"
#include "platform/folders.h"

using namespace std::chrono_literals;

const char* const engine_start_failure_text =
    "Could not start mivra. It must be in the same folder as Mivra Desktop.";

namespace {

// What the reader thread of one engine holds. It owns the read end of the engine's stdout; the engine handle stays
// with the UI thread, which joins this reader before it lets the handle go.
struct reader_context {
    uint32_t generation = 0;
    file_descriptor out;
    const child_process* engine = nullptr;
    std::shared_ptr<wake_event> wake;
};

bool is_current(uint32_t generation) { return generation == launcher.generation.load(); }

// Posts `task` for the engine of `generation`, unless that engine is no longer current: checked here, right before
// posting, and again on the UI thread.
void post_if_current(uint32_t generation, std::function<void()> task) {
    if (!is_current(generation)) return;
    post_to_ui([generation, task = std::move(task)] {
        if (is_current(generation)) task();
    });
}

void read_engine_output(const reader_context& context) {
    engine_line_buffer lines;
    char block[4096];
    for (;;) {
        const read_result r = read_or_wake(context.out.get(), *context.wake, block, sizeof block);
        if (r.status == read_status::woken) return;  // stop_engine ends and reaps the engine
        if (r.status != read_status::data) break;
        for (std::string& line : lines.feed(block, r.bytes)) {
            post_if_current(context.generation, [line = std::move(line)] { on_engine_line(line); });
        }
    }
    // The output ended (bytes after the last line feed are dropped): wait for the engine itself.
    while (!context.engine->wait_exit(200ms)) {
        if (context.wake->signalled()) return;
    }
    context.engine->kill_group(SIGKILL);  // whatever the engine left running in its group
    int code = context.engine->reap();
    if (code < 0) code = 0;  // the status could not be collected
    post_if_current(context.generation, [code] { on_engine_exited(code); });
}

void health_poll(uint32_t generation, const std::shared_ptr<std::atomic<bool>>& running) {
    for (int attempt = 0; attempt < 1800 && is_current(generation); ++attempt) {
        if (probe_health()) {
            post_if_current(generation, [] { on_engine_ready(); });
            break;
        }
        for (int slice = 0; slice < 20 && is_current(generation); ++slice) std::this_thread::sleep_for(50ms);
    }
    running->store(false);
}

child_process spawn_engine(bool menu) {
    child_spec spec;
    spec.argv = {(launcher.launcher_folder / "mivra").string(), "start", "--gui"};
    if (menu) spec.argv.push_back("--menu");
    spec.env = current_environment();
    spec.working_folder = launcher.launcher_folder.string();
    spec.in = child_stream::pipe();
    spec.out = child_stream::pipe();
    spec.err = child_stream::file_truncate(engine_log_path().string());
    spec.parent_death_signal = SIGKILL;
    create_private_folders(launcher.data_folder);
    try {
        return spawn_child(spec);
    } catch (const child_start_error&) {
        // Perhaps only the log could not be opened: the engine then runs without its diagnostics. A program that
        // cannot start fails again here.
        spec.err = child_stream::null_device();
        return spawn_child(spec);
    }
}

}  // namespace

void start_engine(bool menu) {
    stop_engine();
    const uint32_t generation = launcher.generation.fetch_add(1) + 1;
    auto wake = std::make_shared<wake_event>();
    std::unique_ptr<child_process> child;
    try {
        child = std::make_unique<child_process>(spawn_engine(menu));
    } catch (const child_start_error&) {
        post_to_page(start_failure_message());
        return;
    }
    auto context = std::make_unique<reader_context>();
    context->generation = generation;
    context->out = child->take_stdout();
    launcher.engine_stdin = child->take_stdin();
    launcher.engine = std::move(child);
    launcher.reader_wake = std::move(wake);
    context->engine = launcher.engine.get();
    context->wake = launcher.reader_wake;
    try {
        launcher.reader_thread = std::thread([context = std::move(context)] {
            run_guarded("engine output reader", [&] { read_engine_output(*context); });
        });
    } catch (const std::system_error&) {
        stop_engine();
        post_to_page(start_failure_message());
    }
}

void stop_engine() {
    launcher.generation.fetch_add(1);
    if (launcher.engine) launcher.engine->kill_group(SIGKILL);
    launcher.engine_stdin.close();
    const bool ended = !launcher.engine || launcher.engine->wait_exit(5000ms);
    if (launcher.reader_wake) launcher.reader_wake->signal();
    if (launcher.reader_thread.joinable()) launcher.reader_thread.join();
    launcher.reader_wake.reset();
    if (launcher.engine && !ended) {
        // Killed but not gone yet (stuck in the kernel): its handle's destructor reaps it, off the UI thread.
        try {
            std::thread([engine = std::move(launcher.engine)]() mutable { engine.reset(); }).detach();
        } catch (const std::system_error&) {
        }
    }
    launcher.engine.reset();
    if (launcher.health_thread.joinable()) launcher.health_thread.join();
}

void start_health_poller() {
    const uint32_t generation = launcher.generation.load();
    if (launcher.health_thread.joinable()) {
        if (launcher.health_generation == generation && launcher.health_running->load()) return;
        launcher.health_thread.join();
    }
    auto running = std::make_shared<std::atomic<bool>>(true);
    launcher.health_thread = std::thread([generation, running] {
        run_guarded("health poller", [&] { health_poll(generation, running); });
        running->store(false);
    });
    launcher.health_generation = generation;
    launcher.health_running = std::move(running);
}

bool has_control_characters(const std::string& text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) return true;
    }
    return false;
}

namespace {

void write_engine_line(const std::string& line) {
    if (!launcher.engine_stdin.valid()) return;
    const std::string text = line + "\n";
    (void)write_all(launcher.engine_stdin.get(), text.data(), text.size());
}

}  // namespace

void send_engine_choice(const std::string& id) {
    if (has_control_characters(id)) return;
    write_engine_line(id);
}

void send_engine_locate(const std::string& id, const std::string& folder) {
    if (has_control_characters(id) || has_control_characters(folder)) return;
    write_engine_line("locate " + id + "\t" + folder);
}
