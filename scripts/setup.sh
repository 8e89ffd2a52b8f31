#!/usr/bin/env bash
# Builds everything and runs the main job.
#   scripts/setup.sh [MODEL.gguf | PACK_DIR]
# Without an argument it makes a small demo model (random weights, a real tokenizer), converts it into a pack and
# runs it; with a GGUF model it converts that; with a pack folder it runs that pack.
set -euo pipefail
cd "$(dirname "$0")/.."
deps=$(scripts/deps.sh | tail -n 1)
cmake -S . -B build -G Ninja -DMIVRA_DEPS_DIR="$deps" >/dev/null
cmake --build build -j "$(nproc)"
bin=$PWD/build/bin
demo=$PWD/build/demo
mkdir -p "$demo"

arg=${1:-}
if [ -n "$arg" ] && [ -d "$arg" ]; then
  pack=$arg
else
  model=${arg:-$demo/demo-qwen3moe.gguf}
  if [ -z "$arg" ] && [ ! -f "$model" ]; then
    echo "making a demo model: $model"
    "$bin/mivra-make-model" --arch qwen3moe --seed 1 --out "$model"
  fi
  pack=$demo/$(basename "${model%.gguf}")
  "$bin/mivra" pack "$model" "$pack"
fi

# The main job: serve the pack on 127.0.0.1:8080 where this build has `serve`, else run one prompt.
if "$bin/mivra" serve --help 2>&1 | grep -q "not available"; then
  if "$bin/mivra" run --help 2>&1 | grep -q "not available"; then
    echo "pack ready in $pack (this build cannot run models yet)"
  else
    "$bin/mivra" run "$pack" -p "Hello" -n 32
  fi
else
  echo "starting the server; once it prints its address, open http://127.0.0.1:8080/ in a browser to chat,"
  echo "or talk to it from another terminal:"
  echo "  curl http://127.0.0.1:8080/v1/chat/completions -H 'Content-Type: application/json' \\"
  echo "    -d '{\"messages\":[{\"role\":\"user\",\"content\":\"Hello\"}],\"max_tokens\":8}'"
  exec "$bin/mivra" serve "$pack"
fi
