// The result-page scanners against std::regex with the patterns they stand for, over generated small pages: the
// same matches at the same places with the same groups. Long pages run through the scanners only.
#include "agent/search_page_scan.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "agent/generated_pages.h"

namespace {

const std::regex link_pattern(R"re(<a[^>]*?href="([^"]+)"[^>]*class=['"]result-link['"][^>]*>([\s\S]*?)</a>)re");
const std::regex snippet_pattern(R"re(<td[^>]*class=['"]result-snippet['"][^>]*>([\s\S]*?)</td>)re");

// Matches written out as one text, so a difference shows whole.
std::string describe(const std::vector<page_match>& matches) {
    std::ostringstream out;
    for (const page_match& m : matches) {
        out << "[" << m.begin << "," << m.end << ") {" << visible(std::string(m.first)) << "} {"
            << visible(std::string(m.second)) << "}\n";
    }
    return out.str();
}

std::string describe_regex(const std::string& page, const std::regex& pattern) {
    std::vector<page_match> matches;
    for (auto it = std::sregex_iterator(page.begin(), page.end(), pattern); it != std::sregex_iterator(); ++it) {
        const std::smatch& m = *it;
        page_match found;
        found.begin = static_cast<size_t>(m.position(0));
        found.end = found.begin + static_cast<size_t>(m.length(0));
        found.first = std::string_view(page).substr(static_cast<size_t>(m.position(1)), static_cast<size_t>(m.length(1)));
        if (m.size() > 2) {
            found.second =
                std::string_view(page).substr(static_cast<size_t>(m.position(2)), static_cast<size_t>(m.length(2)));
        }
        matches.push_back(found);
    }
    return describe(matches);
}

const std::vector<std::string> fragments = {
    "<a", "<a ", "<A ", "<abbr ", "<a href=\"", "href=\"", "href=\"\"", "href='x'", "\"", "'", ">", "<", "x",
    " ", "\n", "class=", "class='result-link'", "class=\"result-link'", "class=\"result-link\"", "result-link",
    "class='result-snippet'", "class=\"result-snippet\"", "class=result-link", "</a>", "</a", "</A>", "<td", "<td ",
    "<TD ", "</td>", "</td", "u?uddg=", "&amp;", "\xc3\xa9",
    "<a rel=\"nofollow\" href=\"//e/?uddg=x\" class='result-link'>t</a>",
    "<td class='result-snippet'>s <b>b</b></td>",
};

const std::vector<std::string> rows = {
    "",
    "<a href=\"u\" class=\"result-link\">t</a>",
    "<a href=\"u\" class=\"result-link\">t",
    "<a href=\"u>v\" class='result-link'>t</a>",
    "<a href=\"\" href=\"u\" class='result-link'>t</a>",
    "<a x href=\"1\" y href=\"2\" class='result-link'>t</a>",
    "<a href=\"1\"> <a href=\"2\" class='result-link'>t</a>",
    "<a <a href=\"u\" class='result-link'>t</a></a>",
    "<a href=\"u\" class='result-link' class=\"result-link\">t</a>",
    "<a href=\"u\" class='result-link\">t</a><a href=\"v\" class='result-link'>w</a>",
    "<a class='result-link' href=\"u\">t</a>",
    "<td class='result-snippet'>a</td><td class=\"result-snippet\">b</td>",
    "<td><td class='result-snippet'>a</td>",
    "<td x='>' class='result-snippet'>a</td>",
    "<td class='result-snippet'>a<td class='result-snippet'>b</td>",
};

} // namespace

TEST(SearchPageScan, LinksAndSnippetsMatchTheirPatterns) {
    std::vector<std::string> pages = generated_pages(fragments, 500, 4242, 20);
    pages.insert(pages.end(), rows.begin(), rows.end());
    size_t links = 0, snippets = 0;
    for (const std::string& page : pages) {
        const std::vector<page_match> found_links = find_result_links(page);
        const std::vector<page_match> found_snippets = find_result_snippets(page);
        EXPECT_EQ(describe(found_links), describe_regex(page, link_pattern)) << "links of " << visible(page);
        EXPECT_EQ(describe(found_snippets), describe_regex(page, snippet_pattern)) << "snippets of " << visible(page);
        links += found_links.size();
        snippets += found_snippets.size();
    }
    // The generated pages must exercise matching, not only its absence.
    EXPECT_GT(links, 100u);
    EXPECT_GT(snippets, 100u);
}

// Pages built to make a scanner that searches again from every "<a" or "href" quadratic; std::regex would
// overflow its stack on them.
TEST(SearchPageScan, LongPagesInOnePass) {
    std::string hrefs = "<a";
    for (size_t i = 0; i < 150000; ++i) hrefs += " href=\"x\"";
    EXPECT_TRUE(find_result_links(hrefs).empty());
    hrefs += " class='result-link'>title</a>";
    const std::vector<page_match> one = find_result_links(hrefs);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].first, "x");
    EXPECT_EQ(one[0].second, "title");

    std::string opens;
    for (size_t i = 0; i < 300000; ++i) opens += "<a href=\"u\">";
    EXPECT_TRUE(find_result_links(opens).empty());
    std::string cells;
    for (size_t i = 0; i < 300000; ++i) cells += "<td class='result-snippet'>";
    EXPECT_TRUE(find_result_snippets(cells).empty());
    cells += "</td>";
    EXPECT_EQ(find_result_snippets(cells).size(), 1u);

    std::string many;
    for (size_t i = 0; i < 50000; ++i) {
        many += "<a href=\"u" + std::to_string(i) + "\" class='result-link'>t</a><td class='result-snippet'>s</td>";
    }
    EXPECT_EQ(find_result_links(many).size(), 50000u);
    EXPECT_EQ(find_result_snippets(many).size(), 50000u);
}
