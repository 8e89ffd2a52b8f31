// The line rules of the engine's standard output: which bytes the launcher relays to its page.
//
// Output is split at line feeds; one carriage return at the end of a line is removed; a line is kept only when it
// is not empty and starts with "{" (a JSON object: every event of `mivra start --gui` is one). Bytes after the last
// line feed are held until more come, and dropped when the output ends. Lines are not parsed here.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Collects output blocks and hands out the complete lines that pass the rules. Used by one thread at a time.
class engine_line_buffer {
public:
    // Appends `size` bytes and returns the lines they completed that pass the rules, in order, without line ends.
    std::vector<std::string> feed(const char* data, size_t size);
    // The bytes after the last line feed (dropped when the output ends).
    const std::string& partial() const { return buffer_; }

private:
    std::string buffer_;
};

// True when a line (without its line feed and carriage return) is relayed: not empty and starting with "{".
bool is_event_line(const std::string& line);
