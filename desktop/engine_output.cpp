#include "desktop/engine_output.h"

bool is_event_line(const std::string& line) { return !line.empty() && line[0] == '{'; }

std::vector<std::string> engine_line_buffer::feed(const char* data, size_t size) {
    const size_t searched = buffer_.size();  // no line feed before this offset
    buffer_.append(data, size);
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end = buffer_.find('\n', searched); end != std::string::npos; end = buffer_.find('\n', start)) {
        size_t length = end - start;
        if (length > 0 && buffer_[start + length - 1] == '\r') --length;
        std::string line = buffer_.substr(start, length);
        if (is_event_line(line)) lines.push_back(std::move(line));
        start = end + 1;
    }
    buffer_.erase(0, start);
    return lines;
}
