#!/usr/bin/env bash
# Sanitizer builds of the tests, as CI runs them after `make test`:
#   asan  build-asan, -DOMBRIX_SANITIZE=address (AddressSanitizer + UndefinedBehaviorSanitizer):
#         the whole test suite
#   tsan  build-tsan, -DOMBRIX_SANITIZE=thread (ThreadSanitizer): the tests labelled
#         "concurrency", plus the other test programs that run several threads (the
#         text-to-speech node's worker and audio threads, the speech-to-text node's atomics)
#
#   scripts/ci-sanitizers.sh [asan] [tsan]      (default: both)
#
# Suppressions (tests/sanitizers/*.supp) name only the prebuilt dependency's libraries;
# they are compiled into every test program (tests/sanitizers/SanitizerDefaults.cpp).
# The real-time tests (which interpose malloc and pthread_mutex_lock) are not run under
# TSan, whose own interceptors they would fight.
# Prints the wall time of every phase at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=${JOBS:-2}
phases=("$@")
[ ${#phases[@]} -gt 0 ] || phases=(asan tsan)

# Test programs of the TSan run besides those labelled "concurrency" (the label's programs
# are built from their names below too, so that nothing else has to be built).
tsan_targets=(SdkTest sdk_test_plugin ring_buffer_concurrency_tests model_file_checker_tests
  SherpaSTTNodeConcurrencyTest SherpaSTTNodeTest tts_node_threading_tests tts_node_tests)
# Their test names (gtest suites of tts_node_tests and SherpaSTTNodeTest).
tsan_extra_tests='^(SherpaTTSNode|SherpaSTTNode|LoadedNode|ObservedInternals)\.'

timings=()
run_phase() {
  local name=$1
  shift
  local start
  start=$(date +%s)
  echo
  echo "==== sanitizers: $name ($(date -u +%H:%M:%S))"
  local rc=0
  "$@" || rc=$?
  local seconds=$(($(date +%s) - start))
  timings+=("$(printf '%-28s %5d s  %s' "$name" "$seconds" "$([ $rc -eq 0 ] && echo ok || echo "FAILED ($rc)")")")
  return $rc
}

configure() { # <dir> <sanitizer>
  cmake -S . -B "$1" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOMBRIX_SANITIZE="$2" -DOMBRIX_BUILD_BENCH=OFF
}

print_timings() {
  echo
  echo "==== sanitizer phases (wall time)"
  [ ${#timings[@]} -eq 0 ] || printf '%s\n' "${timings[@]}"
}
trap print_timings EXIT

status=0
for phase in "${phases[@]}"; do
  case "$phase" in
  asan)
    run_phase "asan configure" configure build-asan address || exit 1
    run_phase "asan build" cmake --build build-asan -j"$jobs" || exit 1
    run_phase "asan ctest (all)" ctest --test-dir build-asan --output-on-failure -j"$jobs" || status=1
    ;;
  tsan)
    run_phase "tsan configure" configure build-tsan thread || exit 1
    run_phase "tsan build" cmake --build build-tsan -j"$jobs" --target "${tsan_targets[@]}" || exit 1
    run_phase "tsan ctest (concurrency)" ctest --test-dir build-tsan --output-on-failure -j"$jobs" \
      -L concurrency || status=1
    run_phase "tsan ctest (threaded)" ctest --test-dir build-tsan --output-on-failure -j"$jobs" \
      -LE concurrency -R "$tsan_extra_tests" || status=1
    ;;
  *)
    echo "unknown phase '$phase' (asan, tsan)" >&2
    exit 64
    ;;
  esac
done
exit $status
