# Shared by scripts/test: builds the libFuzzer targets (fuzz/) with clang into
# $KESTREL_FUZZ_BUILD_DIR and runs each for $KESTREL_FUZZ_SECONDS over its
# seeds in fuzz/corpus/<target>/. Sourced after setup.sh and sanitize.sh,
# not run.

KESTREL_FUZZ_BUILD_DIR=${KESTREL_FUZZ_BUILD_DIR:-$KESTREL_ROOT/build-fuzz}
KESTREL_FUZZ_SECONDS=${KESTREL_FUZZ_SECONDS:-20}
KESTREL_FUZZ_TARGETS=(fuzz_event_body fuzz_registry_file fuzz_filter_constraint)
# What the fuzz build needs besides KESTREL_PACKAGES: the compiler, and
# the runtime that holds libFuzzer (only recommended by clang's packages).
KESTREL_FUZZ_PACKAGES=(clang libclang-rt-14-dev)

# True when clang++ can link a libFuzzer target here.
kestrel_fuzz_available() {
  command -v clang++ >/dev/null || return 1
  local probe
  probe=$(mktemp -d)
  echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' \
    >"$probe/probe.cc"
  local status=0
  clang++ -fsanitize=fuzzer "$probe/probe.cc" -o "$probe/probe" 2>/dev/null || status=1
  rm -rf "$probe"
  return $status
}

# Runs one target for the bounded time on a scratch copy of its corpus, so
# that what it finds never lands among the committed seeds. Prints one line
# when it is clean; otherwise where the failing input was saved, and the
# end of the log. Answers the fuzzer's status.
kestrel_fuzz_run() {
  local target=$1
  local scratch log artifacts status=0
  scratch=$(mktemp -d)
  log="$KESTREL_FUZZ_BUILD_DIR/$target.log"
  artifacts="$KESTREL_FUZZ_BUILD_DIR/artifacts"
  mkdir -p "$artifacts"
  # -timeout: one input running longer than that is a hang, and a failure.
  "$KESTREL_FUZZ_BUILD_DIR/bin/$target" -max_total_time="$KESTREL_FUZZ_SECONDS" -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$artifacts/$target-" \
    "$scratch" "$KESTREL_ROOT/fuzz/corpus/$target" >"$log" 2>&1 || status=$?
  rm -rf "$scratch"
  if [ $status -eq 0 ]; then
    local runs rate
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    echo "$target: clean, ${runs:-?} inputs in ${KESTREL_FUZZ_SECONDS} s (${rate:-?} per second)"
  else
    echo "$target: FAILED (status $status); the input is saved under $artifacts/"
    tail -n 80 "$log"
  fi
  return $status
}

# Builds the targets and runs each; answers 0 when every run was clean, or
# when clang with libFuzzer is not there (the runs are then skipped).
kestrel_fuzz() {
  if ! kestrel_fuzz_available; then
    echo "Fuzzing skipped: clang++ with libFuzzer is not installed"
    return 0
  fi
  cmake -S "$KESTREL_ROOT" -B "$KESTREL_FUZZ_BUILD_DIR" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
    -DKESTREL_FUZZ=ON -DKESTREL_SANITIZE=ON -DKESTREL_BUILD_TESTS=OFF \
    -DKESTREL_BUILD_BENCHMARKS=OFF >/dev/null
  cmake --build "$KESTREL_FUZZ_BUILD_DIR" --target "${KESTREL_FUZZ_TARGETS[@]}"
  local target failed=0
  (
    kestrel_sanitizer_environment
    for target in "${KESTREL_FUZZ_TARGETS[@]}"; do
      kestrel_fuzz_run "$target" || failed=1
    done
    exit $failed
  )
}
