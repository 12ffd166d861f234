# Shared by the scripts that build for Windows: cross-builds, once per
# processor, the third-party libraries that the Windows DLL links
# statically, for x86_64-w64-mingw32 and i686-w64-mingw32: omniORB, ACE and
# OpenSSL from Debian's own source packages, at the versions that the Linux
# build uses, omniORB's SSL transport against that OpenSSL, and GoogleTest
# from /usr/src/googletest. They go to a prefix in a cache outside the build
# folder, which later runs reuse. Sourced after setup.sh, not run.
#
# The prefix is $KESTREL_WINDOWS_DEPS/<triple>/<omniORB version>-<ACE version>:
#   include/omniORB4, include/omnithread, include/COS, include/ace, include/gtest, include/gmock,
#       include/openssl
#   lib/libomniORB4.a, libomniDynamic4.a, libomnithread.a, libCOS4.a, libCOSDynamic4.a,
#       libomniCodeSets4.a, libomniConnectionMgmt4.a, libomnisslTP4.a, libssl.a, libcrypto.a,
#       libACE.a, libgtest*.a, libgmock*.a
#   share/openssl/LICENSE.txt, which whoever ships a binary linking OpenSSL ships too
# cmake/windows-deps.cmake turns it into imported targets. Each build's own
# output is kept in $KESTREL_WINDOWS_DEPS/logs/<triple>.

KESTREL_WINDOWS_DEPS=${KESTREL_WINDOWS_DEPS:-${XDG_CACHE_HOME:-$HOME/.cache}/kestrel/windows-deps}

# omniidl is the host's: the stubs it writes are the same for both systems.
# dpkg-dev, patch and xz-utils unpack the source packages.
# icoutils reads the binaries' version resources.
# libssl-dev says which OpenSSL the Linux build has.
KESTREL_WINDOWS_PACKAGES=(
  wine wine64 icoutils
  omniidl python3 gcc make perl dpkg-dev patch xz-utils libssl-dev
  cmake ninja-build libgtest-dev libgmock-dev googletest
)

# The compilers of each processor, with the posix thread model.
kestrel_windows_compilers() {
  case $1 in
    x86_64) echo g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev mingw-w64-tools ;;
    i686) echo g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix mingw-w64-i686-dev mingw-w64-tools ;;
  esac
}

# The prefix is built in two stages, and its stamp, .complete, holds a line
# for each stage that is done: the first for omniORB, ACE and GoogleTest,
# the second for OpenSSL and omniORB's SSL transport, which Debian's
# security updates of OpenSSL make stale far more often. A prefix whose
# first line is right keeps its omniORB and ACE, and only the SSL stage is
# built again. Change a recipe whenever its stage's build below changes, so
# that prefixes built the old way build that stage again.
KESTREL_WINDOWS_DEPS_RECIPE="omniORB, COS, ACE, GoogleTest: static, release, Windows 7 API (5)"
KESTREL_WINDOWS_SSL_RECIPE="OpenSSL, omnisslTP: static, release, no configuration autoload, Windows 7 API (1)"

# Every library and every client is compiled against the same Windows API
# level: ACE's headers, and the size of some of its tables, depend on it.
KESTREL_WINDOWS_API=0x0601

