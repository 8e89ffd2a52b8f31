// The program's entry: process set-up, command dispatch and the error catcher.
#pragma once

#include "engine/runtime/engine_options.h"

#include <string>

// Printed on stderr when no command applies; holds no format directive.
extern const char* const usage_text;

// Sets the "C" numeric locale, installs the stop handler (Ctrl-C, SIGTERM, SIGHUP: "\n  Stopping Mivra.\n",
// exit code 0 for serve and start and 130 for every other command), ignores SIGPIPE, dispatches on argv[1]
// and returns the exit code. Main thread only.
int mivra_main(int argc, char** argv);

// parse_options from index 2, then cmd_serve; a standard exception from either prints "error: %s\n" and gives 1.
int serve_from_args(int argc, char** argv);

// The folder "models" beside the running program file (UTF-8).
std::string default_models_dir();

// A pack_dir that names no existing path but a folder with a manifest.json in `models_dir` becomes that folder.
void resolve_pack_dir(engine_options& options, const std::string& models_dir);
