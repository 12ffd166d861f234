# Shared by scripts/package --windows and scripts/test --windows: the
# Windows installer, kestrel-<version>-x64.msi, built on Debian with wixl
# (msitools) from packaging/windows/kestrel.wxs.in and the stripped binaries
# of both Windows builds. Sourced after setup.sh, windows-deps.sh and
# windows.sh, not run.

KESTREL_MSI_PACKAGES=(wixl msitools)

# The project's version, as CMakeLists.txt states it (1.0.0).
kestrel_project_version() {
  sed -n 's/^project(Kestrel VERSION \([0-9.]*\).*/\1/p' "$KESTREL_ROOT/CMakeLists.txt"
}

# The version after it (1.0.1): what the upgrade test installs over it.
kestrel_next_version() {
  local version
  version=$(kestrel_project_version)
  echo "${version%.*}.$((${version##*.} + 1))"
}

# kestrel_build_msi OUTPUT_DIR [VERSION]: builds both Windows trees, stages
# their binaries stripped, and writes OUTPUT_DIR/kestrel-VERSION-x64.msi
# (VERSION: the project's, unless another is given, as the upgrade test
# does), whose path it leaves in KESTREL_MSI. wixl only warns about what it does not know and drops it: a
# warning fails the build, so that nothing is silently missing.
kestrel_build_msi() {
  local output=$1 version=${2:-}
  kestrel_install_packages "${KESTREL_MSI_PACKAGES[@]}" || return 1
  kestrel_windows_build x86_64 || return 1
  kestrel_windows_build i686 || return 1
  [ -n "$version" ] || version=$(kestrel_project_version)
  local stage=$KESTREL_WINDOWS_BUILD_DIR/msi-stage
  rm -rf "$stage"
  mkdir -p "$stage/x64" "$stage/x86" "$output" || return 1
  local file
  for file in kestrel.dll kestrel-publish.exe kestrel-listen.exe kestrel-channeld.exe; do
    x86_64-w64-mingw32-strip -o "$stage/x64/$file" "$KESTREL_WINDOWS_BUILD_DIR/bin/$file" || return 1
  done
  i686-w64-mingw32-strip -o "$stage/x86/kestrel.dll" "$KESTREL_WINDOWS32_BUILD_DIR/bin/kestrel.dll" || return 1
  sed -e "s|@VERSION@|$version|g" \
    "$KESTREL_ROOT/packaging/windows/kestrel.wxs.in" >"$stage/kestrel.wxs" || return 1
  local msi
  msi=$(realpath -m "$output/kestrel-$version-x64.msi")
  rm -f "$msi"
  # The sources' paths are relative to the folder that wixl runs in.
  (cd "$stage" && wixl -a x64 -o "$msi" kestrel.wxs 2>wixl.log) || { cat "$stage/wixl.log" >&2; return 1; }
  if [ -s "$stage/wixl.log" ]; then
    echo "wixl warned; the installer may lack what it dropped:" >&2
    cat "$stage/wixl.log" >&2
    return 1
  fi
  KESTREL_MSI=$msi
}
