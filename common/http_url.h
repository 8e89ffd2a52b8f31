// Absolute http and https addresses taken apart the way the outgoing HTTP clients need them: scheme, host, port,
// path and query, with the size limits of the buffers the clients were specified with, and put together again as
// the address handed to the transport (platform/http_transport.h).
//
// No state; safe from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct url_parts {
    std::string scheme; // "http" or "https" (lower case, whatever the address used)
    std::string host;   // without the brackets of an IPv6 address
    bool ipv6 = false;
    unsigned port = 0;  // the scheme's default port when the address names none
    std::string path;   // may be empty
    std::string query;  // from '?' on, may be empty
};

// Splits an absolute http(s) address. A user name and password before '@' and a fragment from '#' on are dropped.
// False when the scheme is neither http nor https (letter case ignored), the host is empty or holds a blank,
// control character or one of / \ ? # @, the port is not a number from 1 to 65535, or the host, the path or the
// query would not fit a buffer of host_limit, part_limit or part_limit UTF-16 units with its terminating null.
bool split_http_url(const std::string& url, url_parts& out, size_t host_limit, size_t part_limit);

// scheme + "://" + host (in brackets for IPv6) + ":" + port + path and query, where the bytes that may not stand
// in an address as they are (controls, blanks, non-ASCII, " < > \ ^ ` { | }) are percent-escaped; an empty path
// becomes "/".
std::string transport_url(const url_parts& parts);

// True for a host that names this machine's loopback interface without asking a name server: "localhost" (ASCII
// letter case ignored), a dotted IPv4 address 127.a.b.c (four decimal numbers up to 255, no leading zeros) or the
// IPv6 address ::1.
bool is_loopback_host(const std::string& host);

// The lines of a block of request header lines, each ended by "\n" or "\r\n" (the last one may lack its end);
// empty lines are left out.
std::vector<std::string> header_block_lines(const std::string& block);
