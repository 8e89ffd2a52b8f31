#include "agent/html_text.h"

#include <array>

#include "agent/forward_search.h"

using forward_search::find_blind;
using forward_search::none;
using forward_search::starts_with_blind;

namespace {

// Replaces every "<" + name + "[^>]*>" by `replacement`, where name_at(i) gives the length of the name that the
// tag opening at i begins with (0: none). The tag ends at the first '>' after its name.
template <typename NameAt>
std::string replace_tags(std::string_view html, NameAt name_at, std::string_view replacement) {
    forward_search::next_occurrence next_gt([html](size_t from) { return html.find('>', from); });
    std::string out;
    out.reserve(html.size());
    size_t copied = 0;
    for (size_t at = html.find('<'); at != none;) {
        const size_t name = name_at(at + 1);
        const size_t gt = name ? next_gt(at + 1 + name) : none;
        if (gt == none) {
            at = html.find('<', at + 1);
            continue;
        }
        out.append(html, copied, at - copied);
        out += replacement;
        copied = gt + 1;
        at = html.find('<', copied);
    }
    out.append(html, copied);
    return out;
}

// Replaces every run of bytes for which `in_run` holds, when it starts with a byte for which `opens` holds and is
// at least `min_length` long, by `replacement`.
template <typename Opens, typename InRun>
std::string replace_runs(std::string_view text, Opens opens, InRun in_run, size_t min_length,
                         std::string_view replacement) {
    std::string out;
    out.reserve(text.size());
    size_t at = 0;
    while (at < text.size()) {
        if (!opens(text[at])) {
            out += text[at++];
            continue;
        }
        size_t end = at + 1;
        while (end < text.size() && in_run(text[end])) ++end;
        if (end - at >= min_length) {
            out += replacement;
        } else {
            out.append(text, at, end - at);
        }
        at = end;
    }
    return out;
}

struct entity {
    std::string_view code;
    std::string_view text;
};

// "&amp;" is not here: it runs last, over the result of the others.
constexpr std::array<entity, 10> entities_before_amp = {{
    {"&nbsp;", " "},
    {"&lt;", "<"},
    {"&gt;", ">"},
    {"&quot;", "\""},
    {"&#39;", "'"},
    {"&#x27;", "'"},
    {"&apos;", "'"},
    {"&mdash;", "-"},
    {"&ndash;", "-"},
    {"&hellip;", "..."},
}};

} // namespace

std::string decode_html_entities(std::string_view text) {
    // Every entity begins with '&' and holds no other, and no replacement holds a byte of any entity, so
    // replacing the first occurrence again and again, entity after entity, gives what one pass over all ten gives.
    std::string once;
    once.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        bool replaced = false;
        if (text[at] == '&') {
            for (const entity& e : entities_before_amp) {
                if (text.compare(at, e.code.size(), e.code) == 0) {
                    once += e.text;
                    at += e.code.size();
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced) once += text[at++];
    }
    // "&amp;" -> "&" makes a new "&amp;" out of a following "amp;", and the search starts again from the front, so
    // "&amp;" followed by any number of "amp;" becomes one '&'.
    std::string out;
    out.reserve(once.size());
    const std::string_view all = once;
    for (size_t at = 0; at < all.size();) {
        if (all.compare(at, 5, "&amp;") == 0) {
            at += 5;
            while (all.compare(at, 4, "amp;") == 0) at += 4;
            out += '&';
        } else {
            out += all[at++];
        }
    }
    return out;
}

std::string remove_hidden_elements(std::string_view html) {
    static constexpr std::array<std::string_view, 5> names = {"script", "style", "noscript", "svg", "head"};
    static constexpr std::array<std::string_view, 5> closers = {"</script>", "</style>", "</noscript>", "</svg>",
                                                                "</head>"};
    auto closer_search = [html](size_t k) {
        return [html, k](size_t from) { return find_blind(html, closers[k], from); };
    };
    using closer_finder = forward_search::next_occurrence<decltype(closer_search(0))>;
    std::array<closer_finder, 5> next_closer = {closer_finder(closer_search(0)), closer_finder(closer_search(1)),
                                                closer_finder(closer_search(2)), closer_finder(closer_search(3)),
                                                closer_finder(closer_search(4))};
    forward_search::next_occurrence next_gt([html](size_t from) { return html.find('>', from); });

    std::string out;
    out.reserve(html.size());
    size_t copied = 0;
    for (size_t at = html.find('<'); at != none;) {
        // No name is the beginning of another, so at most one can match here.
        size_t k = 0;
        while (k < names.size() && !starts_with_blind(html, at + 1, names[k])) ++k;
        if (k < names.size()) {
            const size_t gt = next_gt(at + 1 + names[k].size());
            const size_t close = gt == none ? none : next_closer[k](gt + 1);
            if (close != none) {
                out.append(html, copied, at - copied);
                out += ' ';
                copied = close + closers[k].size();
                at = html.find('<', copied);
                continue;
            }
        }
        at = html.find('<', at + 1);
    }
    out.append(html, copied);
    return out;
}

std::string mark_block_ends(std::string_view html) {
    static constexpr std::array<std::string_view, 7> names = {"br", "/p", "/div", "/li", "/tr", "/section",
                                                              "/article"};
    return replace_tags(
        html,
        [html](size_t at) -> size_t {
            for (std::string_view name : names) {
                if (starts_with_blind(html, at, name)) return name.size();
            }
            if (starts_with_blind(html, at, "/h") && at + 2 < html.size() && html[at + 2] >= '1' &&
                html[at + 2] <= '6') {
                return 3;
            }
            return 0;
        },
        "\n");
}

std::string mark_list_items(std::string_view html) {
    return replace_tags(
        html, [html](size_t at) -> size_t { return starts_with_blind(html, at, "li") ? 2 : 0; }, "\n- ");
}

std::string blank_out_tags(std::string_view html) {
    return replace_tags(
        html, [html](size_t at) -> size_t { return at < html.size() && html[at] != '>' ? 1 : 0; }, " ");
}

std::string squeeze_blanks(std::string_view text) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; };
    return replace_runs(text, blank, blank, 1, " ");
}

std::string squeeze_line_breaks(std::string_view text) {
    return replace_runs(
        text, [](char c) { return c == '\n'; }, [](char c) { return c == ' ' || c == '\n'; }, 2, "\n\n");
}

std::string html_to_text(std::string_view html, size_t limit) {
    std::string text = remove_hidden_elements(html);
    text = mark_block_ends(text);
    text = mark_list_items(text);
    text = blank_out_tags(text);
    text = decode_html_entities(text);
    text = squeeze_blanks(text);
    text = squeeze_line_breaks(text);
    if (text.size() > limit) {
        text.resize(limit);
        text += "\n[... page cut at " + std::to_string(limit) + " characters]";
    }
    return text;
}
