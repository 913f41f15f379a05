#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz (clang-14, AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz and runs each for a bounded time.
#
#   scripts/ci-fuzz.sh [target...]        (default: all four)
#
#   FUZZ_SECONDS      time per target (default 20)
#   FUZZ_BUILD_DIR    build directory (default build-fuzz)
#   JOBS              build parallelism (default 2)
#
# The action fuzzer also speaks with the synthetic fixture voice when a normal build
# (build/, made by `make test`) is there: its fixtures give the voice and its lib/ the
# model checker program that the node runs before loading a voice. Set
# OMBRIX_FUZZ_VOICE_DIR and OMBRIX_FUZZ_MODEL_CHECKER to take them from elsewhere.
#
# Corpora grow in <build>/corpus/<target> and are kept between runs; a crash leaves its
# input as <build>/artifacts/<target>/crash-* and fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-20}
build=${FUZZ_BUILD_DIR:-build-fuzz}
jobs=${JOBS:-2}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_ring_buffer fuzz_streaming_text fuzz_tts_actions fuzz_model_readers)

# The fuzz targets are a project of their own, so that this build does not configure (or
# build with clang) the rest of the tree.
cmake -S tests/fuzz -B "$build" -DOMBRIX_BUILD_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14
cmake --build "$build" -j"$jobs" --target "${targets[@]}"

voice=build/fixtures/voice-en
checker=build/lib/ombrix-sherpa-check
if [ -n "${OMBRIX_FUZZ_VOICE_DIR:-}" ]; then
  : # given by the caller (with OMBRIX_FUZZ_MODEL_CHECKER)
elif [ -f "$voice/model.onnx" ] && [ -x "$checker" ]; then
  export OMBRIX_FUZZ_VOICE_DIR=$PWD/$voice
  export OMBRIX_FUZZ_MODEL_CHECKER=$PWD/$checker
else
  echo "ci-fuzz: no build/ with fixtures and model checker; the action fuzzer runs without a voice"
fi

status=0
for target in "${targets[@]}"; do
  corpus=$build/corpus/$target
  artifacts=$build/artifacts/$target/
  mkdir -p "$corpus" "$artifacts"
  options=(-max_total_time="$seconds" -timeout=60 -rss_limit_mb=4096 -print_final_stats=1 -print_funcs=0
    -artifact_prefix="$artifacts")
  # Each input of the action fuzzer is a sequence of operations on a fresh node: let inputs
  # be long from the start rather than growing them slowly.
  [ "$target" = fuzz_tts_actions ] && options+=(-len_control=0 -max_len=1024)
  # The readers' corpus starts from the fixture files, each behind the byte that picks its
  # reader (0 ONNX, 1 ORT, 2 voice tokens, 3 recogniser tokens, 4 graph header).
  if [ "$target" = fuzz_model_readers ]; then
    options+=(-max_len=16384)
    fixtures=build/fixtures
    for seed in 0:asr/model.onnx 0:voice-en/model.onnx 1:asr/model.ort 2:voice-en/tokens.txt \
                3:asr/tokens.txt 4:asr/HLG.fst; do
      file=$fixtures/${seed#*:}
      [ -f "$file" ] || continue
      { printf "\\$(printf %o "${seed%%:*}")"; cat "$file"; } > "$corpus/seed-${seed%%:*}-$(basename "$file")"
    done
  fi
  echo
  echo "==== $target for ${seconds}s"
  # sherpa-onnx writes a line to stderr for every model path that does not exist; keep
  # libFuzzer's own lines and any sanitizer report.
  set +e
  "$build/bin/$target" "${options[@]}" "$corpus" 2>&1 \
    | grep -av -e '^/shared/sherpa-onnx/' -e "' does not exist" -e '^Errors in config'
  rc=${PIPESTATUS[0]}
  set -e
  if [ "$rc" -ne 0 ]; then
    echo "ci-fuzz: $target failed (exit status $rc); inputs in $artifacts" >&2
    status=1
  fi
done
exit $status