# kestrel_windows_deps [x86_64|i686] (default x86_64): installs what is
# missing, then builds the prefix for that processor unless it is already
# complete. Exports KESTREL_WINDOWS_PREFIX, the prefix's path, either way.
kestrel_windows_deps() {
  local arch=${1:-x86_64}
  case $arch in
    x86_64 | i686) ;;
    *) echo "kestrel_windows_deps: no such processor: $arch" >&2; return 1 ;;
  esac
  # shellcheck disable=SC2046
  kestrel_install_packages "${KESTREL_WINDOWS_PACKAGES[@]}" $(kestrel_windows_compilers "$arch") || return 1
  KESTREL_WINDOWS_TRIPLE=$arch-w64-mingw32
  local omniorb_version ace_version openssl_version
  omniorb_version=$(dpkg-query -W -f='${source:Version}' libomniorb4-dev) || return 1
  ace_version=$(dpkg-query -W -f='${source:Version}' libace-dev) || return 1
  openssl_version=$(dpkg-query -W -f='${source:Version}' libssl-dev) || return 1
  export KESTREL_WINDOWS_PREFIX="$KESTREL_WINDOWS_DEPS/$KESTREL_WINDOWS_TRIPLE/$omniorb_version-$ace_version"
  kestrel_windows_httplib || return 1
  # The SSL stage's line names the version it was wanted for and, after a
  # colon, the one it was built from (see _kestrel_windows_openssl_source).
  local stamp=$KESTREL_WINDOWS_PREFIX/.complete
  local ssl_stage="$KESTREL_WINDOWS_SSL_RECIPE, for libssl-dev $openssl_version"
  local stages
  stages=$(cat "$stamp" 2>/dev/null)
  if [[ $stages == "$KESTREL_WINDOWS_DEPS_RECIPE"$'\n'"$ssl_stage: "* ]]; then
    return 0
  fi

  local started=$SECONDS
  local prefix=$KESTREL_WINDOWS_PREFIX
  local src=$KESTREL_WINDOWS_DEPS/src/$KESTREL_WINDOWS_TRIPLE
  local logs=$KESTREL_WINDOWS_DEPS/logs/$KESTREL_WINDOWS_TRIPLE
  local omniorb_tree
  omniorb_tree=$src/omniorb-dfsg-$(_kestrel_windows_upstream "$omniorb_version")
  # The SSL stage builds in the tree of omniORB that the first stage leaves,
  # and unpacks one of its own only when the first stage was done before.
  local built_tree=
  if [ "${stages%%$'\n'*}" != "$KESTREL_WINDOWS_DEPS_RECIPE" ]; then
    # What a failed run left behind is never built on.
    rm -rf "$prefix" "$src"/omniorb-dfsg-*/ "$src"/ace-*/ "$src"/openssl-*/ "$src/googletest-build"
    mkdir -p "$prefix/include" "$prefix/lib" "$src" "$logs" || return 1

    echo "windows-deps: fetching the sources of omniorb-dfsg $omniorb_version and ace $ace_version"
    _kestrel_windows_sources "$src" "$logs/sources.log" \
      "omniorb-dfsg=$omniorb_version" "ace=$ace_version" || return 1
    echo "windows-deps: building omniORB for $arch (log: $logs/omniorb.log)"
    _kestrel_windows_omniorb "$omniorb_tree" "$prefix" "$logs/omniorb.log" || return 1
    echo "windows-deps: building ACE for $arch (log: $logs/ace.log)"
    _kestrel_windows_ace "$src/ace-$(_kestrel_windows_upstream "$ace_version")" "$prefix" "$logs/ace.log" || return 1
    echo "windows-deps: building GoogleTest for $arch (log: $logs/googletest.log)"
    _kestrel_windows_googletest "$src/googletest-build" "$prefix" "$logs/googletest.log" || return 1

    echo "$KESTREL_WINDOWS_DEPS_RECIPE" >"$stamp" || return 1
    rm -rf "$src"/ace-*/ "$src/googletest-build"
    built_tree=$omniorb_tree
  fi

  _kestrel_windows_ssl_stage "$openssl_version" "$ssl_stage" "$omniorb_version" "$built_tree" || return 1
  # The unpacked trees are several hundred megabytes; the downloaded
  # archives stay, so that a rebuild needs no network.
  rm -rf "$src"/omniorb-dfsg-*/ "$src"/openssl-*/
  echo "windows-deps: ready in $((SECONDS - started)) s: $prefix"
}

