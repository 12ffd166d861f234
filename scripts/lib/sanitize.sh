# Shared by scripts/test: the AddressSanitizer and UndefinedBehaviorSanitizer
# build and the settings that its programs (and the fuzz targets) run with.
# Sourced after setup.sh, not run.

KESTREL_SANITIZE_BUILD_DIR=${KESTREL_SANITIZE_BUILD_DIR:-$KESTREL_ROOT/build-asan}

# Every finding ends the program that made it, with its stack; leaks are
# looked for at every exit. The suppressions name only leaks inside omniORB
# or ACE, each with its reason. Child processes (kestrel-channeld started by
# the tests) inherit all of it.
kestrel_sanitizer_environment() {
  export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:print_stacktrace=1:detect_stack_use_after_return=1"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
  export LSAN_OPTIONS="suppressions=$KESTREL_ROOT/tests/sanitizer/lsan.supp:print_suppressions=0"
}

# Configures and builds everything but the benchmarks, sanitized, into
# $KESTREL_SANITIZE_BUILD_DIR.
kestrel_sanitize_build() {
  cmake -S "$KESTREL_ROOT" -B "$KESTREL_SANITIZE_BUILD_DIR" -G Ninja \
    -DKESTREL_SANITIZE=ON -DKESTREL_BUILD_BENCHMARKS=OFF >/dev/null
  cmake --build "$KESTREL_SANITIZE_BUILD_DIR"
}

# Runs ctest in the sanitized build with the arguments given; answers
# ctest's status.
kestrel_sanitize_test() {
  kestrel_sanitizer_environment
  (cd "$KESTREL_SANITIZE_BUILD_DIR" && ctest --output-on-failure "$@")
}
