#!/usr/bin/env bash
# Builds everything (the pinned dependencies once, into their cache) and runs the whole test suite.
#   MIVRA_SANITIZE=address|thread scripts/test.sh   runs it under ASan+UBSan or TSan in build-address / build-thread.
set -euo pipefail
cd "$(dirname "$0")/.."
deps=$(scripts/deps.sh | tail -n 1)
san=${MIVRA_SANITIZE:-}
build=build${san:+-$san}
cmake -S . -B "$build" -G Ninja -DMIVRA_DEPS_DIR="$deps" -DMIVRA_SANITIZE="$san" >/dev/null
cmake --build "$build" -j "$(nproc)"
cd "$build"
ctest -j "$(nproc)" --output-on-failure ${MIVRA_CTEST_ARGS:-}
