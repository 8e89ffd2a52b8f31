# Sourced by the small bench scripts (run from the checkout): the bench model of an architecture, written once into
# BUILD/bench-models, and its pack beside it.
#   bench_model BUILD ARCH   sets `model` (MODEL when set), writing it with BUILD's mivra-make-model when missing
#   bench_pack BUILD MIVRA   sets `pack`, packing `model` with the program MIVRA when missing

bench_model() {
  local build=$1 arch=$2 shape
  mkdir -p "$build/bench-models"
  model=$(realpath -m "${MODEL:-$build/bench-models/$arch-bench.gguf}")
  [ -f "$model" ] && return 0
  echo "writing $model ..." >&2
  case $arch in
    qwen3moe) shape="--layers 8 --embd 2048 --heads 32 --heads-kv 4 --head-dim 128 --experts 128 --experts-used 8
                     --ff 768 --expert-type q4_K --attn-type q8_0" ;;
    gpt-oss)  shape="--layers 6 --embd 2880 --heads 64 --heads-kv 8 --head-dim 64 --experts 32 --experts-used 4
                     --ff 2880 --expert-type mxfp4 --attn-type q8_0 --sliding-window 128" ;;
    *) echo "unknown arch $arch" >&2; exit 1 ;;
  esac
  # shellcheck disable=SC2086
  "$build/bin/mivra-make-model" "$model" --arch "$arch" $shape >/dev/null
}

bench_pack() {
  local build=$1 mivra=$2
  pack=$build/bench-models/$(basename "${model%.gguf}")-pack
  [ -f "$pack/manifest.json" ] && return 0
  echo "packing $model ..." >&2
  "$mivra" pack "$model" "$pack" >/dev/null
}
