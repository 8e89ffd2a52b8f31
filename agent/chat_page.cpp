#include "agent/chat_page.h"

// The page itself comes with the agent backend's pages; until then the server has no page to show.
const char chat_page[] = "";
