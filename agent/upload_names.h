// The names under which files that the user drops into the agent page are stored (POST /agent/upload, and the
// posted form of POST /agent/extract). Stateless; safe from any thread.
#pragma once

#include <string>
#include <string_view>

// A file name cleaned byte by byte: every byte below 0x20 and every \ / : * ? " < > | becomes "_"; bytes of 0x80 and
// above stay (UTF-8 names survive). An empty result, "." or ".." becomes "file".
std::string clean_upload_name(std::string_view name);

// The n-th candidate for a cleaned `name` (n = 1, 2, ...): the name itself for n = 1, else stem + " (" + n + ")" +
// extension, the extension being the last dot and what follows it, except that a name whose only dot is its first
// byte has none: report.pdf -> "report (2).pdf", archive.tar.gz -> "archive.tar (2).gz", .env -> ".env (2)".
std::string upload_clash_name(const std::string& name, int n);
