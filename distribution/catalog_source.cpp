#include "distribution/catalog_source.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

const char* const catalog_hub_host = "huggingface.co";

bool fetch_catalog_text(const std::string& url, std::string& body, std::string& error) {
    error = "no HTTP client";
    return false;
}

bool read_catalog_file(const std::string& path, std::string& body) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string text;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    body = std::move(text);
    return true;
}
