// Readable text out of a web page's HTML, for the agent's web tools: hidden elements and tags out, line breaks where
// blocks end, a few entities decoded, blank runs squeezed, the result cut to a byte limit with a mark.
//
// Each step is the exact equivalent of a fixed regular expression (quoted beside it, ECMAScript syntax, replacing
// every match left to right without overlap), written as a scanner that runs in time linear in the text and in
// constant stack: pages are untrusted and may be megabytes long. Lengths and limits count bytes; a cut may fall
// inside a multi-byte character.
//
// Pure functions without state: safe on any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The text with these entities replaced, in this order: "&nbsp;" by " ", "&lt;" "<", "&gt;" ">", "&quot;" "\"",
// "&#39;" "'", "&#x27;" "'", "&apos;" "'", "&mdash;" "-", "&ndash;" "-", "&hellip;" "...", and last "&amp;" by "&".
// Each entity's occurrences are replaced until none is left, so "&amp;amp;" becomes "&" while "&amp;lt;" becomes
// "&lt;". No other entity is decoded.
std::string decode_html_entities(std::string_view text);

// The page's readable text: the steps below in order, then, when longer than `limit` bytes, its first `limit`
// bytes followed by "\n[... page cut at " + limit + " characters]". Not trimmed.
std::string html_to_text(std::string_view html, size_t limit);

// The steps of html_to_text in their order (decode_html_entities comes between the fourth and the fifth).

// "<(script|style|noscript|svg|head)[^>]*>[\s\S]*?</\1>", case-blind -> " ": the element with its content.
std::string remove_hidden_elements(std::string_view html);
// "<(br|/p|/div|/li|/h[1-6]|/tr|/section|/article)[^>]*>", case-blind -> "\n".
std::string mark_block_ends(std::string_view html);
// "<li[^>]*>", case-blind -> "\n- ".
std::string mark_list_items(std::string_view html);
// "<[^>]+>" -> " ": every other tag.
std::string blank_out_tags(std::string_view html);
// "[ \t\r\f\v]+" -> " ".
std::string squeeze_blanks(std::string_view text);
// "\n[ \n]+" -> "\n\n".
std::string squeeze_line_breaks(std::string_view text);
