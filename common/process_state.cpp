#include "common/process_state.h"

std::string last_pull_error;
agent_backend_state agent_state;
const std::string secret_prefix = "dpapi:";
thread_local std::string project_override;
