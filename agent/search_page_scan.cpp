#include "agent/search_page_scan.h"

#include "agent/forward_search.h"

using forward_search::next_occurrence;
using forward_search::none;

namespace {

// The first position at or after `from` of "class=" + quote + name + quote (each quote ' or ", independently).
size_t find_class(std::string_view page, std::string_view name, size_t from) {
    for (size_t at = page.find("class=", from); at != none; at = page.find("class=", at + 1)) {
        const size_t open = at + 6;
        const size_t close = open + 1 + name.size();
        if (close < page.size() && (page[open] == '\'' || page[open] == '"') &&
            page.compare(open + 1, name.size(), name) == 0 && (page[close] == '\'' || page[close] == '"')) {
            return at;
        }
    }
    return none;
}

} // namespace

// How the link pattern matches at a "<a" at s: `[^>]*?` lets "href=\"" begin at any p in [s+2, g), g being the
// first '>' after s+2 (or anywhere after s+2 when there is none), trying the nearest first. From p on, everything
// is fixed: the href runs to the next '"' q (it may cross a '>') and must not be empty; `[^>]*class=...[^>]*>`
// needs the class text somewhere between q+1 and the first '>' g2 after q, which ends the tag whichever occurrence
// the greedy run picks; the inner HTML runs to the first "</a>" after g2. Whether p succeeds does not depend on s,
// so when no p in [s+2, g) succeeds, no "<a" before g can match either and the search goes on after g. Every
// search below is asked with a non-decreasing start, so each costs one pass over the page in all.
std::vector<page_match> find_result_links(std::string_view page) {
    next_occurrence next_tag_end([page](size_t from) { return page.find('>', from); });
    next_occurrence next_href([page](size_t from) { return page.find("href=\"", from); });
    next_occurrence next_quote([page](size_t from) { return page.find('"', from); });
    next_occurrence next_attr_end([page](size_t from) { return page.find('>', from); });
    next_occurrence next_class([page](size_t from) { return find_class(page, "result-link", from); });
    next_occurrence next_close([page](size_t from) { return page.find("</a>", from); });

    std::vector<page_match> matches;
    for (size_t s = page.find("<a"); s != none;) {
        const size_t g = next_tag_end(s + 2);
        const size_t candidates_end = g == none ? page.size() : g;
        bool matched = false;
        for (size_t p = next_href(s + 2); p != none && p < candidates_end; p = next_href(p + 1)) {
            const size_t href = p + 6;
            const size_t q = next_quote(href);
            if (q == none || q == href) continue;
            const size_t g2 = next_attr_end(q + 1);
            if (g2 == none) continue;
            const size_t c = next_class(q + 1);
            if (c == none || c > g2) continue;
            const size_t close = next_close(g2 + 1);
            if (close == none) continue;
            matches.push_back({s, close + 4, page.substr(href, q - href), page.substr(g2 + 1, close - g2 - 1)});
            matched = true;
            break;
        }
        if (matched) {
            s = page.find("<a", matches.back().end);
        } else if (g == none) {
            break;
        } else {
            s = page.find("<a", g + 1);
        }
    }
    return matches;
}

// The snippet pattern at a "<td" at s: the tag ends at the first '>' g after s+3, the class text must begin in
// [s+3, g), and the cell runs to the first "</td>" after g. Any "<td" before g shares g and would fail alike.
std::vector<page_match> find_result_snippets(std::string_view page) {
    next_occurrence next_tag_end([page](size_t from) { return page.find('>', from); });
    next_occurrence next_class([page](size_t from) { return find_class(page, "result-snippet", from); });
    next_occurrence next_close([page](size_t from) { return page.find("</td>", from); });

    std::vector<page_match> matches;
    for (size_t s = page.find("<td"); s != none;) {
        const size_t g = next_tag_end(s + 3);
        if (g == none) break;
        const size_t c = next_class(s + 3);
        const size_t close = c != none && c < g ? next_close(g + 1) : none;
        if (close != none) {
            matches.push_back({s, close + 5, page.substr(g + 1, close - g - 1), {}});
            s = page.find("<td", close + 5);
        } else {
            s = page.find("<td", g + 1);
        }
    }
    return matches;
}
