#!/usr/bin/env bash
# What an outside project sees of an installed Kestrel:
#  1. cmake --install of the build into a temporary prefix;
#  2. examples/ built against that prefix with CMake (find_package) and with
#     pkg-config (examples/Makefile), each checked to use the prefix and not
#     some other Kestrel on the machine;
#  3. the installed library registered in a registry file of the test's own
#     with the installed kestrel-regsvr;
#  4. the build's kestrel-channeld on a free loopback port, the example
#     listener, then the publisher of each build: the listener must print
#     exactly what was published, in order.
# Nothing is left running and the temporary folder is removed however it ends.
#   check_install.sh BUILD_DIR EXAMPLES_DIR CMAKE GENERATOR MAKE_PROGRAM CXX [MAKE]
# MAKE empty: make is missing, and the publisher is compiled with the
# pkg-config flags directly instead of through examples/Makefile.
set -uo pipefail
if [ $# -lt 6 ]; then
  echo "usage: check_install.sh BUILD_DIR EXAMPLES_DIR CMAKE GENERATOR MAKE_PROGRAM CXX [MAKE]" >&2
  exit 2
fi
build_dir=$1
examples=$2
cmake=$3
generator=$4
make_program=$5
cxx=$6
make=${7:-}

source "$(dirname "$0")/../../scripts/lib/processes.sh"

# The example programs are CORBA servers too: loopback only, a free port.
export ORBendPoint=giop:tcp:127.0.0.1:
unset DESTDIR CMAKE_PREFIX_PATH

work=$(mktemp -d "${TMPDIR:-/tmp}/kestrel-install-test.XXXXXX")
prefix=$work/prefix
channeld_pid=""
listener_pid=""

fail() {
  echo "check_install: $*" >&2
  exit 1
}

# fail_with_log LOG MESSAGE: fails, showing what the step wrote.
fail_with_log() {
  local log=$1
  shift
  echo "---- $log" >&2
  cat "$log" >&2
  fail "$*"
}

cleanup() {
  [ -n "$listener_pid" ] && { stop "$listener_pid" || true; }
  [ -n "$channeld_pid" ] && { stop "$channeld_pid" || true; }
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# same_dir A B: both name the same existing folder.
same_dir() {
  [ -d "$1" ] && [ -d "$2" ] && [ "$(cd "$1" && pwd -P)" = "$(cd "$2" && pwd -P)" ]
}

echo "== cmake --install $build_dir --prefix $prefix"
"$cmake" --install "$build_dir" --prefix "$prefix" >"$work/install.log" 2>&1 ||
  fail_with_log "$work/install.log" "cmake --install failed"
pc_file=$(find "$prefix" -path '*/pkgconfig/kestrel.pc' | head -n 1)
[ -n "$pc_file" ] || fail "no kestrel.pc under $prefix"
pc_dir=$(dirname "$pc_file")
lib_dir=$(dirname "$pc_dir")
regsvr=$(find "$prefix" -name kestrel-regsvr -type f -perm -u+x | head -n 1)
[ -n "$regsvr" ] || fail "no kestrel-regsvr under $prefix"
for installed in "$lib_dir/libkestrel.so" "$lib_dir/libkestrelclient.a" \
                 "$prefix/include/kestrel/kestrel.h" "$lib_dir/cmake/Kestrel/KestrelConfig.cmake"; do
  [ -e "$installed" ] || fail "$installed was not installed"
done

echo "== examples/ with CMake: find_package(Kestrel), CMAKE_PREFIX_PATH=$prefix"
cmake_build=$work/cmake-build
"$cmake" -S "$examples" -B "$cmake_build" -G "$generator" -DCMAKE_MAKE_PROGRAM="$make_program" \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$prefix" >"$work/cmake.log" 2>&1 ||
  fail_with_log "$work/cmake.log" "configuring examples/ against the installed package failed"
kestrel_dir=$(sed -n 's/^Kestrel_DIR:[A-Z]*=//p' "$cmake_build/CMakeCache.txt")
same_dir "$kestrel_dir" "$lib_dir/cmake/Kestrel" ||
  fail "find_package(Kestrel) found $kestrel_dir, not the package in $lib_dir/cmake/Kestrel"
"$cmake" --build "$cmake_build" >>"$work/cmake.log" 2>&1 ||
  fail_with_log "$work/cmake.log" "building examples/ with CMake failed"

echo "== examples/ with pkg-config: PKG_CONFIG_PATH=$pc_dir"
export PKG_CONFIG_PATH=$pc_dir
cflags=$(pkg-config --cflags kestrel) || fail "pkg-config --cflags kestrel failed"
libs=$(pkg-config --libs kestrel) || fail "pkg-config --libs kestrel failed"
echo "   cflags: $cflags"
echo "   libs:   $libs"
# Flags that name another folder would build against whatever Kestrel is
# installed there, or fail to build at all.
for flag in $cflags $libs; do
  case $flag in
    -I*) wanted=$prefix/include ;;
    -L*) wanted=$lib_dir ;;
    *) continue ;;
  esac
  same_dir "${flag:2}" "$wanted" ||
    fail "kestrel.pc installed in $pc_dir gives $flag, not ${flag:0:2}$wanted: its prefix is not where it was installed"
