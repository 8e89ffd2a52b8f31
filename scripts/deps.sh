#!/usr/bin/env bash
# Installs everything mivra builds and tests against, unattended, on a fresh Debian 12 machine:
#   - Debian packages (apt-get when run as root; otherwise a clear message naming what is missing);
#   - ggml, libllama and llama-common from the llama.cpp source pinned inside the npm package
#     node-llama-cpp@$NLC_VERSION, built once into a cache folder outside the checkout.
# A second run finds the cache stamp and does nothing. Prints the cache folder on its last line.
set -euo pipefail

NLC_VERSION=3.21.1
CACHE_ROOT=${MIVRA_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/mivra-deps}
PREFIX=$CACHE_ROOT/llama-$NLC_VERSION
STAMP=$PREFIX/.complete

APT_PACKAGES=(build-essential cmake ninja-build git pkg-config ca-certificates curl
  libcurl4-openssl-dev libssl-dev libpcre2-dev libgtest-dev libgmock-dev nodejs npm openssl chromium
  python3 python3-pil poppler-utils tesseract-ocr tesseract-ocr-eng ffmpeg zenity
  libgtk-3-dev libwebkit2gtk-4.1-dev libayatana-appindicator3-dev
  xvfb openbox wmctrl xdotool x11-utils imagemagick trayer dbus dbus-daemon desktop-file-utils)

log() { printf 'deps: %s\n' "$*" >&2; }

install_packages() {
  local missing=()
  for p in "${APT_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  # node/npm may come from elsewhere than Debian (a newer Node on PATH is fine)
  if command -v node >/dev/null && command -v npm >/dev/null; then
    local keep=()
    for p in "${missing[@]}"; do [[ $p == nodejs || $p == npm ]] || keep+=("$p"); done
    missing=("${keep[@]+"${keep[@]}"}")
  fi
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    log "missing Debian packages: ${missing[*]}"
    log "install them with: sudo apt-get install -y ${missing[*]}"
    exit 1
  fi
  log "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

build_llama() {
  if [ -f "$STAMP" ]; then return 0; fi
  local work=$PREFIX.work
  rm -rf "$work" "$PREFIX"
  mkdir -p "$work"
  log "fetching node-llama-cpp@$NLC_VERSION"
  (cd "$work" && npm pack --silent "node-llama-cpp@$NLC_VERSION" >/dev/null)
  tar -xzf "$work/node-llama-cpp-$NLC_VERSION.tgz" -C "$work" package/llama/gitRelease.bundle
  git clone -q "$work/package/llama/gitRelease.bundle" "$work/src" 2>/dev/null
  local jobs
  jobs=$(nproc)
  log "building llama.cpp with $jobs jobs (once; this takes a while on a small machine)"
  cmake -S "$work/src" -B "$work/build" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON \
    -DGGML_BACKEND_DL=ON -DGGML_CPU_ALL_VARIANTS=ON -DGGML_NATIVE=OFF \
    -DLLAMA_CURL=OFF -DLLAMA_OPENSSL=OFF -DLLAMA_BUILD_COMMON=ON \
    -DLLAMA_BUILD_TESTS=OFF -DLLAMA_BUILD_EXAMPLES=OFF -DLLAMA_BUILD_SERVER=OFF \
    -DLLAMA_BUILD_APP=OFF -DLLAMA_BUILD_TOOLS=ON -DLLAMA_BUILD_MTMD=OFF \
    -DCMAKE_INSTALL_PREFIX="$PREFIX" -DCMAKE_BUILD_WITH_INSTALL_RPATH=ON \
    -DCMAKE_INSTALL_RPATH='$ORIGIN:$ORIGIN/../lib' >/dev/null
  local cpu_targets
  cpu_targets=$(ninja -C "$work/build" -t targets all | sed -n 's/^\(libggml-cpu-[a-z0-9_]*\.so\):.*/\1/p' | sort -u)
  ninja -C "$work/build" -j "$jobs" llama llama-common cpp-httplib llama-bench $cpu_targets >/dev/null

  # Lay out the cache: libraries and the CPU variants side by side, headers, vendored sources, tools and test material.
  mkdir -p "$PREFIX/lib" "$PREFIX/include/common" "$PREFIX/include/vendor" "$PREFIX/bin" "$PREFIX/share"
  cp -a "$work/build/bin/"*.so* "$PREFIX/lib/"
  find "$work/build" -name 'libcpp-httplib.a' -exec cp {} "$PREFIX/lib/" \;
  find "$work/build" -name 'libllama-common-base.a' -exec cp {} "$PREFIX/lib/" \;
  cp "$work/build/bin/llama-bench" "$PREFIX/bin/"
  cp "$work/src/include/"*.h "$PREFIX/include/"
  cp "$work/src/ggml/include/"*.h "$PREFIX/include/"
  (cd "$work/src/common" && find . -name '*.h' -o -name '*.hpp' | cpio -pdm --quiet "$PREFIX/include/common")
  cp -r "$work/src/vendor/nlohmann" "$work/src/vendor/cpp-httplib" "$PREFIX/include/vendor/"
  find "$work/build" -name 'build-info.h' -path '*common*' -exec cp {} "$PREFIX/include/common/" \; || true
  cp -r "$work/src/models" "$PREFIX/share/models"
  rm -f "$PREFIX/share/models/"*.gguf.inp "$PREFIX/share/models/"*.gguf.out
  git -C "$work/src" rev-parse HEAD > "$PREFIX/source-revision"
  rm -rf "$work"
  touch "$STAMP"
  log "installed into $PREFIX"
}

command -v cpio >/dev/null || APT_PACKAGES+=(cpio)
install_packages
build_llama
echo "$PREFIX"
