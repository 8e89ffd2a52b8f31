// The program's version text, as the user agent, the launcher's "models" event, the catalog checks and the update
// notice show it.
#pragma once

inline constexpr char program_version[] = "0.1";
