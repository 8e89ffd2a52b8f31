#!/usr/bin/env python3
"""Checks the include graph of the product folders against the order of the layers.

    platform -> common -> engine/pack -> engine/runtime -> server | distribution -> connectors -> agent -> desktop -> cli

A folder may include headers of its own folder and of folders before it, never of a folder after it; server and
distribution are siblings, so neither includes the other. With the link table that CMake writes (--links), it also
checks that each folder's targets link exactly the folders that its files include, and that a folder that includes a
third-party library's header links that library itself.

    check_layers.py SOURCE_DIR [--links FILE] [--stamp FILE] [--quiet]

Prints the graph, one line per folder, then every violation; exits with 1 when there is one. --quiet prints only
the violations. --stamp FILE is written after a clean check, for the build.
"""
import argparse
import os
import re
import sys

# (folder, rank): a folder may include folders of a lower rank. Equal ranks are siblings.
LAYERS = [
    ("platform", 0),
    ("common", 1),
    ("engine/pack", 2),
    ("engine/runtime", 3),
    ("server", 4),
    ("distribution", 4),
    ("connectors", 5),
    ("agent", 6),
    ("desktop", 7),
    ("cli", 8),
]
RANK = dict(LAYERS)

# Headers of the libraries we link, by the start of the include text, and the CMake targets that provide them.
THIRD_PARTY = [
    ("nlohmann/", {"deps::json", "deps::llama-common"}),
    ("httplib.h", {"deps::httplib"}),
    ("llama.h", {"deps::llama", "deps::llama-common"}),
    ("chat.h", {"deps::llama-common"}),
    ("common.h", {"deps::llama-common"}),
    ("ggml", {"deps::ggml", "deps::ggml-base"}),
    ("gguf.h", {"deps::ggml-base"}),
    ("curl/", {"CURL::libcurl"}),
    ("openssl/", {"OpenSSL::SSL", "OpenSSL::Crypto"}),
]

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)


def folder_of_header(header):
    """The layer folder an include text points into, or None."""
    for folder, _ in sorted(LAYERS, key=lambda l: -len(l[0])):
        if header.startswith(folder + "/"):
            return folder
    return None


def scan(source_dir):
    """{folder: {included folder: [(file, header), ...]}} and {folder: {third-party prefix: [file, ...]}}."""
    graph, third = {}, {}
    for folder, _ in LAYERS:
        path = os.path.join(source_dir, folder)
        if not os.path.isdir(path):
            continue
        edges, libs = {}, {}
        for root, dirs, files in os.walk(path):
            # engine/pack and engine/runtime are layers of their own; a folder's subfolders belong to it.
            dirs[:] = [d for d in dirs if os.path.relpath(os.path.join(root, d), source_dir) not in RANK]
            for name in sorted(files):
                if not name.endswith((".h", ".hpp", ".cpp", ".c")):
                    continue
                file = os.path.join(root, name)
                rel = os.path.relpath(file, source_dir)
                with open(file, encoding="utf-8", errors="replace") as f:
                    text = f.read()
                for quote, header in INCLUDE.findall(text):
                    target = folder_of_header(header)
                    if target is not None and target != folder:
                        edges.setdefault(target, []).append((rel, header))
                    for prefix, _ in THIRD_PARTY:
                        if header.startswith(prefix) and not (quote == '"' and os.path.exists(
                                os.path.join(os.path.dirname(file), header))):
                            libs.setdefault(prefix, []).append(rel)
        graph[folder], third[folder] = edges, libs
    return graph, third


def read_links(path):
    """{folder: {"targets": set, "links": set}} from the table CMake writes: folder TAB target TAB links;..."""
    table = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            parts = line.rstrip("\n").split("\t")
            if len(parts) < 2:
                continue
            folder, target = parts[0], parts[1]
            links = [l for l in (parts[2].split(";") if len(parts) > 2 else []) if l]
            entry = table.setdefault(folder, {"targets": set(), "links": set()})
            entry["targets"].add(target)
            # A link given as "$<LINK_ONLY:x>" or with the directory marker CMake adds still names x.
            for l in links:
                l = re.sub(r"^\$<LINK_ONLY:(.*)>$", r"\1", l)
                l = re.sub(r"::@\(.*\)$", "", l)
                entry["links"].add(l)
    return table


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("source_dir")
    ap.add_argument("--links")
    ap.add_argument("--stamp")
    ap.add_argument("--quiet", action="store_true")
    args = ap.parse_args()
    say = (lambda text: None) if args.quiet else print

    graph, third = scan(args.source_dir)
    problems = []
    say("include graph (folder -> folders it includes):")
    for folder, _ in LAYERS:
        if folder not in graph:
            continue
        edges = graph[folder]
        say(f"  {folder:15} -> {', '.join(sorted(edges, key=lambda f: RANK[f])) or '(nothing)'}")
        for target, uses in sorted(edges.items()):
            if RANK[target] >= RANK[folder]:
                kind = "sibling" if RANK[target] == RANK[folder] else "higher layer"
                for rel, header in uses:
                    problems.append(f"{rel} includes {header}: {target} is a {kind} of {folder}")

    if args.links:
        table = read_links(args.links)
        target_folder = {t: f for f, e in table.items() for t in e["targets"]}
        for folder, _ in LAYERS:
            if folder not in graph or folder not in table:
                continue
            entry = table[folder]
            linked = {target_folder[l] for l in entry["links"] if l in target_folder} - {folder}
            included = set(graph[folder])
            for f in sorted(included - linked):
                problems.append(f"{folder}: includes {f} but its CMake targets do not link it")
            for f in sorted(linked - included):
                problems.append(f"{folder}: links {f} but includes none of its headers")
            for prefix, users in sorted(third[folder].items()):
                wanted = dict(THIRD_PARTY)[prefix]
                if not wanted & entry["links"]:
                    problems.append(f"{folder}: {users[0]} includes {prefix}... but {folder} links none of "
                                    f"{', '.join(sorted(wanted))}")

    if problems:
        print("include graph violations:")
        for p in problems:
            print("  " + p)
        return 1
    say("no include against the order of the layers" +
          (", and every folder links exactly the folders it includes" if args.links else ""))
    if args.stamp:
        with open(args.stamp, "w", encoding="utf-8") as f:
            f.write("ok\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
