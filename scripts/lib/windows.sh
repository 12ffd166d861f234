# Shared by the scripts that build and test for Windows: kestrel.dll, the
# tools and the Windows tests cross-built for 64-bit Windows into
# $KESTREL_WINDOWS_BUILD_DIR (default build-windows/) and for 32-bit Windows
# into $KESTREL_WINDOWS32_BUILD_DIR (default build-windows-x86/), and a Wine
# prefix of their own to run them in. Sourced after setup.sh and
# windows-deps.sh, not run.

KESTREL_WINDOWS_BUILD_DIR=${KESTREL_WINDOWS_BUILD_DIR:-$KESTREL_ROOT/build-windows}
KESTREL_WINDOWS32_BUILD_DIR=${KESTREL_WINDOWS32_BUILD_DIR:-$KESTREL_ROOT/build-windows-x86}

# kestrel_windows_build [x86_64|i686]: builds the third-party libraries of
# that processor when the cache lacks them, then the Windows tree.
kestrel_windows_build() {
  local arch=${1:-x86_64} build=$KESTREL_WINDOWS_BUILD_DIR
  [ "$arch" = i686 ] && build=$KESTREL_WINDOWS32_BUILD_DIR
  kestrel_windows_deps "$arch" || return 1
  cmake -S "$KESTREL_ROOT" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$KESTREL_ROOT/cmake/mingw-w64-$arch.cmake" \
    -DKESTREL_WINDOWS_PREFIX="$KESTREL_WINDOWS_PREFIX" \
    -DKESTREL_WINDOWS_HTTPLIB_INCLUDE="$KESTREL_WINDOWS_HTTPLIB_INCLUDE" -DCMAKE_BUILD_TYPE=Release >/dev/null &&
    cmake --build "$build"
}

# 32-bit Windows programs need Wine's 32-bit half, from Debian's i386
# architecture; a 64-bit prefix then runs both (WoW64).
kestrel_wine32() {
  dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed" && return 0
  echo "Installing wine32:i386"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    kestrel_as_root dpkg --add-architecture i386 || return 1
  fi
  kestrel_as_root apt-get update -q &&
    kestrel_as_root env DEBIAN_FRONTEND=noninteractive \
      apt-get install -y -q --no-install-recommends wine32:i386
}

# Exports the settings of a private Wine prefix in the build folder, with no
# display and no debug output, and creates the prefix on first use.
kestrel_wine_prefix() {
  export WINEPREFIX="$KESTREL_WINDOWS_BUILD_DIR/wine-prefix"
  export WINEDEBUG=-all
  unset DISPLAY WAYLAND_DISPLAY
  [ -f "$WINEPREFIX/system.reg" ] && return 0
  echo "Creating the Wine prefix $WINEPREFIX"
  wineboot --init >/dev/null 2>&1 && wineserver -w
}

# Runs the Windows tests: the Linux build (in $KESTREL_BUILD_DIR, for the
# native channel service and tools) learns where the Windows programs are and
# runs the tests labelled windows, which start them under Wine.
kestrel_windows_test() {
  kestrel_wine32 || return 1
  # Both Windows builds, the installer made of them, another build of it
  # (same version, its own product code, as a rebuilt release has), and a
  # later version of it for the upgrade.
  local msi rebuilt upgrade
  kestrel_build_msi "$KESTREL_WINDOWS_BUILD_DIR/msi" || return 1
  msi=$KESTREL_MSI
  kestrel_build_msi "$KESTREL_WINDOWS_BUILD_DIR/msi-rebuilt" || return 1
  rebuilt=$KESTREL_MSI
  kestrel_build_msi "$KESTREL_WINDOWS_BUILD_DIR/msi-upgrade" "$(kestrel_next_version)" || return 1
  upgrade=$KESTREL_MSI
  kestrel_build -DKESTREL_WINDOWS_BIN_DIR="$KESTREL_WINDOWS_BUILD_DIR/bin" \
    -DKESTREL_WINDOWS32_BIN_DIR="$KESTREL_WINDOWS32_BUILD_DIR/bin" \
    -DKESTREL_WINDOWS_MSI="$msi" -DKESTREL_WINDOWS_REBUILT_MSI="$rebuilt" \
    -DKESTREL_WINDOWS_UPGRADE_MSI="$upgrade" || return 1
  kestrel_wine_prefix || return 1
  local status=0
  (cd "$KESTREL_BUILD_DIR" && ctest --output-on-failure -L windows "$@") || status=$?
  # A test that failed half-way may leave the prefix's server behind.
  wineserver -k 2>/dev/null || true
  return $status
}
