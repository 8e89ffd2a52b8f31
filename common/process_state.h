// The program's process-wide objects. They are constructed before main, in this order, and destroyed after main
// returns in the reverse order (never when the process is ended by the stop handler or from outside):
//
//   last_pull_error      ""       written by the pull code on its thread; read by start
//   catalog_update_info  null     the catalog's update note (defined with the catalog, distribution/catalog.cpp)
//   agent_state          defaults the agent backend's state, guarded by agent_state.agent_mutex
//   secret_prefix        "dpapi:" the prefix of secret strings, constant
//   project_override     ""       per thread: each thread has its own, destroyed when the thread ends
//
// None of them reads a file or the environment when constructed, so start-up cannot fail here except on memory.
// The objects defined in process_state.cpp sit in one file so that their order is the order of definition.
#pragma once

#include <string>

#include "common/agent_state.h"

extern std::string last_pull_error;
extern agent_backend_state agent_state;
extern const std::string secret_prefix;
extern thread_local std::string project_override;
