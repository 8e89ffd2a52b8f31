// Writing a download's part file in place: the file is written at chosen offsets, can be cut back to its last
// good byte after a failed write, and is flushed to the disk before it is renamed to its final name.
// Paths are UTF-8; every descriptor is close-on-exec. Functions report failure through their result (errno set)
// and never print. Safe from any thread; a descriptor belongs to one thread at a time.
#pragma once

#include <cstdint>
#include <string>

#include "platform/files.h"

// Opens the file for writing without truncating it, creating it (mode 0644) when missing; an invalid descriptor on
// failure, also when `path` is a symbolic link (ELOOP), which is never followed.
file_descriptor open_write_keep(const std::string& path);

// Opens the file for appending, creating it (mode 0644) when missing; a symbolic link is never followed (ELOOP).
file_descriptor open_append(const std::string& path);

// Creates a new, empty file for writing (mode 0644) after removing whatever name was there (a file or a symbolic
// link, which is not followed); an invalid descriptor on failure.
file_descriptor open_write_fresh(const std::string& path);

// Sets the length of the open file to `size` bytes (cutting off what lies beyond); false on error.
bool truncate_open_file(int fd, uint64_t size);

// Flushes the file's data to the disk; false on error (a delayed write error shows here).
bool sync_file_data(int fd);
