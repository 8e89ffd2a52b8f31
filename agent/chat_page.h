// The built-in chat page: a NUL-terminated UTF-8 text the program holds, handed to the agent backend's pages.
#pragma once

extern const char chat_page[];
