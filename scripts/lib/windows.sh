# Shared by the scripts that build and test for Windows: kestrel.dll, the
# tools and the Windows tests cross-built into $KESTREL_WINDOWS_BUILD_DIR
# (default build-windows/), and a Wine prefix of their own to run them in.
# Sourced after setup.sh and windows-deps.sh, not run.

KESTREL_WINDOWS_BUILD_DIR=${KESTREL_WINDOWS_BUILD_DIR:-$KESTREL_ROOT/build-windows}

# Builds the third-party libraries when the cache lacks them, then the
# Windows tree.
kestrel_windows_build() {
  kestrel_windows_deps || return 1
  cmake -S "$KESTREL_ROOT" -B "$KESTREL_WINDOWS_BUILD_DIR" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$KESTREL_ROOT/cmake/mingw-w64-x86_64.cmake" \
    -DKESTREL_WINDOWS_PREFIX="$KESTREL_WINDOWS_PREFIX" -DCMAKE_BUILD_TYPE=Release >/dev/null &&
    cmake --build "$KESTREL_WINDOWS_BUILD_DIR"
}

# Exports the settings of a private Wine prefix in the build folder, with no
# display and no debug output, and creates the prefix on first use.
kestrel_wine_prefix() {
  export WINEPREFIX="$KESTREL_WINDOWS_BUILD_DIR/wine-prefix"
  export WINEDEBUG=-all
  unset DISPLAY WAYLAND_DISPLAY
  [ -f "$WINEPREFIX/system.reg" ] && return 0
  echo "Creating the Wine prefix $WINEPREFIX"
  # Wine warns on stderr that wine32 is missing: only 64-bit programs run here.
  wineboot --init >/dev/null 2>&1 && wineserver -w
}

# Runs the Windows tests: the Linux build (in $KESTREL_BUILD_DIR, for the
# native channel service and tools) learns where the Windows programs are and
# runs the tests labelled windows, which start them under Wine.
kestrel_windows_test() {
  kestrel_windows_build || return 1
  kestrel_build -DKESTREL_WINDOWS_BIN_DIR="$KESTREL_WINDOWS_BUILD_DIR/bin" || return 1
  kestrel_wine_prefix || return 1
  local status=0
  (cd "$KESTREL_BUILD_DIR" && ctest --output-on-failure -L windows "$@") || status=$?
  # A test that failed half-way may leave the prefix's server behind.
  wineserver -k 2>/dev/null || true
  return $status
}
