#include "distribution/cmd_pull.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "common/file_helpers.h"
#include "common/http_client.h"
#include "common/process_state.h"
#include "distribution/hub_listing.h"
#include "distribution/launcher_events.h"
#include "distribution/pull_files.h"
#include "distribution/pull_state.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const char* const pull_usage =
    "usage: mivra pull <owner/name>[@revision] [out_dir] [--lowbit]\n"
    "  downloads a Mivra pack from Hugging Face, or updates it when files changed there\n"
    "  (resumes if cut; every file is checksum-checked)\n"
    "  --lowbit also downloads experts.lo.bin (~9.5 GB) for --lowbit / --mode fast\n"
    "  HF_TOKEN=<token> for private or gated repos\n";

constexpr uint64_t announce_hash_above = uint64_t{64} << 20; // bytes
// A listing of a pack's repo is a few kilobytes; these bounds only stop a hostile or broken server.
constexpr size_t max_listing_bytes = size_t{64} << 20;
constexpr int listing_time_limit_seconds = 120;

// The listing, read whole but within its size and time bounds (a stalled read still ends at the transport's
// receive time-out).
json list_repo(http_session& session, const std::string& encoded_repo, const std::string& revision,
               const std::string& spec) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::seconds(mivra_listing_time_limit_hook ? mivra_listing_time_limit_hook()
                                                                             : listing_time_limit_seconds);
    std::string url = session.hub_endpoint + "/api/models/" + encoded_repo + "/tree/" + url_encode(revision);
    http_request request = http_get(session, url, 0, "", false);
    std::string body;
    std::vector<char> block(65536);
    for (;;) {
        const long n = read_response_some(request, block.data(), block.size());
        if (n <= 0) break;
        body.append(block.data(), static_cast<size_t>(n));
        if (body.size() > max_listing_bytes) {
            throw std::runtime_error("the Hub's file list of " + spec + " is larger than " +
                                     std::to_string(max_listing_bytes >> 20) + " MB");
        }
        if (std::chrono::steady_clock::now() > deadline) {
            throw std::runtime_error("the Hub took too long to list the files of " + spec);
        }
    }
    return json::parse(body);
}

// Hub owner and repo names: letters, digits, '-', '_' and '.', and never "." or "..", so that neither the URL nor
// the pack folder named after the repo can reach anywhere else.
bool valid_hub_name(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (unsigned char c : name) {
        if (!std::isalnum(c) && c != '-' && c != '_' && c != '.') return false;
    }
    return true;
}

// The work of a pull: the files to fetch and the bytes still to download for them.
struct pull_plan {
    std::vector<download_file> work;
    uint64_t total = 0;       // bytes of every listed file
    uint64_t need = 0;        // bytes to download (complete part files count nothing)
    bool replaces = false;    // some file to fetch replaces one already in the pack folder
};

pull_plan plan_pull(const std::vector<download_file>& files, const fs::path& pack_dir, json& state) {
    pull_plan plan;
    for (const download_file& file : files) {
        const uint64_t size = static_cast<uint64_t>(file.size);
        plan.total += size;
        if (file_up_to_date(file, pack_dir, state)) continue;
        if (checked_exists(pack_dir / fs::path(file.path))) {
            std::fprintf(stderr, "  %-22s a newer version is on the Hub\n", printable_name(file.path).c_str());
            plan.replaces = true;
        }
        const fs::path part = part_path(pack_dir, file);
        const uint64_t have = checked_exists(part) ? checked_file_size(part) : 0;
        plan.need += have > size ? size : size - have; // a part file longer than the file is thrown away
        plan.work.push_back(file);
    }
    return plan;
}

