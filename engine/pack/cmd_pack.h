// `mivra pack`: converts a GGUF Mixture-of-Experts model into a pack folder.
#pragma once

#include <string>

// argv[0] is the program name to show ("mivra pack"), argv[1] the model, argv[2] the output folder, then options.
// Returns 0 on success and 1 after printing the usage. Every other failure of the conversion prints
// "mivra-pack: <text>" on stderr and ends the process with exit code 1 at once; exceptions of the file system
// and of number conversion leave the function for the caller to report.
int cmd_pack(int argc, char** argv);

// Prints "mivra-pack: " + message + detail on stderr and ends the process with exit code 1 without unwinding;
// files written so far stay as they are. Safe to call from any thread.
[[noreturn]] void pack_fatal(const std::string& message, const std::string& detail);
