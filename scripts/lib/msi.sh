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
  # The same text in both processors' prefixes; this is the last one built.
  cp "$KESTREL_WINDOWS_PREFIX/share/openssl/LICENSE.txt" "$stage/OpenSSL-LICENSE.txt" || return 1
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
  kestrel_msi_add_tables "$msi" "$stage" || return 1
  KESTREL_MSI=$msi
}

# The service folder's permissions, as SDDL: full control for the service's
# account (LocalService), Administrators and SYSTEM only, inherited by the
# log and the state below it. The service makes the folder with the same
# rule when it was registered without the installer
# (channeld/host/service_host_win32.cc).
KESTREL_MSI_DATA_SDDL='D:P(A;OICI;FA;;;LS)(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)'

# kestrel_msi_add_tables MSI FOLDER: what wixl cannot say, added to MSI with
# msibuild (FOLDER holds the tables' text meanwhile):
# - a rebuild of the same version replaces the installed one (WiX's
#   AllowSameVersionUpgrades, which wixl drops): the upgrade row's maximum
#   version becomes inclusive (msidbUpgradeAttributesVersionMaxInclusive).
#   Each build keeps its own ProductCode (Id="*"): a ProductCode fixed per
#   version would make a rebuild the same product in another package, which
#   msiexec /i refuses to install over it (1638) unless asked for a
#   reinstall; a major upgrade of the same version is what a plain
#   msiexec /i does, on Windows and under Wine alike;
# - C:\Program Files\Kestrel\ appended to the system PATH and taken out on
#   uninstall (an Environment row of the tools' component, and the two
#   actions that apply it), never the Path value written whole;
# - the permissions of ProgramData\Kestrel (MsiLockPermissionsEx, whose SDDL
#   names accounts by their well-known identifiers, where LockPermissions
#   looks up names that differ with Windows' language).
kestrel_msi_add_tables() {
  local msi=$1 folder=$2
  msiinfo export "$msi" Upgrade | tr -d '\r' |
    awk -F'\t' -v OFS='\t' 'NR > 3 && $7 == "WIX_UPGRADE_DETECTED" && int($5 / 512) % 2 == 0 { $5 += 512 } { print }' \
      >"$folder/Upgrade.idt" || return 1
  printf 'Environment\tName\tValue\tComponent_\ns72\tl255\tL255\ts72\nEnvironment\tEnvironment\n%s\n' \
    $'KestrelPath\t-*PATH\t[~];[INSTALLDIR]\tTools64' >"$folder/Environment.idt"
  { msiinfo export "$msi" InstallExecuteSequence | tr -d '\r'
    printf 'RemoveEnvironmentStrings\t\t3300\nWriteEnvironmentStrings\t\t5200\n'
  } >"$folder/InstallExecuteSequence.idt" || return 1
  printf '%s\n' $'MsiLockPermissionsEx\tLockObject\tTable\tSDDLText\tCondition' \
    $'s72\ts72\ts32\ts0\tS255' $'MsiLockPermissionsEx\tMsiLockPermissionsEx' \
    "ServiceData"$'\tDATADIR\tCreateFolder\t'"$KESTREL_MSI_DATA_SDDL"$'\t' >"$folder/MsiLockPermissionsEx.idt"
  local table
  for table in Upgrade Environment InstallExecuteSequence MsiLockPermissionsEx; do
    msibuild "$msi" -i "$folder/$table.idt" || return 1
  done
}