# The SSL stage, in the prefix of kestrel_windows_deps, whose first stage is
# done: OpenSSL, then omniORB's SSL transport against it, in omniORB's tree
# of the first stage if it is given, else in a tree unpacked and set up
# again, where only the transport's folder and the headers it reads are
# built.
_kestrel_windows_ssl_stage() {
  local wanted=$1 ssl_stage=$2 omniorb_version=$3 omniorb_tree=$4
  local prefix=$KESTREL_WINDOWS_PREFIX
  local src=$KESTREL_WINDOWS_DEPS/src/$KESTREL_WINDOWS_TRIPLE
  local logs=$KESTREL_WINDOWS_DEPS/logs/$KESTREL_WINDOWS_TRIPLE
  local arch=${KESTREL_WINDOWS_TRIPLE%%-*}
  # Neither what an older SSL stage installed nor what a failed one left is
  # built on; until this one is done, the stamp says only the first stage is.
  echo "$KESTREL_WINDOWS_DEPS_RECIPE" >"$prefix/.complete" || return 1
  rm -rf "$prefix/include/openssl" "$prefix/share/openssl" "$src"/openssl-*/ \
    "$prefix/lib/libssl.a" "$prefix/lib/libcrypto.a" "$prefix/lib/libomnisslTP4.a" || return 1
  [ -n "$omniorb_tree" ] || rm -rf "$src"/omniorb-dfsg-*/ || return 1
  mkdir -p "$src" "$logs" || return 1

  echo "windows-deps: fetching the source of openssl $wanted"
  local version
  version=$(_kestrel_windows_openssl_source "$wanted" "$src" "$logs/openssl-source.log") || return 1
  echo "windows-deps: building OpenSSL for $arch (log: $logs/openssl.log)"
  local openssl_tree
  openssl_tree=$src/openssl-$(_kestrel_windows_upstream "$version")
  _kestrel_windows_openssl "$openssl_tree" "$prefix" "$logs/openssl.log" || return 1

  if [ -z "$omniorb_tree" ]; then
    omniorb_tree=$src/omniorb-dfsg-$(_kestrel_windows_upstream "$omniorb_version")
    echo "windows-deps: unpacking omniorb-dfsg $omniorb_version again for its SSL transport"
    _kestrel_windows_sources "$src" "$logs/omnissl-source.log" "omniorb-dfsg=$omniorb_version" || return 1
    : >"$logs/omnissl.log"
    _kestrel_windows_omniorb_tree "$omniorb_tree" "$logs/omnissl.log" || return 1
    _kestrel_windows_omniorb_headers "$omniorb_tree" "$logs/omnissl.log" || return 1
  else
    : >"$logs/omnissl.log"
  fi
  echo "windows-deps: building omniORB's SSL transport for $arch (log: $logs/omnissl.log)"
  _kestrel_windows_omnissl "$omniorb_tree" "$openssl_tree" "$prefix" "$logs/omnissl.log" || return 1

  echo "$ssl_stage: openssl $version" >>"$prefix/.complete"
}

# kestrel_windows_httplib: cpp-httplib's header for both processors, from
# Debian's source package at the version that the Linux build links (which
# Debian ships compiled; Windows takes the header whole), with Debian's
# patches applied. Kept apart from the libraries' prefix: it is one file, and
# a new version of it needs no rebuild of omniORB and ACE. Exports
# KESTREL_WINDOWS_HTTPLIB_INCLUDE, the folder that holds httplib.h.
kestrel_windows_httplib() {
  local version
  version=$(dpkg-query -W -f='${source:Version}' libcpp-httplib-dev) || return 1
  local root=$KESTREL_WINDOWS_DEPS/cpp-httplib/$version
  export KESTREL_WINDOWS_HTTPLIB_INCLUDE=$root/include
  [ -f "$KESTREL_WINDOWS_HTTPLIB_INCLUDE/httplib.h" ] && return 0
  local src=$KESTREL_WINDOWS_DEPS/src/cpp-httplib logs=$KESTREL_WINDOWS_DEPS/logs
  rm -rf "$src"/cpp-httplib-*/
  mkdir -p "$src" "$logs" || return 1
  local log=$logs/cpp-httplib.log
  : >"$log"
  echo "windows-deps: fetching the source of cpp-httplib $version"
  if ! _kestrel_windows_source_known cpp-httplib "$version"; then
    _kestrel_windows_logged "$log" _kestrel_windows_enable_deb_src || return 1
    _kestrel_windows_logged "$log" kestrel_as_root apt-get update -q || return 1
  fi
  (cd "$src" && _kestrel_windows_logged "$log" apt-get source -q --only-source "cpp-httplib=$version") ||
    return 1
  local tree=$src/cpp-httplib-$(_kestrel_windows_upstream "$version")
  rm -rf "$root.new" && mkdir -p "$root.new/include" && cp "$tree/httplib.h" "$tree/LICENSE" "$root.new/include/" &&
    rm -rf "$root" && mv "$root.new" "$root" || return 1
  rm -rf "$tree"
}

