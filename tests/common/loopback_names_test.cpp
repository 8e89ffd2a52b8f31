// What counts as a loopback bind host, Host header and Origin header: one table per function.
#include <gtest/gtest.h>

#include "common/loopback_names.h"

TEST(LoopbackNames, BindHosts) {
    for (const char* host : {"127.0.0.1", "localhost", "::1", "127.1.2.3", "127.255.255.255"})
        EXPECT_TRUE(is_loopback_bind_host(host)) << host;
    for (const char* host : {"0.0.0.0", "", "192.168.1.2", "128.0.0.1", "127.0.0", "127.0.0.1.5", "127.0.0.256",
                             "127..0.1", "localhost.", "LOCALHOST.evil", "::", "1270.0.0.1"})
        EXPECT_FALSE(is_loopback_bind_host(host)) << host;
}

TEST(LoopbackNames, HostHeadersAndOrigins) {
    for (const char* host : {"127.0.0.1:8080", "localhost:8080", "[::1]:8080", "LocalHost:8080", "127.0.0.1",
                             "localhost"})
        EXPECT_TRUE(is_loopback_host_header(host, 8080)) << host;
    for (const char* host : {"", "127.0.0.1:8081", "evil.example:8080", "localhost.evil.example:8080",
                             "127.0.0.1.nip.io:8080", "127.0.0.1:8080x", "::1:8080", "127.0.0.1 :8080"})
        EXPECT_FALSE(is_loopback_host_header(host, 8080)) << host;

    for (const char* origin : {"", "http://127.0.0.1:8080", "http://localhost:8080", "http://[::1]:8080",
                               "HTTP://LOCALHOST:8080"})
        EXPECT_TRUE(is_loopback_origin(origin, 8080)) << origin;
    for (const char* origin : {"null", "http://127.0.0.1:3000", "https://127.0.0.1:8080", "http://127.0.0.1:8080/",
                               "http://evil.example", "http://127.0.0.1", "file://"})
        EXPECT_FALSE(is_loopback_origin(origin, 8080)) << origin;
}
