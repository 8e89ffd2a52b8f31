// The page-text steps are scanners standing for fixed regular expressions: every step is compared with
// std::regex_replace over the same generated small pages, and the whole conversion with the patterns run in order.
// Long inputs, which would overflow std::regex's stack, run through the scanners only.
#include "agent/html_text.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "agent/generated_pages.h"

namespace {

const auto blind = std::regex::ECMAScript | std::regex::icase;

struct step {
    const char* name;
    std::string (*scan)(std::string_view);
    std::regex pattern;
    const char* replacement;
};

const std::vector<step>& steps() {
    static const std::vector<step> all = {
        {"hidden elements", remove_hidden_elements,
         std::regex(R"(<(script|style|noscript|svg|head)[^>]*>[\s\S]*?</\1>)", blind), " "},
        {"block ends", mark_block_ends, std::regex(R"(<(br|/p|/div|/li|/h[1-6]|/tr|/section|/article)[^>]*>)", blind),
         "\n"},
        {"list items", mark_list_items, std::regex(R"(<li[^>]*>)", blind), "\n- "},
        {"tags", blank_out_tags, std::regex(R"(<[^>]+>)"), " "},
        {"blanks", squeeze_blanks, std::regex(R"([ \t\r\f\v]+)"), " "},
        {"line breaks", squeeze_line_breaks, std::regex(R"(\n[ \n]+)"), "\n\n"},
    };
    return all;
}

// The entity table worked through as written: each entity's first occurrence replaced, searching again from the
// start, until none is left.
std::string reference_decode(std::string text) {
    const std::pair<const char*, const char*> table[] = {
        {"&nbsp;", " "},  {"&lt;", "<"},     {"&gt;", ">"},     {"&quot;", "\""},   {"&#39;", "'"}, {"&#x27;", "'"},
        {"&apos;", "'"}, {"&mdash;", "-"}, {"&ndash;", "-"}, {"&hellip;", "..."}, {"&amp;", "&"},
    };
    for (const auto& [code, replacement] : table) {
        for (size_t at = text.find(code); at != std::string::npos; at = text.find(code)) {
            text.replace(at, std::string(code).size(), replacement);
        }
    }
    return text;
}

std::string reference_html_to_text(const std::string& html, size_t limit) {
    std::string text = html;
    for (size_t i = 0; i < 4; ++i) text = std::regex_replace(text, steps()[i].pattern, steps()[i].replacement);
    text = reference_decode(text);
    for (size_t i = 4; i < 6; ++i) text = std::regex_replace(text, steps()[i].pattern, steps()[i].replacement);
    if (text.size() > limit) text = text.substr(0, limit) + "\n[... page cut at " + std::to_string(limit) + " characters]";
    return text;
}

const std::vector<std::string> html_fragments = {
    "<script>", "<SCRIPT type=x>", "</script>", "</ScRiPt>", "</script >", "<scripts>", "<style>", "</style>",
    "<noscript>", "</noscript>", "<svg", "</svg>", "<Svg a='>'>", "<head>", "<header>", "</head>", "</HEAD>",
    "<br>", "<BR/>", "<br", "<p>", "</p>", "</P >", "</pre>", "</div>", "</li>", "<li>", "<LI class=a>",
    "<link rel=x>", "</h1>", "</H6>", "</h7>", "</h>", "</tr>", "</section>", "</article>", "<", ">", "<>", "</",
    "<<", "a", "b c", " ", "  ", "\t", "\r", "\n", "\n\n", " \n", "\f", "\v", "&amp;", "amp;", "&lt;", "lt;",
    "&gt;", "&nbsp;", "&quot;", "&#39;", "&#x27;", "&apos;", "&mdash;", "&ndash;", "&hellip;", "&", "&copy;",
    "&#60;", "\xc3\xa9", "\xff", std::string(1, '\0'), "x>y", "\"", "'",
};

// Hand-made rows that the generator may miss.
const std::vector<std::string> html_rows = {
    "",
    "<script>a</script>b<script>c",
    "<script><style></script></style>",
    "<head><title>t</title></head><body>x</body>",
    "<header>menu</head>",
    "<SCRIPT>x</script><script>y</SCRIPT >z</SCRIPT>",
    "<scriptx>1</scriptx>2</script>",
    "<svg><svg></svg></svg>",
    "<noscript",
    "<svg</svg>",
    "<script</script>x</script>y",
    "<br><br/></p ><li><link>",
    "</h0></h1></h9></H3 x>",
    "<<p>>",
    "<a href='x'>b</a>",
    "&amp;amp;amp;lt;",
    "&amp;lt;&lt;",
    "&&amp;amp;",
    "a \t\r\f\v b",
    "\n \n\n x\n",
    "\n",
};

std::vector<std::string> test_pages(uint32_t seed) {
    std::vector<std::string> pages = generated_pages(html_fragments, 400, seed);
    pages.insert(pages.end(), html_rows.begin(), html_rows.end());
    return pages;
}

} // namespace

