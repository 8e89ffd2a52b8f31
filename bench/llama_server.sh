#!/usr/bin/env bash
# Builds llama.cpp's own server from the same pinned source as the dependency cache (scripts/deps.sh), for
# bench/run.sh's time-to-first-token comparison only: it lives in the bench build folder, is never installed,
# shipped or linked into mivra. Built once; prints the path of the program on its last line.
#   bench/llama_server.sh BUILD_DIR
# The program is built against its own libllama and ggml of that source; bench/run.sh runs it from the folder of
# the deps cache's libraries, so that it loads the same ggml CPU variant as mivra.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "$1")
deps=$(sed -n 's/^MIVRA_DEPS_DIR:[A-Z]*=//p' "$build/CMakeCache.txt")
version=$(sed -n 's/^NLC_VERSION=//p' "$root/scripts/deps.sh")
work=$build/llama-server
program=$work/build/bin/llama-server
if [ -x "$program" ] && [ -f "$work/.complete" ]; then
  echo "$program"
  exit 0
fi

say() { printf 'bench: %s\n' "$*" >&2; }
if [ -f "$work/build/build.ninja" ]; then  # a build that was stopped: carry on with it
  say "finishing the build of llama-server in $work ..."
  ninja -C "$work/build" -j "${JOBS:-3}" llama-server >/dev/null
  touch "$work/.complete"
  echo "$program"
  exit 0
fi
rm -rf "$work" && mkdir -p "$work"
say "building llama-server from node-llama-cpp@$version's llama.cpp source (once; takes a while) ..."
(cd "$work" && npm pack --silent --prefer-offline "node-llama-cpp@$version" >/dev/null)
tar -xzf "$work/node-llama-cpp-$version.tgz" -C "$work" package/llama/gitRelease.bundle
git clone -q "$work/package/llama/gitRelease.bundle" "$work/src" 2>/dev/null
rm -rf "$work/package" "$work/node-llama-cpp-$version.tgz"
want=$(cat "$deps/source-revision" 2>/dev/null || true)
have=$(git -C "$work/src" rev-parse HEAD)
[ -z "$want" ] || [ "$want" = "$have" ] || { say "source $have is not the deps cache's $want"; exit 1; }
# The options of scripts/deps.sh, with the server on and without its web page (which would be downloaded); only
# the server's own target is built.
cmake -S "$work/src" -B "$work/build" -G Ninja \
  -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON \
  -DGGML_BACKEND_DL=ON -DGGML_CPU_ALL_VARIANTS=ON -DGGML_NATIVE=OFF \
  -DLLAMA_CURL=OFF -DLLAMA_OPENSSL=OFF -DLLAMA_BUILD_COMMON=ON \
  -DLLAMA_BUILD_TESTS=OFF -DLLAMA_BUILD_EXAMPLES=OFF -DLLAMA_BUILD_SERVER=ON \
  -DLLAMA_BUILD_TOOLS=ON -DLLAMA_BUILD_UI=OFF -DLLAMA_USE_PREBUILT_UI=OFF >/dev/null
ninja -C "$work/build" -j "${JOBS:-3}" llama-server >/dev/null
touch "$work/.complete"
echo "$program"
