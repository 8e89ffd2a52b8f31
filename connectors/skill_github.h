// GitHub as the source of skills: its three address prefixes, the parsing of a link to a skill folder, and the
// recursive listing of a repository's file tree (cached for ten minutes).
//
// Environment, read at each call (tests point them at a GitHub imitation of their own on 127.0.0.1):
//   MIVRA_GITHUB_WEB  the web site,        default "https://github.com/"
//   MIVRA_GITHUB_RAW  the raw-file host,   default "https://raw.githubusercontent.com/"
//   MIVRA_GITHUB_API  the REST API,        default "https://api.github.com/"
// A value without a trailing '/' gets one.
//
// Threads and locking: the tree cache has a mutex of its own, held only to look up and to store, never during a
// fetch, so two callers that miss at the same time both fetch and the later store wins. Safe from any thread.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

std::string github_web_prefix();
std::string github_raw_prefix();
std::string github_api_prefix();

// A parsed link to a folder of a repository.
struct github_link {
    std::string owner;
    std::string repo;
    std::string branch = "HEAD";  // or any other ref the link names
    std::string path;             // '/'-separated, no leading or trailing '/'; empty for the repository root
};

// "%XY" with two hexadecimal digits becomes that byte; every other byte ('+' included) is copied. The decoding of
// a path in an address, so that a folder named "c++" survives its link.
std::string percent_decode_path(std::string_view text);

// Parses a web link (github_web_prefix() + owner/repo[/tree|blob/branch]/folder...), a raw link
// (github_raw_prefix() + owner/repo/branch/folder...) or the short form owner/repo[/folder...]; trailing '/' and
// white space and leading blanks are ignored, a ".git" ending of the repository is dropped, the folder parts are
// percent-decoded and a link to a SKILL.md names its folder. Throws std::runtime_error
// "give a GitHub link (" + github_web_prefix() + "owner/repo/tree/main/path-to-skill)" for a link with another
// scheme or host, "that is not a GitHub repository link" for fewer than two parts.
github_link parse_github_skill_link(std::string link);

// The "tree" array of the recursive git-trees listing of link's owner, repo and branch (its path is not used),
// from the cache when listed less than 600 s ago. Reads at most 32 MiB. Throws std::runtime_error "GitHub: " + the
// HTTP client's text (failures are not cached), nlohmann::json's parse or type error for an answer that is not a
// JSON object. `truncated`, when given, says whether GitHub marked the listing as cut short.
nlohmann::json list_github_tree(const github_link& link, bool* truncated = nullptr);
