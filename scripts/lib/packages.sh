# Shared by scripts/package, scripts/test and scripts/test-install: building
# the Debian packages and checking them. Sourced after setup.sh, not run.

KESTREL_PACKAGE_BUILD_DIR=${KESTREL_PACKAGE_BUILD_DIR:-$KESTREL_ROOT/build-package}
KESTREL_PACKAGE_DIR=${KESTREL_PACKAGE_DIR:-$KESTREL_BUILD_DIR/packages}
KESTREL_PACKAGE_NAMES=(libkestrel libkestrel-dev kestrel-channeld)
# dpkg-dev for dpkg-shlibdeps, scdoc for the manual pages, lintian and
# systemd (systemd-analyze) for the checks.
KESTREL_PACKAGING_PACKAGES=(dpkg-dev fakeroot file scdoc lintian systemd)

kestrel_build_packages() {
  cmake -S "$KESTREL_ROOT" -B "$KESTREL_PACKAGE_BUILD_DIR" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DKESTREL_BUILD_TESTS=OFF -DKESTREL_BUILD_BENCHMARKS=OFF >/dev/null
  cmake --build "$KESTREL_PACKAGE_BUILD_DIR"
  mkdir -p "$KESTREL_PACKAGE_DIR"
  rm -f "$KESTREL_PACKAGE_DIR"/*.deb
  (cd "$KESTREL_PACKAGE_BUILD_DIR" && cpack -G DEB -B "$KESTREL_PACKAGE_DIR" >cpack.log 2>&1) || {
    cat "$KESTREL_PACKAGE_BUILD_DIR/cpack.log" >&2
    return 1
  }
  rm -rf "$KESTREL_PACKAGE_DIR/_CPack_Packages"
  ls "$KESTREL_PACKAGE_DIR"/*.deb
}

# The package file of a package name.
kestrel_package_file() {
  local files=("$KESTREL_PACKAGE_DIR/$1"_*.deb)
  [ -f "${files[0]}" ] || { echo "no package $1 in $KESTREL_PACKAGE_DIR" >&2; return 1; }
  echo "${files[0]}"
}

# Fails, saying why, unless the package holds each of the paths.
kestrel_expect_files() {
  local deb=$1 contents path failed=0
  shift
  contents=$(dpkg-deb --contents "$deb" | awk '{print $6}' | sed 's|^\./|/|')
  for path in "$@"; do
    grep -qx -- "$path" <<<"$contents" || {
      echo "FAIL: $(basename "$deb") holds no $path" >&2
      failed=1
    }
  done
  return $failed
}

# Fails unless the control field of the package matches the pattern.
kestrel_expect_field() {
  local deb=$1 field=$2 pattern=$3 value
  value=$(dpkg-deb --field "$deb" "$field")
  [[ $value =~ $pattern ]] || {
    echo "FAIL: $(basename "$deb"): $field is '$value', not /$pattern/" >&2
    return 1
  }
}

kestrel_check_packages() {
  local failed=0 libdir lib dev channeld unpacked
  libdir=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
  lib=$(kestrel_package_file libkestrel)
  dev=$(kestrel_package_file libkestrel-dev)
  channeld=$(kestrel_package_file kestrel-channeld)

  kestrel_expect_field "$lib" Section '^libs$' || failed=1
  kestrel_expect_field "$dev" Section '^libdevel$' || failed=1
  kestrel_expect_field "$channeld" Section '^net$' || failed=1
  for deb in "$lib" "$dev" "$channeld"; do
    kestrel_expect_field "$deb" Priority '^optional$' || failed=1
    kestrel_expect_field "$deb" Description '.' || failed=1
  done
  # Computed by dpkg-shlibdeps: the ORB's and ACE's run-time packages.
  kestrel_expect_field "$lib" Depends 'libomniorb4-2' || failed=1
  kestrel_expect_field "$lib" Depends 'libace-' || failed=1
  kestrel_expect_field "$channeld" Depends 'libcos4-2' || failed=1
  kestrel_expect_field "$dev" Depends '^libkestrel \(= ' || failed=1

  kestrel_expect_files "$lib" "$libdir/libkestrel.so.1" /usr/bin/kestrel-regsvr \
    /usr/bin/kestrel-classes /usr/bin/kestrel-publish /usr/bin/kestrel-listen \
    /usr/share/man/man1/kestrel-publish.1.gz /usr/share/man/man8/kestrel-regsvr.8.gz \
    /usr/share/doc/libkestrel/copyright || failed=1
  kestrel_expect_files "$dev" "$libdir/libkestrel.so" "$libdir/libkestrelclient.a" \
    /usr/include/kestrel/kestrel.h "$libdir/cmake/Kestrel/KestrelConfig.cmake" \
    "$libdir/pkgconfig/kestrel.pc" || failed=1
  kestrel_expect_files "$channeld" /usr/sbin/kestrel-channeld \
    /lib/systemd/system/kestrel-channeld.service /etc/default/kestrel-channeld \
    /usr/share/man/man8/kestrel-channeld.8.gz || failed=1
  dpkg-deb --ctrl-tarfile "$channeld" | tar -xOf - ./conffiles | grep -qx /etc/default/kestrel-channeld ||
    { echo "FAIL: /etc/default/kestrel-channeld is no conffile" >&2; failed=1; }
  dpkg-deb --ctrl-tarfile "$channeld" | tar -xOf - ./postrm | grep -q 'rm -rf /var/lib/kestrel-channeld' ||
    { echo "FAIL: purging kestrel-channeld leaves /var/lib/kestrel-channeld" >&2; failed=1; }

  # Errors fail; warnings are shown.
  lintian --fail-on error "$lib" "$dev" "$channeld" ||
    { echo "FAIL: lintian found errors" >&2; failed=1; }

  # The unit as packaged, its program where the package would put it: here,
  # in the unpacked package.
  unpacked=$(mktemp -d)
  dpkg-deb -x "$channeld" "$unpacked"
  # The state directory (the unit makes it, the options name it), and the
  # limits that the default bounds need.
  local setting
  for setting in Type=notify StateDirectory=kestrel-channeld LimitNOFILE=65536 TasksMax=32768; do
    grep -qx "$setting" "$unpacked/lib/systemd/system/kestrel-channeld.service" ||
      { echo "FAIL: kestrel-channeld.service has no $setting" >&2; failed=1; }
  done
  # shellcheck disable=SC1091
  (source "$unpacked/etc/default/kestrel-channeld" &&
    [[ " $KESTREL_CHANNELD_OPTIONS " == *" --state-dir /var/lib/kestrel-channeld "* ]]) ||
    { echo "FAIL: /etc/default/kestrel-channeld passes no --state-dir /var/lib/kestrel-channeld" >&2; failed=1; }
  if command -v systemd-analyze >/dev/null; then
    mkdir "$unpacked/verify"
    sed "s|/usr/sbin/kestrel-channeld|$unpacked/usr/sbin/kestrel-channeld|" \
      "$unpacked/lib/systemd/system/kestrel-channeld.service" >"$unpacked/verify/kestrel-channeld.service"
    systemd-analyze verify --man=no "$unpacked/verify/kestrel-channeld.service" ||
      { echo "FAIL: systemd-analyze verify" >&2; failed=1; }
  fi
  rm -rf "$unpacked"

  if [ $failed -eq 0 ]; then
    echo "packages checked: ${KESTREL_PACKAGE_NAMES[*]}"
  fi
  return $failed
}
