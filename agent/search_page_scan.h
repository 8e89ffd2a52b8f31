// The result links and snippets of DuckDuckGo's lite result page, found as two fixed regular expressions
// (ECMAScript syntax, letter case counts) would find them, match after match without overlap:
//
//   link:    <a[^>]*?href="([^"]+)"[^>]*class=['"]result-link['"][^>]*>([\s\S]*?)</a>
//   snippet: <td[^>]*class=['"]result-snippet['"][^>]*>([\s\S]*?)</td>
//
// The scanners take time linear in the page and constant stack: the page comes from the network and may be
// megabytes long. Pure functions without state: safe on any thread.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

// One match: the bytes [begin, end) of the page, and its capture groups (views into the page; `second` stays empty
// for the snippet pattern, which has one group).
struct page_match {
    size_t begin = 0;
    size_t end = 0;
    std::string_view first;
    std::string_view second;
};

// Every match of the link pattern, in page order: `first` the href, `second` the link's inner HTML.
std::vector<page_match> find_result_links(std::string_view page);

// Every match of the snippet pattern, in page order: `first` the cell's inner HTML.
std::vector<page_match> find_result_snippets(std::string_view page);