# The upstream part of a Debian version: what dpkg-source names the folder
# after.
_kestrel_windows_upstream() {
  local version=${1#*:}
  echo "${version%-*}"
}

# Runs a command with its output appended to a log; if it fails, shows the
# end of the log.
_kestrel_windows_logged() {
  local log=$1
  shift
  "$@" >>"$log" 2>&1 && return 0
  echo "windows-deps: failed: $*" >&2
  echo "---- the end of $log:" >&2
  tail -n 60 "$log" >&2
  return 1
}

# _kestrel_windows_sources FOLDER LOG PACKAGE=VERSION...: downloads and
# unpacks Debian's source packages into the folder.
_kestrel_windows_sources() {
  local src=$1 log=$2 source
  shift 2
  : >"$log"
  for source; do
    _kestrel_windows_source_known "${source%%=*}" "${source#*=}" && continue
    _kestrel_windows_logged "$log" _kestrel_windows_enable_deb_src || return 1
    _kestrel_windows_logged "$log" kestrel_as_root apt-get update -q || return 1
    break
  done
  # Without --only-source, "ace" names the binary package of another
  # program, and apt-get would fetch that program's source.
  for source; do
    (cd "$src" && _kestrel_windows_logged "$log" apt-get source -q --only-source "$source") || return 1
  done
}

# Fetches and unpacks Debian's source of OpenSSL, at the version of the
# machine's libssl-dev if Debian's archive still has it, and prints the
# version it took. The security archive keeps only its latest upload, and a
# mirror can lag behind the packages installed or miss some of a version's
# files: then the newest source that apt knows for the release stands in,
# which the SSL stage's stamp records.
_kestrel_windows_openssl_source() {
  local wanted=$1 src=$2 log=$3
  : >"$log"
  if ! _kestrel_windows_source_known openssl "$wanted"; then
    _kestrel_windows_logged "$log" _kestrel_windows_enable_deb_src >&2 || return 1
    # A mirror caught between two updates can fail one suite's lists; the
    # others still come, and the source may be among them.
    _kestrel_windows_logged "$log" kestrel_as_root apt-get update -q >&2 ||
      echo "windows-deps: apt-get update failed; looking for the source in the lists that apt has" >&2
  fi
  if (cd "$src" && apt-get source -q --only-source "openssl=$wanted") >>"$log" 2>&1; then
    echo "$wanted"
    return 0
  fi
  local version newest=
  for version in $(apt-cache showsrc --only-source openssl 2>/dev/null | sed -n 's/^Version: //p'); do
    [ "$version" != "$wanted" ] || continue
    if [ -z "$newest" ] || dpkg --compare-versions "$version" gt "$newest"; then
      newest=$version
    fi
  done
  if [ -z "$newest" ]; then
    echo "windows-deps: apt has no source of openssl $wanted, nor any other (see $log)" >&2
    tail -n 20 "$log" >&2
    return 1
  fi
  echo "windows-deps: Debian's archive gave no source of openssl $wanted, libssl-dev's version" \
    "(see $log); taking $newest, the newest that apt knows" >&2
  rm -rf "$src"/openssl-*/
  (cd "$src" && _kestrel_windows_logged "$log" apt-get source -q --only-source "openssl=$newest") >&2 ||
    return 1
  echo "$newest"
}

_kestrel_windows_source_known() {
  apt-cache showsrc --only-source "$1" 2>/dev/null | grep -qx "Version: $2"
}

# Adds a deb-src entry beside each of the machine's deb entries for its
# Debian release, component main: the codename's own suite, and its
# -updates and -security suites, since a package that Debian fixed after the
# release (OpenSSL above all) is installed from one of those and its source
# is only there. Each is written in the form its deb entry is: deb822
# stanzas (*.sources) keep their other fields, Signed-By above all; one-line
# entries keep their options. A suite that has a deb-src entry of the
# machine's own is left to it; the file of ours is written anew each time.
_kestrel_windows_enable_deb_src() {
  local codename lists=() stanzas=() file
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [ -n "$codename" ] || { echo "no VERSION_CODENAME in /etc/os-release" >&2; return 1; }
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$file" ] && [ "${file##*/}" != kestrel-deb-src.list ] && lists+=("$file")
  done
  for file in /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] && [ "${file##*/}" != kestrel-deb-src.sources ] && stanzas+=("$file")
  done

  local suite one_line='' deb822='' entries
  for suite in "$codename" "$codename-updates" "$codename-security"; do
    if [ -n "$(_kestrel_windows_one_line_entries deb-src "$suite" "${lists[@]}")$(
               _kestrel_windows_deb822_entries deb-src "$suite" "${stanzas[@]}")" ]; then
      echo "$suite has a deb-src entry already"
      continue
    fi
    entries=$(_kestrel_windows_one_line_entries deb "$suite" "${lists[@]}")
    [ -n "$entries" ] && one_line+=${one_line:+$'\n'}$entries
    entries=$(_kestrel_windows_deb822_entries deb "$suite" "${stanzas[@]}")
    [ -n "$entries" ] && deb822+=${deb822:+$'\n\n'}$entries
  done
  if [ -z "$one_line$deb822" ] &&
     [ -z "$(_kestrel_windows_one_line_entries deb-src "$codename" "${lists[@]}")$(
             _kestrel_windows_deb822_entries deb-src "$codename" "${stanzas[@]}")" ]; then
    echo "no deb entry for $codename main to derive a deb-src entry from" >&2
    return 1
  fi
  local header="# Debian's source packages, for apt-get source: derived from the deb entries
# by Kestrel's scripts/lib/windows-deps.sh."
  kestrel_as_root rm -f /etc/apt/sources.list.d/kestrel-deb-src.sources \
    /etc/apt/sources.list.d/kestrel-deb-src.list || return 1
  if [ -n "$deb822" ]; then
    printf '%s\n\n%s\n' "$header" "$deb822" |
      kestrel_as_root tee /etc/apt/sources.list.d/kestrel-deb-src.sources >/dev/null || return 1
  fi
  if [ -n "$one_line" ]; then
    printf '%s\n%s\n' "$header" "$one_line" |
      kestrel_as_root tee /etc/apt/sources.list.d/kestrel-deb-src.list >/dev/null || return 1
  fi
}

# The one-line entries of a type ("deb" or "deb-src") for a suite's main
# component, written as deb-src entries with the same options and URI.
_kestrel_windows_one_line_entries() {
  local type=$1 suite=$2
  shift 2
  [ $# -gt 0 ] || return 0
  awk -v type="$type" -v suite="$suite" '
    $1 == type {
      options = ""; i = 2
      if ($2 ~ /^\[/) {
        while (i < NF && $i !~ /\]$/) i++
        for (j = 2; j <= i; j++) options = options $j " "
        i++
      }
      if ($(i + 1) != suite) next
      for (c = i + 2; c <= NF && $c !~ /^#/; c++)
        if ($c == "main") print "deb-src " options $i " " suite " main"
    }' "$@" | sort -u
}

# The deb822 stanzas of a type for a suite's main component, written as
# deb-src stanzas with their other fields. Continuation lines (a key block
# in Signed-By) stay with the field above them.
_kestrel_windows_deb822_entries() {
  local type=$1 suite=$2
  shift 2
  [ $# -gt 0 ] || return 0
  awk -v type="$type" -v suite="$suite" '
    BEGIN { RS = ""; FS = "\n" }
    {
      types = suites = components = kept = ""; enabled = "yes"; keep = 0
      for (n = 1; n <= NF; n++) {
        line = $n
        if (line ~ /^#/) continue
        if (line ~ /^[ \t]/) { if (keep) kept = kept "\n" line; continue }
        name = tolower(substr(line, 1, index(line, ":") - 1))
        value = " " substr(line, index(line, ":") + 1) " "
        gsub(/[ \t]+/, " ", value)
        keep = 0
        if (name == "types") types = value
        else if (name == "suites") suites = value
        else if (name == "components") components = value
        else if (name == "enabled") enabled = tolower(value)
        else { kept = kept "\n" line; keep = 1 }
      }
      if (index(types, " " type " ") && index(suites, " " suite " ") &&
          index(components, " main ") && enabled != " no ")
        printf "%sTypes: deb-src%s\nSuites: %s\nComponents: main\n", (count++ ? "\n" : ""), kept, suite
    }' "$@"
}

# omniORB's autoconf build does not know MinGW; its own Windows make system
# does, given a platform file. Builds omnithread, omniORB4, omniDynamic4,
# omniCodeSets4, omniConnectionMgmt4, COS4 and COSDynamic4, static and
# release only, and installs them with their headers.
_kestrel_windows_omniorb() {
  local tree=$1 prefix=$2 log=$3
  : >"$log"
  _kestrel_windows_omniorb_tree "$tree" "$log" || return 1
  _kestrel_windows_omniorb_make "$log" "$tree/src/lib" export || return 1
  _kestrel_windows_omniorb_make "$log" "$tree/src/services/mklib" export || return 1

  (cd "$tree/include" &&
   find omniORB4 omnithread COS omnithread.h omniconfig.h \( -name '*.h' -o -name '*.hh' \) \
     -exec cp --parents -t "$prefix/include" {} +) || return 1
  cp "$tree/lib/${KESTREL_WINDOWS_TRIPLE//-/_}"/*.a "$prefix/lib/"
}

# Sets up an unpacked tree of omniORB for the processor: its platform facts,
# Kestrel's patches, and its make system's platform file and host tools.
_kestrel_windows_omniorb_tree() {
  local tree=$1 log=$2
  local platform=${KESTREL_WINDOWS_TRIPLE//-/_}

  # Without autoconf, omniORB takes its platform facts from
  # CORBA_sysdep_trad.h, which knows Windows only as 32-bit x86 and without
  # the newer Winsock. The facts go where the library and every client read
  # them; CORBA_sysdep.h's Win64 pointer type needs size_t.
  local config=$tree/include/omniORB4/local_config.h
  sed -i '/^#endif/,$d' "$config" || return 1
  cat >>"$config" <<'EOF'
// 64-bit Windows with MinGW-w64 (LLP64, little-endian, 80-bit long double
// in 16 bytes), Winsock 2 with IPv6.
#if defined(__MINGW64__)
#  include <stddef.h>
#  define _OMNIORB_HOST_BYTE_ORDER_ 1
#  define SIZEOF_PTR 8
#  define SIZEOF_LONG_DOUBLE 16
#  define HAVE_GETADDRINFO 1
#  define HAVE_GETNAMEINFO 1
#  define HAVE_STRUCT_SOCKADDR_IN6 1
#  define HAVE_STRUCT_SOCKADDR_STORAGE 1
// 32-bit Windows with MinGW-w64 (little-endian, 80-bit long double in 12
// bytes), Winsock 2 with IPv6.
#elif defined(__MINGW32__)
#  include <stddef.h>
#  define _OMNIORB_HOST_BYTE_ORDER_ 1
#  define SIZEOF_PTR 4
#  define SIZEOF_LONG_DOUBLE 12
#  define HAVE_GETADDRINFO 1
#  define HAVE_GETNAMEINFO 1
#  define HAVE_STRUCT_SOCKADDR_IN6 1
#  define HAVE_STRUCT_SOCKADDR_STORAGE 1
#endif

#endif
EOF
  # MinGW's header has the lower-case name; file names matter here.
  sed -i 's/<Wspiapi\.h>/<wspiapi.h>/' "$tree/include/omniORB4/internal/tcpSocket.h" || return 1
  # On Windows omniORB reads sockets in slices of its scan period and sees a
  # shutdown only between two, yet it waits just one scan period for its
  # server threads when the ORB is destroyed. Losing that race left the
  # process's server a zombie, and the next ORB_init in the process failed
  # an assertion on a thread of omniORB's, ending the client's process. The
  # patch waits a slice longer, and lets a later ORB have a fresh server.
  # omniORB's detached threads also run their last instructions after the
  # ORB's destroy has returned; in a DLL that COM then unloads, they ran in
  # unmapped memory. Each thread now holds a reference to its module and
  # ends with FreeLibraryAndExitThread, its own slot emptied first, since
  # the unload may then run on it; and an unload always frees omnithread's
  # thread-local slot, so that loading again and again never runs out.
  _kestrel_windows_logged "$log" patch -p1 -d "$tree" \
    -i "$KESTREL_ROOT/scripts/lib/omniorb-windows-stop.patch" || return 1
  # The debug variants, and a stub library that only the DLLs use, are
  # built whenever Win32Platform is set: give them switches of their own,
  # left unset. That halves the build.
  perl -0pi -e 's/(# Build debug libraries for Win32\n#+\n)ifdef Win32Platform\n/${1}ifdef BuildDebugLibraries\n/' \
    "$tree/mk/mklib.mk" "$tree/src/lib/omnithread/dir.mk" \
    "$tree/src/services/mklib/stublib/dir.mk" "$tree/src/services/mklib/dynstublib/dir.mk" || return 1
  perl -0pi -e 's/ifdef Win32Platform\n\nstublib =/ifdef BuildSharedLibrary\n\nstublib =/' \
    "$tree/src/lib/omniORB/orbcore/dir.mk" || return 1

  # omkdepend writes the header dependencies; it runs on the build machine.
  mkdir -p "$tree/bin/host" || return 1
  (cd "$tree/src/tool/omkdepend" &&
   _kestrel_windows_logged "$log" gcc -O2 -w -o "$tree/bin/host/omkdepend" \
     include.c main.c parse.c pr.c cppsetup.c ifparser.c) || return 1

  local x86=
  [ "$KESTREL_WINDOWS_TRIPLE" = i686-w64-mingw32 ] && x86=-D__x86__
  cat >"$tree/mk/platforms/$platform.mk" <<EOF
# Windows ($KESTREL_WINDOWS_TRIPLE), cross-built with MinGW-w64 on Debian:
# static libraries only.
WindowsNT = 1
# mingw.mk passes it on as _WIN32_WINNT.
WINVER = $KESTREL_WINDOWS_API
PYTHON = python3

include \$(THIS_IMPORT_TREE)/mk/mingw.mk

undefine BuildSharedLibrary

CC = $KESTREL_WINDOWS_TRIPLE-gcc-posix
CLINK = \$(CC)
CXX = $KESTREL_WINDOWS_TRIPLE-g++-posix
CXXLINK = \$(CXX)
AR = $KESTREL_WINDOWS_TRIPLE-ar cq
OMKDEPEND = \$(BASE_OMNI_TREE)/bin/host/omkdepend
OMNIIDL = /usr/bin/omniidl

# Upstream's -D__x86__ means 32-bit x86 with a 12-byte long double: right
# for i686 (its CDR code wants it there), wrong for x86_64. Its -D__NT__
# and -D__OSVERSION__ are read by nothing here.
IMPORT_CPPFLAGS += -DWINVER=\$(WINVER) $x86

# Its exception specifications are gone from C++17.
static/orbOptionsReg.o: CXXOPTIONS += -std=gnu++14
EOF
}

# _kestrel_windows_omniorb_make LOG FOLDER TARGET...: runs omniORB's make
# system in a folder of a tree set up for the processor. The make system
# runs each subfolder's make through OMAKE, with MAKEFLAGS (and so -j)
# cleared.
_kestrel_windows_omniorb_make() {
  local log=$1 folder=$2 jobs
  shift 2
  jobs=$(nproc)
  _kestrel_windows_logged "$log" env -u MAKEFLAGS -u MFLAGS -u MAKELEVEL \
    "platform=${KESTREL_WINDOWS_TRIPLE//-/_}" "OMAKE=make -j$jobs" make -j"$jobs" -C "$folder" "$@"
}

# The headers that omniidl writes into a tree of omniORB, alone: what the
# SSL transport needs of a tree whose libraries are in the prefix already.
# Its subfolders, the libraries, are left out.
_kestrel_windows_omniorb_headers() {
  local tree=$1 log=$2
  _kestrel_windows_omniorb_make "$log" "$tree/src/lib/omniORB" export SUBDIRS=
}

# omniORB's SSL transport, omnisslTP4, in a tree of omniORB that is set up
# (and whose headers are written), against the OpenSSL built in its own
# tree; its headers (omniORB4/sslContext.h) came with omniORB's.
_kestrel_windows_omnissl() {
  local tree=$1 openssl_tree=$2 prefix=$3 log=$4
  local platform=${KESTREL_WINDOWS_TRIPLE//-/_}
  # Only the transport's folder is built, so its headers are all that it
  # needs of OpenSSL: OPEN_SSL_LIB is for DLLs alone, and OPEN_SSL_ROOT only
  # has orbcore's folder build the transport too. They come from OpenSSL's
  # tree, not the prefix, whose omniORB headers must not stand in for the
  # tree's.
  cat >>"$tree/mk/platforms/$platform.mk" <<EOF

OPEN_SSL_CPPFLAGS = -I$openssl_tree/include
EOF
  _kestrel_windows_omniorb_make "$log" "$tree/src/lib/omniORB/orbcore/ssl" export || return 1
  cp "$tree/lib/$platform/libomnisslTP4.a" "$prefix/lib/"
}

# ACE's own GNU make build with a MinGW platform file: the static library,
# release, with the headers and template sources that its clients need.
_kestrel_windows_ace() {
  local tree=$1 prefix=$2 log=$3
  local jobs
  jobs=$(nproc)
  : >"$log"

  echo '#include "ace/config-win32.h"' >"$tree/ace/config.h" || return 1
  cat >"$tree/include/makeinclude/platform_macros.GNU" <<EOF
CROSS_COMPILE = $KESTREL_WINDOWS_TRIPLE-
static_libs_only = 1
debug = 0
optimize = 1
include \$(ACE_ROOT)/include/makeinclude/platform_mingw32.GNU
# The posix thread model, like every other part of the Windows build.
CC = $KESTREL_WINDOWS_TRIPLE-gcc-posix
CXX = $KESTREL_WINDOWS_TRIPLE-g++-posix
DLD = \$(CXX)
LD = \$(CXX)
CPPFLAGS += -D_WIN32_WINNT=$KESTREL_WINDOWS_API -DWINVER=$KESTREL_WINDOWS_API
EOF

  local run=(env -u MAKEFLAGS -u MFLAGS -u MAKELEVEL -u CPPFLAGS -u CXXFLAGS -u CFLAGS -u LDFLAGS
             "ACE_ROOT=$tree" "MPC_ROOT=$tree/MPC")
  (cd "$tree/ace" &&
   _kestrel_windows_logged "$log" "${run[@]}" perl ../bin/mpc.pl -type gnuace ace.mpc &&
   _kestrel_windows_logged "$log" "${run[@]}" make -j"$jobs" -f GNUmakefile.ACE &&
   _kestrel_windows_logged "$log" "${run[@]}" make -f GNUmakefile.ACE install "INSTALL_PREFIX=$prefix")
}

# GoogleTest and GoogleMock from Debian's copy of their sources, through the
# project's own toolchain file.
_kestrel_windows_googletest() {
  local build=$1 prefix=$2 log=$3
  : >"$log"
  _kestrel_windows_logged "$log" cmake -S /usr/src/googletest -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$KESTREL_ROOT/cmake/mingw-w64-${KESTREL_WINDOWS_TRIPLE%%-*}.cmake" \
    -DKESTREL_WINDOWS_PREFIX="$prefix" -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON || return 1
  _kestrel_windows_logged "$log" cmake --build "$build" || return 1
  _kestrel_windows_logged "$log" cmake --install "$build"
}

# OpenSSL's two static libraries, release, with their headers: no programs,
# tests, manuals or modules, which nothing here uses.
_kestrel_windows_openssl() {
  local tree=$1 prefix=$2 log=$3
  local target=mingw64 jobs
  [ "$KESTREL_WINDOWS_TRIPLE" = i686-w64-mingw32 ] && target=mingw
  jobs=$(nproc)
  : >"$log"

  # Debian's pic patch has 32-bit x86 assembly reach its data through an
  # ELF global offset table, which COFF objects cannot refer to: i686's
  # assembler stops on it. It changes nothing else.
  if grep -qx pic.patch "$tree/debian/patches/series" 2>/dev/null; then
    _kestrel_windows_logged "$log" patch -R -p1 -d "$tree" -i "$tree/debian/patches/pic.patch" || return 1
  fi

  # no-module: the default provider is built into libcrypto; no-legacy: the
  # legacy one, which holds only what TLS no longer uses, is left out.
  # no-autoload-config: the library reads no openssl.cnf unless its program
  # asks for one, so that a service takes no TLS settings from whatever a
  # machine has there. The folders compiled in, where OpenSSL would look for
  # that file, certificates, engines and modules, are Windows' own and
  # writable by administrators alone: the Unix defaults would be taken on
  # the current drive, where any user may create them.
  local run=(env -u MAKEFLAGS -u MFLAGS -u MAKELEVEL -u CROSS_COMPILE -u CC -u AR -u RANLIB -u RC
             -u CFLAGS -u CPPFLAGS -u LDFLAGS -u LDLIBS)
  local folders=("OPENSSLDIR=C:/Program Files/Common Files/SSL"
                 "ENGINESDIR=C:/Program Files/OpenSSL/lib/engines-3"
                 "MODULESDIR=C:/Program Files/OpenSSL/lib/ossl-modules")
  (cd "$tree" &&
   _kestrel_windows_logged "$log" "${run[@]}" perl ./Configure "$target" \
     --cross-compile-prefix="$KESTREL_WINDOWS_TRIPLE-" CC=gcc-posix \
     no-shared no-module no-legacy no-tests no-autoload-config \
     -D_WIN32_WINNT="$KESTREL_WINDOWS_API" -DWINVER="$KESTREL_WINDOWS_API" &&
   _kestrel_windows_logged "$log" "${run[@]}" make -j"$jobs" build_generated "${folders[@]}" &&
   _kestrel_windows_logged "$log" "${run[@]}" make -j"$jobs" libcrypto.a libssl.a "${folders[@]}") ||
    return 1

  mkdir -p "$prefix/include/openssl" "$prefix/share/openssl" &&
    cp "$tree"/include/openssl/*.h "$prefix/include/openssl/" &&
    cp "$tree/libcrypto.a" "$tree/libssl.a" "$prefix/lib/" &&
    cp "$tree/LICENSE.txt" "$prefix/share/openssl/"
}
