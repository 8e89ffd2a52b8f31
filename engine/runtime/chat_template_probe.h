// The test render of a pack's chat template. A template is a program that comes with a downloaded pack: a recursive
// macro, range(100000000) or 'x' * 1000000000 would overflow the stack, run for minutes or exhaust memory in the
// process that renders it. So before the engine initialises the templates (llama-common already renders them to
// learn what they support), the same initialisation and one render of a small conversation run in a child process,
// this program again, under limits of CPU time and address space.
//
// Threads: any thread, one probe at a time per caller; the probe blocks the calling thread until the child ends.
#pragma once

#include <string>

// Command-line word of the child side; `mivra` hands "<word> <core.gguf>" to chat_template_probe_main.
inline constexpr const char* chat_template_probe_command = "chat-template-probe";

// Runs the child side on core.gguf at `core_path` (the program `mivra` beside this program's file) and returns when
// the template rendered within the limits, or when core.gguf's vocabulary does not load at all (the caller's own
// load of it then fails with its own error). Throws "the chat template of " + core_path + " failed its test render: "
// + the reason ("it ran out of memory", "it used more than 10 s of CPU time", "it did not finish within 120 s" (a
// backstop for a child that hangs without using CPU), "it crashed (signal N)", or the template's own error), or "cannot test the chat template: " + the reason the child could not start.
void probe_chat_template(const std::string& core_path);

// The child side: loads core.gguf's vocabulary and chat templates as the engine does and renders a short
// conversation. Exit code 0 when that worked; 4 when the vocabulary does not load; 3 when memory ran out; 2 with the
// error on stderr otherwise.
int chat_template_probe_main(const std::string& core_path);