int run_pull(const std::string& spec, const std::string& revision, const std::string& encoded_repo,
             const fs::path& pack_dir, bool lowbit, bool any_repo, bool from_start) {
    http_session session;
    hub_listing listing = read_hub_listing(list_repo(session, encoded_repo, revision, spec), lowbit);
    for (const std::string& name : listing.odd_names) {
        std::fprintf(stderr, "note: %s lists a file named \"%s\", which is not a plain file name; skipped\n",
                     spec.c_str(), printable_name(name).c_str());
    }
    for (const std::string& name : listing.long_names) {
        std::fprintf(stderr, "note: %s lists a file whose name is too long for this drive (\"%s...\"); skipped\n",
                     spec.c_str(), printable_name(name.substr(0, 40)).c_str());
    }
    if (!listing.has_manifest && !any_repo) {
        throw std::runtime_error(spec + " has no manifest.json at its root, so it is not a Mivra pack");
    }
    if (lowbit && !listing.has_lowbit) {
        std::fprintf(stderr, "note: %s has no experts.lo.bin, so --lowbit will not work with it\n", spec.c_str());
    }
    std::vector<download_file>& files = listing.files;
    std::sort(files.begin(), files.end(),
              [](const download_file& a, const download_file& b) { return a.size < b.size; });

    checked_create_directories(pack_dir);
    json state = read_pull_state(pack_dir);
    if (!(state.is_object() && state.contains("files") && state["files"].is_object())) state["files"] = json::object();
    state["repo"] = spec + "@" + revision;

    const pull_plan plan = plan_pull(files, pack_dir, state);
    const std::string pack_text = pack_dir.string();
    if (plan.work.empty()) {
        std::fprintf(stderr, "%s is up to date (%s)\n", spec.c_str(),
                     format_size(static_cast<double>(plan.total)).c_str());
        if (!from_start) std::fprintf(stderr, "Start it with:  mivra serve \"%s\"\n", pack_text.c_str());
        compact_pull_state(pack_dir, state);
        return 0;
    }

    const uint64_t free_bytes = checked_free_space(pack_dir);
    std::fprintf(stderr, "downloading %s: %zu of %zu files, %s to download (%s free on that drive)\n", spec.c_str(),
                 plan.work.size(), files.size(), format_size(static_cast<double>(plan.need)).c_str(),
                 format_size(static_cast<double>(free_bytes)).c_str());
    if (plan.need > free_bytes) {
        throw std::runtime_error("not enough free disk space on that drive (" +
                                 format_size(static_cast<double>(plan.need)) + " needed)");
    }

    const std::string base_url =
        session.hub_endpoint + "/" + encoded_repo + "/resolve/" + url_encode(revision) + "/";
    pull_need_bytes = plan.need;
    pull_done_bytes = 0;
    if (gui_progress) emit_json_line(gui_download_event(plan.work.size(), plan.need));
    // The repo being pulled and what the plan found are written once; each downloaded file then costs one log line.
    write_pull_state(pack_dir, state);

    // New files of an update stay under their part names until all of them are verified.
    try {
        for (const download_file& file : plan.work) {
            fetch_part_file(session, base_url, file, pack_dir);
            if (!plan.replaces) install_part_file(file, pack_dir, state);
        }
        if (plan.replaces) {
            for (const download_file& file : plan.work) install_part_file(file, pack_dir, state);
        }
    } catch (...) {
        // The state file then lists what was done, as the log does for a pull that could not get here.
        try {
            compact_pull_state(pack_dir, state);
        } catch (const std::exception&) {
        }
        throw;
    }
    write_pull_state(pack_dir, state);

    if (from_start) {
        std::fputs("download complete\n", stderr);
    } else {
        std::fprintf(stderr, "done. Start it with:  mivra serve \"%s\"\n", pack_text.c_str());
    }
    return 0;
}

}  // namespace

bool file_up_to_date(const download_file& file, const fs::path& pack_dir, json& state) {
    const fs::path final_path = pack_dir / fs::path(file.path);
    if (!checked_exists(final_path)) return false;
    if (checked_file_size(final_path) != static_cast<uint64_t>(file.size)) return false;
    json& files = state["files"];
    if (files.is_object() && files.contains(file.path)) {
        return json_string_or_empty(files[file.path], "id") == expected_id(file);
    }
    if (static_cast<uint64_t>(file.size) > announce_hash_above) {
        std::fprintf(stderr, "  %-22s checking the copy already on disk...\n", printable_name(file.path).c_str());
    }
    if (hash_file(final_path, file) != expected_id(file)) return false;
    record_pulled_file(pack_dir, state, file.path, expected_id(file), static_cast<uint64_t>(file.size));
    return true;
}

int pull_pack(std::string spec, std::string out_dir, bool lowbit, bool any_repo, bool from_start) {
    std::string revision = "main";
    if (const size_t at = spec.find('@'); at != std::string::npos) {
        revision = spec.substr(at + 1);
        spec.erase(at);
    }
    const size_t slash = spec.find('/');
    const std::string owner = spec.substr(0, slash);
    const std::string name = slash == std::string::npos ? std::string() : spec.substr(slash + 1);
    last_pull_error.clear();
    std::string folder = name;
    const std::string ending = "-mivra";
    if (folder.size() > ending.size() && folder.compare(folder.size() - ending.size(), ending.size(), ending) == 0) {
        folder.erase(folder.size() - ending.size());
    }
    if (!valid_hub_name(owner) || !valid_hub_name(name) || (out_dir.empty() && !valid_hub_name(folder))) {
        const std::string text = "\"" + printable_name(spec) +
                                 "\" is not a Hugging Face repo name: owner and name may hold only letters, digits, "
                                 "'-', '_' and '.', and neither may be '.' or '..'";
        std::fprintf(stderr, "\nerror: %s\n", text.c_str());
        last_pull_error = text;
        return 1;
    }
    if (out_dir.empty()) out_dir = (program_folder() / "models" / folder).string();

    const std::string encoded_repo = url_encode(owner) + "/" + url_encode(name);
    try {
        return run_pull(spec, revision, encoded_repo, fs::path(out_dir), lowbit, any_repo, from_start);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "\nerror: %s\n", e.what());
        last_pull_error = e.what();
        return 1;
    }
}

int cmd_pull(int argc, char** argv) {
    std::string spec, out_dir;
    bool have_spec = false, have_out_dir = false, lowbit = false, any_repo = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--lowbit") {
            lowbit = true;
        } else if (arg == "--any-repo") {
            any_repo = true;
        } else if (!have_spec) {
            spec = arg;
            have_spec = true;
        } else if (!have_out_dir) {
            out_dir = arg;
            have_out_dir = true;
        } else {
            std::fprintf(stderr, "unexpected argument %s\n", arg.c_str());
            return 1;
        }
    }
    if (!have_spec || spec.find('/') == std::string::npos) {
        std::fputs(pull_usage, stderr);
        return 1;
    }
    return pull_pack(spec, out_dir, lowbit, any_repo, false);
}
