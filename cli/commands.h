// Entry points of the commands that main dispatches to. Each returns the process exit code; a standard exception
// that leaves one is printed by main as "error: %s\n" with exit code 1.
#pragma once

#include "cli/engine_options.h"

// Early commands: argv[0] is the command word, the rest its arguments.
int cmd_selftest();
int cmd_pull(int argc, char** argv);
int cmd_start(int argc, char** argv);
int cmd_path(int argc, char** argv);

// Engine commands, with the parsed options (pack_dir already looked up in the models folder).
int cmd_run(const engine_options& options);
int cmd_serve(const engine_options& options);
int cmd_golden(const engine_options& options);
int cmd_imatrix(const engine_options& options);