TEST(HtmlTextSteps, EachStepMatchesItsPattern) {
    const std::vector<std::string> pages = test_pages(20240601);
    for (const step& s : steps()) {
        for (const std::string& page : pages) {
            EXPECT_EQ(visible(s.scan(page)), visible(std::regex_replace(page, s.pattern, s.replacement)))
                << s.name << " of " << visible(page);
        }
    }
}

TEST(HtmlText, WholeConversionMatchesThePatternsInOrder) {
    for (size_t limit : {size_t(0), size_t(7), size_t(20000)}) {
        for (const std::string& page : test_pages(7 + static_cast<uint32_t>(limit))) {
            EXPECT_EQ(visible(html_to_text(page, limit)), visible(reference_html_to_text(page, limit)))
                << "limit " << limit << " of " << visible(page);
        }
    }
}

TEST(HtmlText, EntitiesAsTheTableReplacesThem) {
    struct row {
        const char* text;
        const char* decoded;
    };
    const row rows[] = {
        {"&amp;amp;", "&"},
        {"&amp;lt;", "&lt;"},
        {"&amp;amp;amp;lt;", "&lt;"},
        {"&copy; &#60; &#x3C; &eacute;", "&copy; &#60; &#x3C; &eacute;"},
        {"&nbsp;&lt;b&gt;&quot;&#39;&#x27;&apos;&mdash;&ndash;&hellip;", " <b>\"'''--..."},
        {"&lt;&amp;gt;", "<&gt;"},
        {"&&amp;&amp", "&&&amp"},
    };
    for (const row& r : rows) EXPECT_EQ(decode_html_entities(r.text), r.decoded) << r.text;

    const std::vector<std::string> fragments = {"&", "amp;", "&amp;", "lt;", "&lt;", "&gt;", "&nbsp;", "nbsp;",
                                                "&hellip;", "&#39;", "#39;", "&#x27;", "x", " ", ";"};
    for (const std::string& text : generated_pages(fragments, 400, 99, 16)) {
        EXPECT_EQ(decode_html_entities(text), reference_decode(text)) << text;
    }
}

TEST(HtmlText, ExamplesOfTheRules) {
    struct row {
        std::string html;
        size_t limit;
        std::string text;
    };
    const std::string long_text(30000, 'x');
    const row rows[] = {
        // "</p>" ends a line, "<p>" becomes a space, and a line feed followed by a space an empty line.
        {"<p>a</p><p>b</p>", 100, " a\n\nb\n"},
        {long_text, 20000, std::string(20000, 'x') + "\n[... page cut at 20000 characters]"},
        // Entities are decoded after the tags are gone: an encoded tag stays visible.
        {"&lt;b&gt;bold&lt;/b&gt;", 100, "<b>bold</b>"},
        {"<ul><li>one</li><li>two</li></ul>", 100, " \n- one\n\n- two\n\n"},
        {"<title>x</title><head>gone</head><STYLE>p{}</STYLE>y", 100, " x y"},
        {"<p>a\r\n   b\t\tc</p>", 100, " a \n\nb c\n"},
    };
    for (const row& r : rows) EXPECT_EQ(visible(html_to_text(r.html, r.limit)), visible(r.text)) << r.html;
}

// Inputs that would overflow std::regex's stack, or make a scanner that searches again from every '<' quadratic.
TEST(HtmlText, LongPagesInOnePass) {
    const std::string script = "<html><p>before</p><script>" + std::string(3000000, 'v') + "</script><p>after</p>";
    EXPECT_EQ(html_to_text(script, 20000), " before\n\nafter\n");

    std::string blank = "<html>a";
    for (size_t i = 0; i < 2000000; ++i) blank += " \t\n"[i % 3];
    blank += "b</html>";
    EXPECT_EQ(visible(html_to_text(blank, 20000)), visible(" a \n\nb "));

    std::string unclosed;
    for (size_t i = 0; i < 200000; ++i) unclosed += "<script>";
    EXPECT_EQ(html_to_text(unclosed, 20000), " ");
    std::string open_items;
    for (size_t i = 0; i < 500000; ++i) open_items += "<li";
    EXPECT_EQ(html_to_text(open_items, 1u << 30), open_items);

    std::string ampersands;
    for (size_t i = 0; i < 500000; ++i) ampersands += "&amp;";
    ampersands += "amp;amp;lt;";
    EXPECT_EQ(decode_html_entities(ampersands), std::string(499999, '&') + "&lt;");
    EXPECT_EQ(blank_out_tags(std::string(2000000, '<')), std::string(2000000, '<'));
    EXPECT_EQ(squeeze_line_breaks(std::string(2000000, '\n')), "\n\n");
}
