// `mivra path on|off`: puts the program's folder on the user's PATH or takes it off (distribution/user_path.h).
#pragma once

// argv[0] is "path". Returns the exit code: 0 after "Done", 1 after a failed write (reported as "error: <text>" on
// stderr) or an unknown word, 0 for the usage text without a word.
int cmd_path(int argc, char** argv);