done
make_build=$work/make-build
mkdir "$make_build"
if [ -n "$make" ]; then
  (cd "$make_build" && "$make" -f "$examples/Makefile" CXX="$cxx") >"$work/make.log" 2>&1 ||
    fail_with_log "$work/make.log" "building examples/ with examples/Makefile failed"
else
  echo "   make is not installed: compiling the publisher with these flags directly"
  # shellcheck disable=SC2086 # the flags are words on purpose
  "$cxx" $cflags -o "$make_build/publisher" "$examples/publisher.cc" $libs >"$work/make.log" 2>&1 ||
    fail_with_log "$work/make.log" "compiling the publisher with the pkg-config flags failed"
fi

echo "== Registering $lib_dir/libkestrel.so with $regsvr"
export KESTREL_REGISTRY=$work/registry.reg
"$regsvr" "$lib_dir/libkestrel.so" >"$work/regsvr.log" 2>&1 ||
  fail_with_log "$work/regsvr.log" "kestrel-regsvr failed"
grep -qF "$lib_dir/libkestrel.so" "$KESTREL_REGISTRY" ||
  fail_with_log "$KESTREL_REGISTRY" "the registry does not name the installed library"

echo "== Starting kestrel-channeld on a free loopback port"
"$build_dir/bin/kestrel-channeld" --listen 127.0.0.1 --port 0 >"$work/channeld.out" 2>"$work/channeld.err" &
channeld_pid=$!
wait_for "$work/channeld.out" '^corbaloc:iiop:.*:[0-9]*/.' "$channeld_pid" 15 ||
  fail_with_log "$work/channeld.err" "kestrel-channeld printed no address within 15 s"
address=$(grep -m 1 '^corbaloc:iiop:' "$work/channeld.out")
key=${address##*/}
port=${address%/*}
port=${port##*:}
echo "   $address"

published_by_cmake=("disk /var is 92% full" "link eth0 is up at 1 Gb/s" "backup failed: target unreachable")
published_by_make=("quotes \"and\" 'apostrophes' & \$dollar" "service web1 restarted")
total=$((${#published_by_cmake[@]} + ${#published_by_make[@]}))

echo "== Starting the example listener for $total notifications"
"$cmake_build/listener" 127.0.0.1 "$port" "$key" "$total" >"$work/listener.out" 2>"$work/listener.err" &
listener_pid=$!
# Whatever is published before it is connected would not reach it.
wait_for "$work/listener.err" '^listener: listening$' "$listener_pid" 15 ||
  fail_with_log "$work/listener.err" "the example listener did not connect within 15 s"

echo "== Publishing with the publisher built by CMake, then by pkg-config"
timeout -k 5 30 "$cmake_build/publisher" 127.0.0.1 "$port" "$key" "${published_by_cmake[@]}" \
  >"$work/publisher.log" 2>&1 || fail_with_log "$work/publisher.log" "the CMake-built publisher failed"
timeout -k 5 30 "$make_build/publisher" 127.0.0.1 "$port" "$key" "${published_by_make[@]}" \
  >"$work/publisher.log" 2>&1 || fail_with_log "$work/publisher.log" "the pkg-config-built publisher failed"

echo "== The example listener received"
wait_exit "$listener_pid" 20 || {
  cat "$work/listener.out"
  fail "the example listener printed fewer than $total notifications within 20 s"
}
listener_status=0
wait "$listener_pid" || listener_status=$?
listener_pid=""
cat "$work/listener.out"
[ "$listener_status" -eq 0 ] ||
  fail_with_log "$work/listener.err" "the example listener ended with status $listener_status"

# The first word is the host that the library filled in, whatever this
# machine calls itself; everything after it was chosen here.
expected=$work/expected
# Each publisher numbers its messages from 1, as their codes.
expect_published() {
  local code=1 message
  for message in "$@"; do
    printf 'example severity=1 code=0x%08X %s\n' "$code" "$message"
    code=$((code + 1))
  done
}
{ expect_published "${published_by_cmake[@]}"; expect_published "${published_by_make[@]}"; } >"$expected"
cut -d ' ' -f 2- "$work/listener.out" >"$work/received"
diff -u "$expected" "$work/received" >"$work/difference" ||
  fail_with_log "$work/difference" "the listener did not print exactly what was published (- expected, + printed)"
if cut -d ' ' -f 1 "$work/listener.out" | grep -qx -- '-'; then
  fail "the listener printed a notification without a host"
fi

echo "== Stopping kestrel-channeld"
channeld_status=0
stop "$channeld_pid" || channeld_status=$?
channeld_pid=""
[ "$channeld_status" -eq 0 ] ||
  fail_with_log "$work/channeld.err" "kestrel-channeld ended with status $channeld_status"
echo "   done"
