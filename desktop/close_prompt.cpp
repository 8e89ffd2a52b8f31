#include "desktop/close_prompt.h"

bool ask_keep_running() { return false; }

void show_still_running_balloon() {}
