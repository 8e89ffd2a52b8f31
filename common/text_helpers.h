// Text and encoding helpers shared by every front end: UTF-8 <-> UTF-16, random ids, Base64, percent and form
// encoding, cutting long texts, a file-name wildcard match and '/' splitting.
//
// Narrow strings hold UTF-8 text or raw bytes; every length is counted in bytes unless it says UTF-16 units.
// None of these functions keeps state between calls: all are reentrant and safe from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// UTF-16 -> UTF-8. Unpaired surrogates become U+FFFD; embedded zero units are converted like any other.
std::string utf8_from_wide(std::u16string_view text);
// UTF-8 -> UTF-16. Each ill-formed sequence (a maximal invalid subpart, as Unicode recommends) becomes U+FFFD;
// embedded zero bytes are kept.
std::u16string wide_from_utf8(std::string_view text);

// 32 lower-case hexadecimal characters, each drawn from its own fresh value of the system's random device.
std::string random_hex_id();

// RFC 4648 Base64 (standard alphabet, '=' padding, no line breaks).
std::string base64_encode(const void* data, size_t size);
inline std::string base64_encode(std::string_view bytes) { return base64_encode(bytes.data(), bytes.size()); }
// Lenient decoder: skips every character outside the alphabet ('=', white space, '-', '_', NUL ...) and drops
// trailing bits that never make a whole byte. Never fails.
std::string base64_decode(std::string_view text);

// Form decoding: "%XY" with two hexadecimal digits becomes that byte, '+' a space, every other byte (an incomplete
// '%' escape included) is copied.
std::string percent_decode(std::string_view text);
// Encodes one query value: A-Z a-z 0-9 - . _ ~ are kept, a space becomes '+', every other byte "%XY" (upper case).
std::string query_encode(std::string_view text);
// Encodes a '/'-separated path segment by segment ("%20" for a space); leading empty segments vanish and a trailing
// '/' is lost ('/a//b/' gives 'a//b').
std::string encode_url_path(std::string_view text);

// The text unchanged when it is at most `limit` bytes; otherwise its first limit/2 bytes, "\n[... N characters
// cut ...]\n" and its last limit/2 bytes, N being the number of bytes left out. Cuts bytes, not characters.
std::string cut_middle(const std::string& text, size_t limit);

// Whole-name wildcard match over bytes, ASCII case-blind: '?' is any one byte, '*' any run of bytes.
bool glob_match(std::string_view pattern, std::string_view name);

// True when the text holds a byte of value 0.
bool contains_nul(std::string_view text);

// The parts between '/' characters, read like lines ended by '/': empty parts kept, the text after the last '/'
// only when it is not empty ('a//b/' gives a, "", b; '/' gives ""; '' gives nothing).
std::vector<std::string> split_slash(std::string_view text);
// The same reading, appending only the non-empty parts to `parts` (which is not cleared).
void split_slash_nonempty(std::string_view text, std::vector<std::string>& parts);
