// Entry points of the commands that main dispatches to and that live in cli/. Each returns the process exit code; a
// standard exception that leaves one is printed by main as "error: %s\n" with exit code 1. The commands of other
// folders are declared beside them: cmd_pack (engine/pack/cmd_pack.h), cmd_pull (distribution/cmd_pull.h),
// cmd_start (distribution/cmd_start.h) and cmd_path (distribution/cmd_path.h).
#pragma once

#include "engine/runtime/engine_options.h"

int cmd_selftest();

// Engine commands, with the parsed options (pack_dir already looked up in the models folder).
int cmd_run(const engine_options& options);
int cmd_serve(const engine_options& options);
int cmd_golden(const engine_options& options);
int cmd_imatrix(const engine_options& options);
