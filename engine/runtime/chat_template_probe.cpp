#include "engine/runtime/chat_template_probe.h"

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <new>
#include <stdexcept>

#include "chat.h"
#include "llama.h"
#include "platform/child_process.h"
#include "platform/folders.h"

namespace {

constexpr uint64_t probe_cpu_seconds = 10;
// The wall-clock limit only ends a probe that hangs without using its CPU time. It is far above the CPU limit: on a
// busy machine (or in a sanitizer build) the child may wait many times its CPU time for a core, which must not fail
// a sound template.
constexpr uint64_t probe_wall_seconds = 120;
constexpr uint64_t probe_address_space = uint64_t(1) << 30;
constexpr int exit_out_of_memory = 3;
constexpr int exit_template_error = 2;
constexpr int exit_no_vocabulary = 4;

void llama_errors_only(ggml_log_level level, const char* text, void*) {
    if (level == GGML_LOG_LEVEL_ERROR) std::fputs(text, stderr);
}

std::string last_line(const std::string& text) {
    size_t end = text.find_last_not_of("\r\n");
    if (end == std::string::npos) return "";
    const size_t start = text.find_last_of('\n', end);
    return text.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1) + 1);
}

std::string failure_reason(const child_run_result& r) {
    if (r.timed_out) return "it did not finish within " + std::to_string(probe_wall_seconds) + " s";
    // The CPU limit's soft and hard values are one: the kernel ends the child with SIGKILL (or SIGXCPU) there.
    if (r.killed_by == SIGXCPU || r.killed_by == SIGKILL)
        return "it used more than " + std::to_string(probe_cpu_seconds) + " s of CPU time";
    if (r.killed_by != 0) return "it crashed (signal " + std::to_string(r.killed_by) + ")";
    if (r.exit_code == exit_out_of_memory) return "it ran out of memory";
    const std::string said = last_line(r.err);
    return said.empty() ? "exit code " + std::to_string(r.exit_code) : said;
}

}  // namespace

void probe_chat_template(const std::string& core_path) {
    child_spec spec;
    spec.argv = {(executable_path().parent_path() / "mivra").string(), chat_template_probe_command, core_path};
    spec.env = current_environment();
    spec.err = child_stream::pipe();
    spec.parent_death_signal = SIGKILL;
    spec.cpu_seconds_limit = probe_cpu_seconds;
#if defined(__SANITIZE_ADDRESS__)
    // The address sanitizer reserves terabytes of address space for its shadow, so it limits allocations itself;
    // a stack overflow is the template's fault, not one for a sanitizer report, and the probe's exit code must not
    // be the leak checker's.
    const std::string asan = find_in_environment(spec.env, "ASAN_OPTIONS").value_or("");
    set_in_environment(spec.env, "ASAN_OPTIONS",
                       asan + (asan.empty() ? "" : ":") + "malloc_limit_mb=" +
                           std::to_string(probe_address_space >> 20) +
                           ":allocator_may_return_null=1:handle_segv=0:detect_leaks=0");
#else
    spec.address_space_limit = probe_address_space;
#endif
    child_run_options options;
    options.time_limit = std::chrono::seconds(probe_wall_seconds);
    options.keep_max = 64 * 1024;
    options.keep_after_trim = 4096;
    child_run_result r;
    try {
        r = run_to_end(spec, options);
    } catch (const child_start_error& e) {
        throw std::runtime_error(std::string("cannot test the chat template: ") + e.what());
    }
    // Nothing to judge of the template: the engine's own load of the vocabulary reports that failure.
    if (r.exit_code == exit_no_vocabulary && r.killed_by == 0 && !r.timed_out) return;
    if (r.exit_code != 0 || r.killed_by != 0 || r.timed_out)
        throw std::runtime_error("the chat template of " + core_path + " failed its test render: " + failure_reason(r));
}

int chat_template_probe_main(const std::string& core_path) {
    try {
        llama_log_set(llama_errors_only, nullptr);
        llama_backend_init();
        llama_model_params params = llama_model_default_params();
        params.vocab_only = true;
        llama_model* model = llama_model_load_from_file(core_path.c_str(), params);
        if (!model) return exit_no_vocabulary;
        common_chat_templates_ptr templates = common_chat_templates_init(model, "", "", "");
        common_chat_templates_inputs inputs;
        for (const char* role : {"user", "assistant", "user"}) {
            common_chat_msg m;
            m.role = role;
            m.content = "Hello";
            inputs.messages.push_back(m);
        }
        (void)common_chat_templates_apply(templates.get(), inputs);
        templates.reset();
        llama_model_free(model);
        llama_backend_free();
        return 0;
    } catch (const std::bad_alloc&) {
        return exit_out_of_memory;
    } catch (const std::length_error&) {
        return exit_out_of_memory;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return exit_template_error;
    }
}
